#include "PeVersion.h"
#include "BuilderPeImage.h"
#include "core/base/Error.h"
#include "core/base/LittleEndian.h"

#include <vector>

namespace oz::receiver {

namespace {

constexpr std::uint32_t rtVersion = 16;
constexpr std::uint32_t usEnglish = 0x0409;
constexpr std::uint16_t unicode = 1200; // the code page of UTF-16 strings

// Text with its terminating null, as the resource keeps keys and values.
void appendText(std::string &out, const std::u16string &text)
{
    for (const char16_t c : text)
        core::putLe16(out, c);
    core::putLe16(out, 0);
}

void alignTo4(std::string &out)
{
    out.resize((out.size() + 3) / 4 * 4, '\0');
}

// Every part of the resource has one shape: its length, the length of its value (in characters
// for text, in bytes otherwise), whether the value is text, its key, then its value and its
// children, each starting on a 32-bit boundary. Windows reads nothing past the length.
std::string part(const std::u16string &key, const std::string &value, std::uint16_t valueLength, bool text,
                 const std::vector<std::string> &children = {})
{
    std::string out(6, '\0');
    appendText(out, key);
    alignTo4(out);
    out += value;
    for (const std::string &child : children) {
        alignTo4(out);
        out += child;
    }
    core::storeLe16(out, 0, static_cast<std::uint16_t>(out.size()));
    core::storeLe16(out, 2, valueLength);
    out[4] = text ? 1 : 0;
    return out;
}

std::string string(const std::u16string &key, const std::u16string &value)
{
    std::string bytes;
    appendText(bytes, value);
    return part(key, bytes, static_cast<std::uint16_t>(value.size() + 1), true);
}

// VS_FIXEDFILEINFO: the numbers Windows compares when one program replaces another.
std::string fixedInfo(const std::array<std::uint16_t, 4> &n)
{
    std::string out;
    core::putLe32(out, 0xFEEF04BDu);          // its signature
    core::putLe32(out, 0x00010000u);          // its layout's version
    for (int twice = 0; twice < 2; ++twice) { // the file's version, then the product's
        core::putLe32(out, std::uint32_t(n[0]) << 16 | n[1]);
        core::putLe32(out, std::uint32_t(n[2]) << 16 | n[3]);
    }
    core::putLe32(out, 0x3F);        // which flags are meant
    core::putLe32(out, 0);           // none set: a release build
    core::putLe32(out, 0x00040004u); // for Windows NT, 32-bit or wider
    core::putLe32(out, 1);           // an application
    core::putLe32(out, 0);
    core::putLe32(out, 0); // no date
    core::putLe32(out, 0);
    return out;
}

} // namespace

std::array<std::uint16_t, 4> versionNumbers(const std::string &text)
{
    const auto refuse = [&] {
        throw core::Error("The version " + text
                              + " is not one Windows can hold: up to four numbers from 0 to 65535, as 1.2.3.4",
                          core::Error::Kind::Unsupported);
    };
    std::array<std::uint16_t, 4> numbers{};
    std::size_t index = 0, digits = 0;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : '.';
        if (c >= '0' && c <= '9') {
            value = value * 10 + static_cast<std::uint32_t>(c - '0');
            if (++digits > 5 || value > 0xFFFF)
                refuse();
            continue;
        }
        if (c != '.' || digits == 0 || index == numbers.size())
            refuse();
        numbers[index++] = static_cast<std::uint16_t>(value);
        value = 0;
        digits = 0;
    }
    return numbers;
}

std::string encodeVersionResource(const VersionInfo &info)
{
    std::vector<std::string> strings;
    auto add = [&](const char16_t *key, const std::u16string &value) {
        if (!value.empty())
            strings.push_back(string(key, value));
    };
    add(u"CompanyName", info.company);
    add(u"FileDescription", info.description);
    add(u"FileVersion", info.version);
    add(u"InternalName", info.product);
    add(u"LegalCopyright", info.copyright);
    add(u"OriginalFilename", info.fileName);
    add(u"ProductName", info.product);
    add(u"ProductVersion", info.version);
    // The table's key names its language and code page in hexadecimal: 040904B0.
    const std::string table = part(u"040904B0", {}, 0, true, strings);
    std::string translation;
    core::putLe16(translation, usEnglish);
    core::putLe16(translation, unicode);
    const std::string var = part(u"VarFileInfo", {}, 0, true, {part(u"Translation", translation, 4, false)});
    return part(u"VS_VERSION_INFO", fixedInfo(info.numbers), 52, false,
                {part(u"StringFileInfo", {}, 0, true, {table}), var});
}

void setPeVersion(std::string &exe, const VersionInfo &info)
{
    const std::string resource = encodeVersionResource(info);
    if (resource.size() > 0xFFFF)
        throw core::Error("The version of the program cannot be set: its version texts are too long",
                          core::Error::Kind::Unsupported);
    editPeResources(exe, [&](PeResources &resources) {
        // One version resource: a second language's would show instead on some systems.
        for (auto it = resources.begin(); it != resources.end();)
            it = std::get<0>(it->first) == rtVersion ? resources.erase(it) : std::next(it);
        resources[{rtVersion, 1, usEnglish}] = resource;
    });
}

} // namespace oz::receiver
