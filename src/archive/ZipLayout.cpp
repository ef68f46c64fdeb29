#include "ZipLayout.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace oz::ziplayout {

namespace {

constexpr std::uint32_t localSig = 0x04034b50;
constexpr std::uint32_t centralSig = 0x02014b50;
constexpr std::uint32_t endSig = 0x06054b50;
constexpr std::uint32_t end64Sig = 0x06064b50;
constexpr std::uint32_t locatorSig = 0x07064b50;

std::uint16_t u16(const unsigned char *p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t u32(const unsigned char *p) { return u16(p) | static_cast<std::uint32_t>(u16(p + 2)) << 16; }
std::uint64_t u64(const unsigned char *p) { return u32(p) | static_cast<std::uint64_t>(u32(p + 4)) << 32; }

bool readAt(int fd, std::uint64_t at, void *into, std::size_t n)
{
    auto *p = static_cast<unsigned char *>(into);
    while (n > 0) {
        const ssize_t got = ::pread(fd, p, n, static_cast<off_t>(at));
        if (got <= 0)
            return false;
        p += got;
        at += static_cast<std::uint64_t>(got);
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

struct Directory {
    std::uint64_t count = 0;
    std::uint64_t size = 0;
    std::uint64_t offset = 0; // as declared
    std::uint64_t endAt = 0;  // where the record after the directory starts
};

// The end record nearest the end of the file, and the zip64 one it points to where it has one.
bool findDirectory(int fd, std::uint64_t fileSize, Directory &dir)
{
    if (fileSize < 22)
        return false;
    const std::uint64_t window = std::min<std::uint64_t>(fileSize, 22 + 0xFFFF);
    std::vector<unsigned char> tail(window);
    if (!readAt(fd, fileSize - window, tail.data(), window))
        return false;
    for (std::size_t i = window - 22 + 1; i-- > 0;) {
        const unsigned char *e = tail.data() + i;
        if (u32(e) != endSig)
            continue;
        const std::uint64_t at = fileSize - window + i;
        dir.count = u16(e + 10);
        dir.size = u32(e + 12);
        dir.offset = u32(e + 16);
        dir.endAt = at;
        if (at >= 20) {
            unsigned char loc[20];
            if (readAt(fd, at - 20, loc, 20) && u32(loc) == locatorSig) {
                unsigned char e64[56];
                const std::uint64_t at64 = u64(loc + 8);
                if (at64 + 56 <= at && readAt(fd, at64, e64, 56) && u32(e64) == end64Sig) {
                    dir.count = u64(e64 + 32);
                    dir.size = u64(e64 + 40);
                    dir.offset = u64(e64 + 48);
                    dir.endAt = at64;
                }
            }
        }
        return true;
    }
    return false;
}

} // namespace

std::string layoutFault(int fd, std::vector<EntrySpan> *entries)
{
    if (entries)
        entries->clear();
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return {};
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);
    Directory dir;
    if (!findDirectory(fd, fileSize, dir) || dir.size > dir.endAt)
        return {};
    // Data in front of the archive (a self-extractor written by a tool that did not adjust the
    // offsets) shifts every offset by the same amount, as other readers allow.
    const std::uint64_t dirStart = dir.endAt - dir.size;
    const std::uint64_t shift = dirStart > dir.offset ? dirStart - dir.offset : 0;

    std::vector<unsigned char> cd(dir.size);
    if (!readAt(fd, dirStart, cd.data(), cd.size()))
        return {};
    std::vector<EntrySpan> spans;
    spans.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(dir.count, dir.size / 46)));
    std::vector<std::uint64_t> starts; // of each local header
    starts.reserve(spans.capacity());
    std::size_t pos = 0;
    for (std::uint64_t i = 0; i < dir.count; ++i) {
        if (pos + 46 > cd.size() || u32(&cd[pos]) != centralSig)
            return "its directory holds fewer entries than it declares";
        const unsigned char *c = &cd[pos];
        std::uint64_t csize = u32(c + 20);
        std::uint64_t usize = u32(c + 24);
        const std::size_t nameLen = u16(c + 28), extraLen = u16(c + 30), commentLen = u16(c + 32);
        std::uint64_t offset = u32(c + 42);
        if (pos + 46 + nameLen + extraLen + commentLen > cd.size())
            return "its directory is cut short";
        std::string name(reinterpret_cast<const char *>(c + 46), nameLen);
        // zip64 sizes and offset, in their fixed order, each only where the record says 0xFFFFFFFF.
        const unsigned char *x = c + 46 + nameLen, *xEnd = x + extraLen;
        while (x + 4 <= xEnd) {
            const std::uint16_t id = u16(x), len = u16(x + 2);
            const unsigned char *field = x + 4, *fieldEnd = std::min(field + len, xEnd);
            if (id == 0x0001) {
                auto take = [&](std::uint64_t &value) {
                    if (value == 0xFFFFFFFFu && field + 8 <= fieldEnd) {
                        value = u64(field);
                        field += 8;
                    }
                };
                take(usize);
                take(csize);
                take(offset);
            }
            x += 4 + len;
        }
        pos += 46 + nameLen + extraLen + commentLen;
        spans.push_back({0, csize, std::move(name)});
        // Saturating, so that a huge offset cannot wrap round onto a real header.
        starts.push_back(offset > UINT64_MAX - shift ? UINT64_MAX : offset + shift);
    }

    // The local headers in file order, read many at a time where they lie
    // close together, as those of small files do: one read per header would
    // cost more than the rest of the check.
    std::vector<std::size_t> order(spans.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return starts[a] < starts[b]; });
    constexpr std::uint64_t window = 256 * 1024;
    std::vector<unsigned char> headers;
    std::uint64_t headersAt = 0;
    auto end = [&](std::size_t i) { return spans[i].dataStart + spans[i].compressedSize; };
    std::size_t reach = 0; // the span that ends furthest so far
    for (std::size_t k = 0; k < order.size(); ++k) {
        const std::size_t i = order[k];
        const std::uint64_t local = starts[i];
        if (local > dirStart || dirStart - local < 30)
            return "the entry \"" + spans[i].name + "\" points to no entry header";
        if (local < headersAt || local + 30 > headersAt + headers.size()) {
            std::uint64_t until = local + 30;
            for (std::size_t m = k + 1; m < order.size(); ++m) {
                const std::uint64_t next = starts[order[m]];
                if (next > dirStart || dirStart - next < 30 || next + 30 - local > window)
                    break;
                until = std::max(until, next + 30);
            }
            headers.resize(until - local);
            headersAt = local;
            if (!readAt(fd, local, headers.data(), headers.size()))
                return "the entry \"" + spans[i].name + "\" points to no entry header";
        }
        const unsigned char *lh = headers.data() + (local - headersAt);
        if (u32(lh) != localSig)
            return "the entry \"" + spans[i].name + "\" points to no entry header";
        const std::uint64_t dataStart = local + 30 + u16(lh + 26) + u16(lh + 28);
        if (dataStart > dirStart || spans[i].compressedSize > dirStart - dataStart)
            return "the data of \"" + spans[i].name + "\" runs past the end of the entries";
        spans[i].dataStart = dataStart;
        if (k == 0) {
            reach = i;
            continue;
        }
        if (local < end(reach))
            return "the entries \"" + spans[reach].name + "\" and \"" + spans[i].name +
                   "\" overlap, as in archives built to fill a disk";
        if (end(i) > end(reach))
            reach = i;
    }
    if (entries)
        *entries = std::move(spans);
    return {};
}

} // namespace oz::ziplayout
