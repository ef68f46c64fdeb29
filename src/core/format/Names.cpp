#include "Names.h"

#include "NameText.h"
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
    decodeCodePage("CP437", bytes, out); // every byte is a character of it
    return out;
}

namespace {
// The safe path, or nothing with the reason in why: the one walk behind both the answer and the
// message, so that no caller meets a result and a reason that disagree.
std::optional<std::string> checkedEntryPath(std::string_view name, bool backslashSeparates, std::string &why);
} // namespace

std::optional<std::string> safeEntryPath(const Entry &entry)
{
    return safeEntryPath(entry.name, madeOnDosOrWindows(entry.madeBy));
}

std::optional<std::string> safeEntryPath(std::string_view name, bool backslashSeparates)
{
    std::string why;
    return checkedEntryPath(name, backslashSeparates, why);
}

std::string whyNameRefused(const Entry &entry)
{
    std::string why;
    checkedEntryPath(entry.name, madeOnDosOrWindows(entry.madeBy), why);
    return why;
}

namespace {
std::optional<std::string> checkedEntryPath(std::string_view name, bool backslashSeparates, std::string &why)
{
    if (name.empty()) {
        why = "it has no name";
        return std::nullopt;
    }
    if (name.find('\0') != std::string_view::npos) {
        why = "its name holds a NUL character";
        return std::nullopt;
    }
    auto separator = [&](char c) { return c == '/' || (backslashSeparates && c == '\\'); };
    if (separator(name[0])) {
        why = "its name is an absolute path, which would place it outside the destination";
        return std::nullopt;
    }
    std::string out;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = start;
        while (end < name.size() && !separator(name[end]))
            ++end;
        const std::string_view part = name.substr(start, end - start);
        if (part == "..") {
            why = "its name holds a \"..\" part, which would place it outside the destination";
            return std::nullopt;
        }
        if (!part.empty() && part != ".") {
            if (!out.empty())
                out += '/';
            out += part;
        }
        start = end + 1;
    }
    return out;
}
} // namespace

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
    if (stem.rfind("COM", 0) != 0 && stem.rfind("LPT", 0) != 0)
        return false;
    const std::string_view number = std::string_view(stem).substr(3);
    // Windows takes the superscript digits one to three (UTF-8 here) for digits as well.
    return (number.size() == 1 && number[0] >= '0' && number[0] <= '9') || number == "\xC2\xB9" || number == "\xC2\xB2"
        || number == "\xC2\xB3";
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
