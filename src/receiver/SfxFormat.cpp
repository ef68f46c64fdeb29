#include "SfxFormat.h"
#include "core/base/Error.h"
#include "core/base/FileIo.h"
#include "core/base/LittleEndian.h"

#include <cstring>
#include <vector>
#include <zlib.h>

namespace oz::receiver {

namespace {

const char magic[8] = {'O', 'Z', 'S', 'F', 'X', '1', '\r', '\n'};
const char trailerMagic[8] = {'O', 'Z', 'S', 'F', 'X', 'E', 'N', 'D'};
constexpr std::size_t trailerSize = 12;

[[noreturn]] void damaged(const std::string &why)
{
    throw core::Error(why, core::Error::Kind::Damaged);
}

std::string escape(const std::string &value)
{
    std::string out;
    for (char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out.push_back(c);
    }
    return out;
}

std::string unescape(const std::string &value)
{
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
            const char next = value[++i];
            out.push_back(next == 'n' ? '\n' : next == 'r' ? '\r' : next);
        } else {
            out.push_back(value[i]);
        }
    }
    return out;
}

std::uint32_t crcOf(const unsigned char *data, std::size_t size)
{
    uLong crc = crc32(0L, Z_NULL, 0);
    while (size > 0) {
        const uInt chunk = size > (1u << 30) ? (1u << 30) : static_cast<uInt>(size);
        crc = crc32(crc, data, chunk);
        data += chunk;
        size -= chunk;
    }
    return static_cast<std::uint32_t>(crc);
}

} // namespace

std::string encodeSettings(const Settings &s)
{
    std::string text;
    text += "icon=" + escape(s.iconName) + "\n";
    text += "run=" + escape(s.runProgram) + "\n";
    text += "parameters=" + escape(s.runParameters) + "\n";
    text += "autotemp=" + std::to_string(s.autoTemp) + "\n";
    text += "autoextract=" + std::to_string(s.autoExtract) + "\n";

    std::string out(magic, sizeof magic);
    core::putLe32(out, static_cast<std::uint32_t>(text.size()));
    out += text;
    core::putLe32(out, static_cast<std::uint32_t>(s.icon.size()));
    out += s.icon;
    core::putLe32(out, crcOf(reinterpret_cast<const unsigned char *>(out.data()), out.size()));
    core::putLe32(out, static_cast<std::uint32_t>(out.size()));
    out.append(trailerMagic, sizeof trailerMagic);
    return out;
}

Settings readSettings(int fd, std::uint64_t archiveStart)
{
    unsigned char trailer[trailerSize];
    if (archiveStart < trailerSize || !oz::core::readAt(fd, archiveStart - trailerSize, trailer, sizeof trailer)
        || std::memcmp(trailer + 4, trailerMagic, sizeof trailerMagic) != 0)
        damaged("no settings block in front of the archive");
    const std::uint32_t length = core::le32(trailer);
    if (length > 2 * maxSettingsBytes + 64 || length > archiveStart - trailerSize)
        damaged("the settings block is cut short or damaged");
    std::vector<unsigned char> block(length);
    std::size_t used = 0;
    if (!oz::core::readAt(fd, archiveStart - trailerSize - length, block.data(), block.size()))
        throw core::Error("the settings block cannot be read", core::Error::Kind::Io);
    Settings settings = decodeSettings(block.data(), block.size(), used);
    if (used != length)
        damaged("the settings block is cut short or damaged");
    return settings;
}

Settings decodeSettings(const unsigned char *data, std::size_t size, std::size_t &used)
{
    if (size < sizeof magic + 12 || std::memcmp(data, magic, sizeof magic) != 0)
        damaged("no settings block where the extractor ends");
    std::size_t at = sizeof magic;
    const std::uint32_t textLength = core::le32(data + at);
    at += 4;
    if (textLength > maxSettingsBytes || size - at < std::size_t(textLength) + 8)
        damaged("the settings block is cut short or damaged");
    const std::string text(reinterpret_cast<const char *>(data + at), textLength);
    at += textLength;
    const std::uint32_t iconLength = core::le32(data + at);
    at += 4;
    if (iconLength > maxSettingsBytes || size - at < std::size_t(iconLength) + 4)
        damaged("the settings block is cut short or damaged");
    const std::string icon(reinterpret_cast<const char *>(data + at), iconLength);
    at += iconLength;
    if (core::le32(data + at) != crcOf(data, at))
        damaged("the settings block is damaged (checksum mismatch)");
    at += 4;

    Settings s;
    s.icon = icon;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq);
        const std::string value = unescape(line.substr(eq + 1));
        if (key == "icon")
            s.iconName = value;
        else if (key == "run")
            s.runProgram = value;
        else if (key == "parameters")
            s.runParameters = value;
        else if (key == "autotemp")
            s.autoTemp = value == "1" ? 1 : 0;
        else if (key == "autoextract")
            s.autoExtract = value == "1" ? 1 : 0;
    }
    used = at;
    return s;
}

Target targetFor(const std::string &fileName)
{
    if (fileName.size() < 4)
        return Target::Linux;
    std::string end = fileName.substr(fileName.size() - 4);
    for (char &c : end)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return end == ".exe" ? Target::Windows : Target::Linux;
}

} // namespace oz::receiver
