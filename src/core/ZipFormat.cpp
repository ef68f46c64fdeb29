#include "ZipFormat.h"

#include "Error.h"
#include "FileIo.h"
#include "NameText.h"
#include "Names.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

namespace oz::core {

bool madeOnDosOrWindows(std::uint16_t madeBy)
{
    const unsigned host = madeBy >> 8;
    // MS-DOS and FAT, OS/2 HPFS, Windows NTFS, VFAT.
    return host == 0 || host == 6 || host == 10 || host == 11 || host == 14;
}

bool madeOnUnix(std::uint16_t madeBy)
{
    const unsigned host = madeBy >> 8;
    return host == 3 || host == 19;
}

std::string methodName(std::uint16_t m)
{
    switch (m) {
    case method::stored: return "Stored";
    case method::deflated: return "Deflate";
    case method::deflate64: return "Deflate64";
    case method::bzip2: return "BZip2";
    case method::lzma: return "LZMA";
    case method::zstd: return "Zstandard";
    case method::xz: return "XZ";
    case 1: return "Shrink";
    case 6: return "Implode";
    case 10: return "PKWARE DCL Implode";
    case 18: return "IBM TERSE";
    case 19: return "IBM LZ77";
    case 96: return "JPEG";
    case 97: return "WavPack";
    case 98: return "PPMd";
    default: return "method " + std::to_string(m);
    }
}

bool methodSupported(std::uint16_t m)
{
#ifdef OZ_CORE_LEAN
    // The Windows extractor carries zlib alone: the methods Orvel Zip writes.
    return m == method::stored || m == method::deflated;
#else
    return m == method::stored || m == method::deflated || m == method::bzip2 || m == method::lzma || m == method::zstd
        || m == method::xz;
#endif
}

bool Entry::isFolder() const
{
    if (!name.empty() && (name.back() == '/' || (name.back() == '\\' && madeOnDosOrWindows(madeBy))))
        return true;
    return madeOnUnix(madeBy) && ((externalAttributes >> 16) & 0170000) == 0040000 && size == 0;
}

bool Entry::isLink() const
{
    return madeOnUnix(madeBy) && ((externalAttributes >> 16) & 0170000) == 0120000 && !isFolder();
}

int Entry::unixMode() const
{
    if (!madeOnUnix(madeBy))
        return -1;
    const int mode = static_cast<int>((externalAttributes >> 16) & 07777);
    return mode == 0 ? -1 : mode;
}

// mktime would do, but glibc reads the zone file again on every call when TZ is unset, twice per
// entry; the offset from localtime_r, taken at the time itself, gives the same answer.
std::time_t fromDosTime(std::uint16_t time, std::uint16_t date)
{
    struct tm t {};
    t.tm_year = (date >> 9) + 80;
    t.tm_mon = ((date >> 5) & 15) - 1;
    t.tm_mday = date & 31;
    t.tm_hour = time >> 11;
    t.tm_min = (time >> 5) & 63;
    t.tm_sec = (time & 31) * 2;
    if (date == 0 || t.tm_mon < 0 || t.tm_mon > 11 || t.tm_mday == 0)
        return 0;
#ifdef _WIN32
    t.tm_isdst = -1;
    return std::mktime(&t);
#else
    const std::time_t asUtc = ::timegm(&t);
    auto offsetAt = [](std::time_t when) {
        struct tm local {};
        return localtime_r(&when, &local) ? local.tm_gmtoff : 0;
    };
    return asUtc - offsetAt(asUtc - offsetAt(asUtc));
#endif
}

namespace {

[[noreturn]] void refuse(const std::string &why)
{
    throw Error(why, Error::Kind::Refused);
}

struct End {
    std::uint64_t at = 0; // of the end record, or of the zip64 end record where there is one
    std::uint64_t count = 0;
    std::uint64_t size = 0;
    std::uint64_t offset = 0; // of the directory, as declared
};

// Where the end record lies: the one nearest the end of the file whose comment ends with the file
// (one whose comment runs past it, or stops short of it, when none does).
std::uint64_t locateEndRecord(int fd, std::uint64_t fileSize, std::vector<unsigned char> &record)
{
    if (fileSize < 22)
        throw Error("not a zip archive", Error::Kind::NotZip);
    const std::uint64_t window = std::min<std::uint64_t>(fileSize, 22 + 0xFFFF);
    std::vector<unsigned char> tail(window);
    if (!readAt(fd, fileSize - window, tail.data(), window))
        throw Error("cannot read it", Error::Kind::Io);
    std::int64_t best = -1, fallback = -1;
    for (std::size_t i = window - 22 + 1; i-- > 0;) {
        if (le32(&tail[i]) != sig::end)
            continue;
        const std::uint64_t ends = fileSize - window + i + 22 + le16(&tail[i + 20]);
        if (ends == fileSize) {
            best = static_cast<std::int64_t>(i);
            break;
        }
        if (fallback < 0 && ends < fileSize)
            fallback = static_cast<std::int64_t>(i);
    }
    if (best < 0)
        best = fallback;
    if (best < 0)
        throw Error("not a zip archive", Error::Kind::NotZip);
    const auto at = static_cast<std::size_t>(best);
    record.assign(tail.begin() + static_cast<std::ptrdiff_t>(at), tail.begin() + static_cast<std::ptrdiff_t>(at + 22));
    return fileSize - window + at;
}

// The zip64 end record the locator before the plain one points to, when there is one: its
// numbers replace the plain record's, which must agree with them.
void readZip64End(int fd, End &end)
{
    unsigned char loc[20];
    // Without a locator, 0xFFFF and 0xFFFFFFFF are just numbers: legal for a small archive.
    if (end.at < 20 || !readAt(fd, end.at - 20, loc, sizeof loc) || le32(loc) != sig::locator64)
        return;
    const std::uint64_t at64 = le64(loc + 8);
    unsigned char e64[56];
    if (at64 + 56 > end.at - 20 || !readAt(fd, at64, e64, sizeof e64) || le32(e64) != sig::end64)
        refuse("its zip64 locator points to no zip64 end record");
    if (le32(e64 + 16) != 0 || le32(e64 + 20) != 0 || le32(loc + 4) != 0 || le32(loc + 16) > 1)
        refuse("it is one part of an archive split over several files");
    const std::uint64_t count = le64(e64 + 32), size = le64(e64 + 40), offset = le64(e64 + 48);
    if (le64(e64 + 24) != count)
        refuse("its zip64 end record disagrees with itself");
    // Each field of the plain record either says "see zip64" or holds the same number.
    if ((end.count != 0xFFFF && end.count != count) || (end.size != 0xFFFFFFFFu && end.size != size)
        || (end.offset != 0xFFFFFFFFu && end.offset != offset))
        refuse("its end record and its zip64 end record disagree");
    // Nothing but the zip64 end record (with its extensible data) lies between directory and locator.
    const std::uint64_t recordEnd = at64 + 12 + le64(e64 + 4);
    if (recordEnd != end.at - 20)
        refuse("its zip64 end record has a size that does not fit");
    end.at = at64;
    end.count = count;
    end.size = size;
    end.offset = offset;
}

// The end record and the zip64 record it points to.
End findEnd(int fd, std::uint64_t fileSize)
{
    std::vector<unsigned char> record;
    End end;
    end.at = locateEndRecord(fd, fileSize, record);
    const unsigned char *e = record.data();
    if (le16(e + 4) != 0 || le16(e + 6) != 0)
        refuse("it is one part of an archive split over several files");
    if (le16(e + 8) != le16(e + 10))
        refuse("its end record disagrees with itself");
    end.count = le16(e + 10);
    end.size = le32(e + 12);
    end.offset = le32(e + 16);
    readZip64End(fd, end);
    return end;
}

// The zip64 sizes and offset of a central record, in their fixed order, each only where the
// record says 0xFFFFFFFF; the WinZip AES field; the exact modification time.
void readExtraFields(const unsigned char *x, const unsigned char *xEnd, Entry &e)
{
    bool exact = false;
    while (x + 4 <= xEnd) {
        const std::uint16_t id = le16(x), len = le16(x + 2);
        const unsigned char *field = x + 4;
        const unsigned char *fieldEnd = std::min(field + len, xEnd);
        if (id == extra::zip64) {
            auto take = [&](std::uint64_t &value) {
                if (value == 0xFFFFFFFFu) {
                    if (field + 8 > fieldEnd)
                        refuse("the entry \"" + printable(e.name) + "\" lacks its zip64 sizes");
                    value = le64(field);
                    field += 8;
                }
            };
            take(e.size);
            take(e.compressedSize);
            take(e.headerOffset);
        } else if (id == extra::aes && fieldEnd - field >= 7) {
            e.aesVersion = le16(field);
            const int strength = field[4];
            e.aesBits = strength == 1 ? 128 : strength == 2 ? 192 : strength == 3 ? 256 : -1;
            e.method = le16(field + 5);
        } else if (id == extra::time && fieldEnd - field >= 5 && (field[0] & 1)) {
            e.mtime = static_cast<std::int32_t>(le32(field + 1));
            exact = true;
        } else if (id == extra::ntfs && !exact && fieldEnd - field >= 4 + 4 + 24) {
            const unsigned char *t = field + 4;
            while (t + 4 <= fieldEnd) {
                const std::uint16_t tag = le16(t), size = le16(t + 2);
                if (tag == 1 && size >= 24 && t + 4 + 8 <= fieldEnd) {
                    const std::uint64_t filetime = le64(t + 4);
                    // 100 ns steps since 1601.
                    e.mtime = static_cast<std::time_t>(filetime / 10000000ULL) - 11644473600LL;
                    exact = true;
                    break;
                }
                t += 4 + size;
            }
        }
        x += 4 + len;
    }
    if (!exact)
        e.mtime = fromDosTime(e.dosTime, e.dosDate);
}

std::vector<Entry> readCentral(const std::vector<unsigned char> &cd, std::uint64_t count, std::uint64_t shift)
{
    std::vector<Entry> entries;
    entries.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, cd.size() / 46)));
    std::size_t pos = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (pos + 46 > cd.size() || le32(&cd[pos]) != sig::central)
            refuse("its directory holds fewer entries than it declares");
        const unsigned char *c = &cd[pos];
        const std::size_t nameLen = le16(c + 28), extraLen = le16(c + 30), commentLen = le16(c + 32);
        if (pos + 46 + nameLen + extraLen + commentLen > cd.size())
            refuse("its directory is cut short");
        if (le16(c + 34) != 0)
            refuse("it is one part of an archive split over several files");
        Entry e;
        e.madeBy = le16(c + 4);
        e.flags = le16(c + 8);
        e.storedMethod = e.method = le16(c + 10);
        e.dosTime = le16(c + 12);
        e.dosDate = le16(c + 14);
        e.crc = le32(c + 16);
        e.compressedSize = le32(c + 20);
        e.size = le32(c + 24);
        e.externalAttributes = le32(c + 38);
        e.headerOffset = le32(c + 42);
        const std::string_view stored(reinterpret_cast<const char *>(c + 46), nameLen);
        keepStoredName(e, stored, c + 46 + nameLen, extraLen);
        readExtraFields(c + 46 + nameLen, c + 46 + nameLen + extraLen, e);
        if (e.storedMethod == method::aes && e.aesBits == 0)
            refuse("the entry \"" + printable(e.name) + "\" is marked as AES-encrypted but has no AES field");
        // Saturating, so that a huge offset cannot wrap round onto a real header.
        e.headerOffset = e.headerOffset > UINT64_MAX - shift ? UINT64_MAX : e.headerOffset + shift;
        entries.push_back(std::move(e));
        pos += 46 + nameLen + extraLen + commentLen;
    }
    if (pos != cd.size())
        refuse("its directory holds more than the entries it declares");
    return entries;
}

// Reads the local headers in file order, many per read where they lie close together, as those
// of small files do: one read per header would cost more than the rest of the check.
void locateData(int fd, std::vector<Entry> &entries, std::uint64_t dirStart)
{
    std::vector<std::size_t> order(entries.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return entries[a].headerOffset < entries[b].headerOffset; });
    constexpr std::uint64_t window = 256 * 1024;
    std::vector<unsigned char> headers;
    std::uint64_t headersAt = 0;
    auto fits = [&](std::uint64_t at) { return at <= dirStart && dirStart - at >= 30; };
    std::uint64_t reach = 0; // the furthest any entry so far ends
    std::size_t reacher = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        Entry &e = entries[order[k]];
        const std::uint64_t local = e.headerOffset;
        if (!fits(local))
            refuse("the entry \"" + printable(e.name) + "\" points to no entry header");
        if (local < headersAt || local + 30 > headersAt + headers.size()) {
            std::uint64_t until = local + 30;
            for (std::size_t m = k + 1; m < order.size(); ++m) {
                const std::uint64_t next = entries[order[m]].headerOffset;
                if (!fits(next) || next + 30 - local > window)
                    break;
                until = std::max(until, next + 30);
            }
            headers.resize(until - local);
            headersAt = local;
            if (!readAt(fd, local, headers.data(), headers.size()))
                refuse("the entry \"" + printable(e.name) + "\" points to no entry header");
        }
        const unsigned char *lh = headers.data() + (local - headersAt);
        if (le32(lh) != sig::local)
            refuse("the entry \"" + printable(e.name) + "\" points to no entry header");
        e.dataStart = local + 30 + le16(lh + 26) + le16(lh + 28);
        if (e.dataStart > dirStart || e.compressedSize > dirStart - e.dataStart)
            refuse("the data of \"" + printable(e.name) + "\" runs past the end of the entries");
        if (k > 0 && local < reach)
            refuse("the entries \"" + printable(entries[reacher].name) + "\" and \"" + printable(e.name)
                   + "\" overlap, as in archives built to fill a disk");
        if (k == 0 || e.dataStart + e.compressedSize > reach) {
            reach = e.dataStart + e.compressedSize;
            reacher = order[k];
        }
    }
}

} // namespace

Directory readDirectory(int fd, std::string_view codePage)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        throw Error("cannot read it: " + systemError(errno), Error::Kind::Io);
    if (!S_ISREG(st.st_mode))
        throw Error("not a zip archive", Error::Kind::NotZip);
    Directory dir;
    if (!fileSize(fd, dir.fileSize))
        throw Error("cannot read it: " + systemError(errno), Error::Kind::Io);
    const End end = findEnd(fd, dir.fileSize);
    if (end.size > end.at)
        refuse("its directory is larger than the file");
    // Data in front of the archive (a self-extractor written by a tool that did not adjust the
    // offsets) shifts every offset by the same amount, as other readers allow.
    const std::uint64_t dirStart = end.at - end.size;
    if (dirStart < end.offset)
        refuse("its end record places the directory past where it lies");
    const std::uint64_t shift = dirStart - end.offset;
    if (shift != 0 && end.size > 0) {
        // The declared place must not hold a directory of its own: readers that trust the
        // declared offset would then read another archive than the one checked here.
        unsigned char head[4];
        if (readAt(fd, end.offset, head, sizeof head) && le32(head) == sig::central)
            refuse("it holds a second directory");
    }
    if (end.count > end.size / 46)
        refuse("its directory holds fewer entries than it declares");
    std::vector<unsigned char> cd(static_cast<std::size_t>(end.size));
    if (!readAt(fd, dirStart, cd.data(), cd.size()))
        refuse("its directory cannot be read");
    dir.entries = readCentral(cd, end.count, shift);
    locateData(fd, dir.entries, dirStart);
    decodeNames(dir, codePage);
    return dir;
}

} // namespace oz::core
