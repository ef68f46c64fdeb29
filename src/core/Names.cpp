#include "Names.h"

#include "ZipFormat.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace oz::core {

namespace {

// Length of the UTF-8 sequence at s[i], 0 when there is none; code receives the code point.
std::size_t utf8At(std::string_view s, std::size_t i, char32_t &code)
{
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n;
    char32_t min;
    if (b < 0x80) {
        code = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        n = 2, code = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        n = 3, code = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        n = 4, code = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (c & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return n;
}

void appendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

constexpr char16_t codePage437[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

} // namespace

bool isUtf8(std::string_view s)
{
    char32_t code;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8At(s, i, code);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::string fromCodePage437(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        appendUtf8(out, b < 0x80 ? b : codePage437[b - 0x80]);
    }
    return out;
}

std::optional<std::string> safeEntryPath(const Entry &entry)
{
    return safeEntryPath(entry.name, madeOnDosOrWindows(entry.madeBy));
}

std::optional<std::string> safeEntryPath(std::string_view name, bool backslashSeparates)
{
    if (name.empty() || name.find('\0') != std::string_view::npos)
        return std::nullopt;
    auto separator = [&](char c) { return c == '/' || (backslashSeparates && c == '\\'); };
    if (separator(name[0]))
        return std::nullopt;
    std::string out;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = start;
        while (end < name.size() && !separator(name[end]))
            ++end;
        const std::string_view part = name.substr(start, end - start);
        if (part == "..")
            return std::nullopt;
        if (!part.empty() && part != ".") {
            if (!out.empty())
                out += '/';
            out += part;
        }
        start = end + 1;
    }
    return out;
}

std::string printable(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    char32_t code;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8At(s, i, code);
        const bool control = n == 0 || code < 0x20 || code == 0x7F || (code >= 0x80 && code < 0xA0) || code == 0x2028
            || code == 0x2029;
        if (!control) {
            out.append(s.substr(i, n));
            i += n;
            continue;
        }
        const auto b = static_cast<unsigned char>(s[i]);
        if (n != 0 && code == '\n')
            out += "\\n";
        else if (n != 0 && code == '\t')
            out += "\\t";
        else if (n != 0 && code == '\r')
            out += "\\r";
        else if (n > 1) {
            char buf[12];
            std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(code));
            out += buf;
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", b);
            out += buf;
        }
        i += n == 0 ? 1 : n;
    }
    return out;
}

namespace {

bool isDeviceName(std::string_view part)
{
    const std::size_t dot = part.find('.');
    std::string stem(part.substr(0, dot));
    while (!stem.empty() && (stem.back() == ' '))
        stem.pop_back();
    for (char &c : stem)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    static const char *const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char *d : devices)
        if (stem == d)
            return true;
    return stem.size() == 4 && (stem.rfind("COM", 0) == 0 || stem.rfind("LPT", 0) == 0) && stem[3] >= '0'
        && stem[3] <= '9';
}

} // namespace

std::string windowsPath(const std::string &safePath)
{
    std::string out;
    std::size_t start = 0;
    while (start <= safePath.size()) {
        std::size_t end = safePath.find('/', start);
        if (end == std::string::npos)
            end = safePath.size();
        std::string part = safePath.substr(start, end - start);
        for (char &c : part) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 0x20 || std::string_view("<>:\"\\|?*").find(c) != std::string_view::npos)
                c = '_';
        }
        if (!part.empty() && (part.back() == '.' || part.back() == ' '))
            part.back() = '_';
        if (isDeviceName(part))
            part.insert(part.begin(), '_');
        if (!out.empty() || start > 0)
            out += '/';
        out += part;
        start = end + 1;
    }
    return out;
}

} // namespace oz::core
