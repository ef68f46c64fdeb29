#include "ZipRecords.h"

#include "Crypto.h"
#include "Names.h"
#include "ZipFormat.h"

#include <algorithm>
#include <sys/stat.h>

namespace oz::core::writer {

void put16(std::vector<unsigned char> &out, unsigned v)
{
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
}
void put32(std::vector<unsigned char> &out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void put64(std::vector<unsigned char> &out, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
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
    return mtime >= 0 && mtime <= 0x7FFFFFFF;
}

namespace {

bool isAscii(const std::string &name)
{
    return std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

unsigned flags(const Item &item, const Written &w)
{
    // A name that is not UTF-8 (a file name of a system in another encoding) goes without the mark.
    return (w.encrypted ? 0x0001u : 0u) | (isAscii(item.name) || !isUtf8(item.name) ? 0u : 0x0800u);
}

// The fields local and central headers share, from "version needed" to the CRC.
void putSharedFields(std::vector<unsigned char> &out, const Item &item, const Written &w, bool zip64, DosClock &dos)
{
    const auto [time, date] = dos(item.mtime);
    put16(out, w.encrypted ? 51 : zip64 ? 45 : 20);
    put16(out, flags(item, w));
    put16(out, w.encrypted ? methodAes : w.method);
    put16(out, time);
    put16(out, date);
    put32(out, w.crc);
}

// Extra fields: zip64 (local: both sizes; central: what overflows),
// the Unix time to the second, and WinZip's AES field.
std::vector<unsigned char> extras(const Item &item, const Written &w, bool zip64, bool central, int keyLength)
{
    std::vector<unsigned char> e;
    if (!central && zip64) {
        put16(e, 0x0001);
        put16(e, 16);
        put64(e, w.size);
        put64(e, w.compSize);
    }
    if (central) {
        std::vector<unsigned char> z;
        if (w.size >= max32)
            put64(z, w.size);
        if (w.compSize >= max32)
            put64(z, w.compSize);
        if (w.offset >= max32)
            put64(z, w.offset);
        if (!z.empty()) {
            put16(e, 0x0001);
            put16(e, static_cast<unsigned>(z.size()));
            e.insert(e.end(), z.begin(), z.end());
        }
    }
    if (exactTimeKept(item.mtime)) {
        put16(e, extra::time);
        put16(e, 5);
        e.push_back(1);
        put32(e, static_cast<std::uint32_t>(item.mtime));
    }
    if (w.encrypted) {
        put16(e, 0x9901);
        put16(e, 7);
        put16(e, 1); // AE-1: the CRC is kept
        e.push_back('A');
        e.push_back('E');
        e.push_back(static_cast<unsigned char>(WinZipCipher::strength(keyLength)));
        put16(e, w.method);
    }
    return e;
}

} // namespace

std::vector<unsigned char> localHeader(const Item &item, const Written &w, bool zip64, int keyLength, DosClock &dos)
{
    std::vector<unsigned char> h;
    put32(h, 0x04034b50);
    putSharedFields(h, item, w, zip64, dos);
    put32(h, zip64 ? max32 : static_cast<std::uint32_t>(w.compSize));
    put32(h, zip64 ? max32 : static_cast<std::uint32_t>(w.size));
    const std::vector<unsigned char> extra = extras(item, w, zip64, false, keyLength);
    put16(h, static_cast<unsigned>(item.name.size()));
    put16(h, static_cast<unsigned>(extra.size()));
    h.insert(h.end(), item.name.begin(), item.name.end());
    h.insert(h.end(), extra.begin(), extra.end());
    return h;
}

std::vector<unsigned char> centralRecord(const Item &item, const Written &w, int keyLength, DosClock &dos)
{
    const std::vector<unsigned char> extra = extras(item, w, false, true, keyLength);
    const bool zip64 = w.size >= max32 || w.compSize >= max32 || w.offset >= max32;
    std::vector<unsigned char> c;
    put32(c, 0x02014b50);
    put16(c, (3u << 8) | 63u); // made on Unix, format 6.3
    putSharedFields(c, item, w, zip64, dos);
    put32(c, static_cast<std::uint32_t>(std::min<std::uint64_t>(w.compSize, max32)));
    put32(c, static_cast<std::uint32_t>(std::min<std::uint64_t>(w.size, max32)));
    put16(c, static_cast<unsigned>(item.name.size()));
    put16(c, static_cast<unsigned>(extra.size()));
    put16(c, 0); // comment
    put16(c, 0); // disk
    put16(c, 0); // internal attributes
    const std::uint32_t attributes = item.folder
        ? (static_cast<std::uint32_t>(S_IFDIR | (item.mode & 0777)) << 16) | 0x10
        : static_cast<std::uint32_t>(S_IFREG | (item.mode & 0777)) << 16;
    put32(c, attributes);
    put32(c, static_cast<std::uint32_t>(std::min<std::uint64_t>(w.offset, max32)));
    c.insert(c.end(), item.name.begin(), item.name.end());
    c.insert(c.end(), extra.begin(), extra.end());
    return c;
}

std::vector<unsigned char> endRecords(std::uint64_t count, std::uint64_t start, std::uint64_t end)
{
    const std::uint64_t size = end - start;
    std::vector<unsigned char> c;
    if (count >= 0xFFFF || size >= max32 || start >= max32) {
        put32(c, 0x06064b50);
        put64(c, 44);
        put16(c, (3u << 8) | 63u);
        put16(c, 45);
        put32(c, 0);
        put32(c, 0);
        put64(c, count);
        put64(c, count);
        put64(c, size);
        put64(c, start);
        put32(c, 0x07064b50);
        put32(c, 0);
        put64(c, end);
        put32(c, 1);
    }
    put32(c, 0x06054b50);
    put16(c, 0);
    put16(c, 0);
    put16(c, static_cast<unsigned>(std::min<std::uint64_t>(count, 0xFFFF)));
    put16(c, static_cast<unsigned>(std::min<std::uint64_t>(count, 0xFFFF)));
    put32(c, static_cast<std::uint32_t>(std::min<std::uint64_t>(size, max32)));
    put32(c, static_cast<std::uint32_t>(std::min<std::uint64_t>(start, max32)));
    put16(c, 0);
    return c;
}

} // namespace oz::core::writer
