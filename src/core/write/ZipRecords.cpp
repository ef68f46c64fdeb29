#include "ZipRecords.h"

#include "core/base/LittleEndian.h"
#include "core/crypto/Crypto.h"
#include "core/format/Names.h"
#include "core/format/ZipFormat.h"

#include <algorithm>
#include <sys/stat.h>

namespace oz::core::writer {

std::pair<std::uint16_t, std::uint16_t> dosTime(time_t mtime)
{
    struct tm t {};
    if (!localtime_r(&mtime, &t) || t.tm_year < 80)
        return {0, (1 << 5) | 1};
    if (t.tm_year > 207)
        return {static_cast<std::uint16_t>((23 << 11) | (59 << 5) | 29),
                static_cast<std::uint16_t>((127 << 9) | (12 << 5) | 31)};
    return {static_cast<std::uint16_t>((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2)),
            static_cast<std::uint16_t>(((t.tm_year - 80) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday)};
}

bool exactTimeKept(time_t mtime)
{
    return mtime >= 0 && mtime <= 0xFFFFFFFF;
}

namespace {

bool isAscii(const std::string &name)
{
    return std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

unsigned flags(const Item &item, const Written &w)
{
    // A name that is not UTF-8 (a file name of a system in another encoding) goes without the mark.
    return (w.encrypted ? flag::encrypted : 0u) | (isAscii(item.name) || !isUtf8(item.name) ? 0u : flag::utf8);
}

// The fields local and central headers share, from "version needed" to the CRC.
void putSharedFields(std::vector<unsigned char> &out, const Item &item, const Written &w, bool zip64, DosClock &dos)
{
    const auto [time, date] = dos(item.mtime);
    putLe16(out, w.encrypted ? 51 : zip64 ? 45 : 20);
    putLe16(out, flags(item, w));
    putLe16(out, w.encrypted ? method::aes : w.method);
    putLe16(out, time);
    putLe16(out, date);
    putLe32(out, w.crc);
}

// Extra fields: zip64 (local: both sizes; central: what overflows),
// the Unix time to the second, and WinZip's AES field.
std::vector<unsigned char> extras(const Item &item, const Written &w, bool zip64, bool central, int keyLength)
{
    std::vector<unsigned char> e;
    if (!central && zip64) {
        putLe16(e, extra::zip64);
        putLe16(e, 16);
        putLe64(e, w.size);
        putLe64(e, w.compSize);
    }
    if (central) {
        std::vector<unsigned char> z;
        if (w.size >= max32)
            putLe64(z, w.size);
        if (w.compSize >= max32)
            putLe64(z, w.compSize);
        if (w.offset >= max32)
            putLe64(z, w.offset);
        if (!z.empty()) {
            putLe16(e, extra::zip64);
            putLe16(e, static_cast<unsigned>(z.size()));
            e.insert(e.end(), z.begin(), z.end());
        }
    }
    if (exactTimeKept(item.mtime)) {
        putLe16(e, extra::time);
        putLe16(e, 5);
        e.push_back(1);
        putLe32(e, static_cast<std::uint32_t>(item.mtime));
    }
    if (w.encrypted) {
        putLe16(e, extra::aes);
        putLe16(e, 7);
        putLe16(e, 1); // AE-1: the CRC is kept
        e.push_back('A');
        e.push_back('E');
        e.push_back(static_cast<unsigned char>(WinZipCipher::strength(keyLength)));
        putLe16(e, w.method);
    }
    return e;
}

} // namespace

std::vector<unsigned char> localHeader(const Item &item, const Written &w, bool zip64, int keyLength, DosClock &dos)
{
    std::vector<unsigned char> h;
    putLe32(h, sig::local);
    putSharedFields(h, item, w, zip64, dos);
    putLe32(h, zip64 ? max32 : static_cast<std::uint32_t>(w.compSize));
    putLe32(h, zip64 ? max32 : static_cast<std::uint32_t>(w.size));
    const std::vector<unsigned char> extra = extras(item, w, zip64, false, keyLength);
    putLe16(h, static_cast<unsigned>(item.name.size()));
    putLe16(h, static_cast<unsigned>(extra.size()));
    h.insert(h.end(), item.name.begin(), item.name.end());
    h.insert(h.end(), extra.begin(), extra.end());
    return h;
}

std::vector<unsigned char> centralRecord(const Item &item, const Written &w, int keyLength, DosClock &dos)
{
    const std::vector<unsigned char> extra = extras(item, w, false, true, keyLength);
    const bool zip64 = w.size >= max32 || w.compSize >= max32 || w.offset >= max32;
    std::vector<unsigned char> c;
    putLe32(c, sig::central);
    putLe16(c, (3u << 8) | 63u); // made on Unix, format 6.3
    putSharedFields(c, item, w, zip64, dos);
    putLe32(c, static_cast<std::uint32_t>(std::min<std::uint64_t>(w.compSize, max32)));
    putLe32(c, static_cast<std::uint32_t>(std::min<std::uint64_t>(w.size, max32)));
    putLe16(c, static_cast<unsigned>(item.name.size()));
    putLe16(c, static_cast<unsigned>(extra.size()));
    putLe16(c, 0); // comment
    putLe16(c, 0); // disk
    putLe16(c, 0); // internal attributes
    const std::uint32_t attributes = item.folder
        ? (static_cast<std::uint32_t>(S_IFDIR | (item.mode & 0777)) << 16) | 0x10
        : static_cast<std::uint32_t>(S_IFREG | (item.mode & 0777)) << 16;
    putLe32(c, attributes);
    putLe32(c, static_cast<std::uint32_t>(std::min<std::uint64_t>(w.offset, max32)));
    c.insert(c.end(), item.name.begin(), item.name.end());
    c.insert(c.end(), extra.begin(), extra.end());
    return c;
}

std::vector<unsigned char> endRecords(std::uint64_t count, std::uint64_t start, std::uint64_t end)
{
    const std::uint64_t size = end - start;
    std::vector<unsigned char> c;
    if (count >= 0xFFFF || size >= max32 || start >= max32) {
        putLe32(c, sig::end64);
        putLe64(c, 44);
        putLe16(c, (3u << 8) | 63u);
        putLe16(c, 45);
        putLe32(c, 0);
        putLe32(c, 0);
        putLe64(c, count);
        putLe64(c, count);
        putLe64(c, size);
        putLe64(c, start);
        putLe32(c, sig::locator64);
        putLe32(c, 0);
        putLe64(c, end);
        putLe32(c, 1);
    }
    putLe32(c, sig::end);
    putLe16(c, 0);
    putLe16(c, 0);
    putLe16(c, static_cast<unsigned>(std::min<std::uint64_t>(count, 0xFFFF)));
    putLe16(c, static_cast<unsigned>(std::min<std::uint64_t>(count, 0xFFFF)));
    putLe32(c, static_cast<std::uint32_t>(std::min<std::uint64_t>(size, max32)));
    putLe32(c, static_cast<std::uint32_t>(std::min<std::uint64_t>(start, max32)));
    putLe16(c, 0);
    return c;
}

} // namespace oz::core::writer
