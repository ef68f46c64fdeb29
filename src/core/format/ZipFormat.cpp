#include "ZipFormat.h"

#include "core/base/Error.h"
#include "core/base/FileIo.h"
#include "core/base/LittleEndian.h"
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
    // The Windows extractor carries zlib alone: the methods Orvel Zip writes, and Deflate64,
    // whose decoder is our own.
    return m == method::stored || m == method::deflated || m == method::deflate64;
#else
    return m == method::stored || m == method::deflated || m == method::deflate64 || m == method::bzip2
        || m == method::lzma || m == method::zstd || m == method::xz;
#endif
}

bool Entry::isFolder() const
{
    if (!name.empty() && (name.back() == '/' || (name.back() == '\\' && madeOnDosOrWindows(madeBy))))
        return true;
    const unsigned type = (externalAttributes >> 16) & 0170000;
    if (madeOnUnix(madeBy) && type != 0)
        return type == 0040000 && size == 0;
    // Some writers mark a folder by its MS-DOS attribute alone, without the trailing slash.
    return (externalAttributes & 0x10) != 0 && size == 0 && compressedSize == 0;
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
    bool zip64 = false;
};

// Whether the plain end record leaves a number to the zip64 end record.
bool needsZip64(const unsigned char *e)
{
    return le16(e + 4) == 0xFFFF || le16(e + 6) == 0xFFFF || le16(e + 10) == 0xFFFF || le32(e + 12) == 0xFFFFFFFFu
        || le32(e + 16) == 0xFFFFFFFFu;
}

// The zip64 end record that ends where the locator starts. The locator's offset counts from the
// start of the archive; with bytes in front of it (another tool's self-extractor) the record
// lies further on, so it is looked for back from the locator as well. 0 when there is none.
std::uint64_t findZip64End(int fd, std::uint64_t declared, std::uint64_t locatorAt)
{
    unsigned char head[12];
    auto endsAtLocator = [&](std::uint64_t at) {
        return at + 56 <= locatorAt && readAt(fd, at, head, sizeof head) && le32(head) == sig::end64
            && le64(head + 4) == locatorAt - at - 12;
    };
    if (declared + 56 <= locatorAt && readAt(fd, declared, head, 4) && le32(head) == sig::end64) {
        if (!endsAtLocator(declared))
            refuse("its zip64 end record has a size that does not fit");
        return declared;
    }
    if (locatorAt < 56)
        return 0;
    constexpr std::uint64_t reach = 64 * 1024; // room for extensible data, of which there is seldom any
    std::vector<unsigned char> near(static_cast<std::size_t>(std::min(locatorAt, reach)));
    const std::uint64_t nearAt = locatorAt - near.size();
    if (!readAt(fd, nearAt, near.data(), near.size()))
        return 0;
    for (std::size_t i = near.size() - 56 + 1; i-- > 0;)
        if (le32(&near[i]) == sig::end64 && endsAtLocator(nearAt + i))
            return nearAt + i;
    return 0;
}

// The zip64 end record the locator before the plain one points to, when there is one: its
// numbers replace the plain record's, which must agree with them. A locator that leads nowhere
// is a few bytes of the directory that happen to look like one, unless the plain record needs it.
void readZip64End(int fd, End &end, const unsigned char *plain)
{
    unsigned char loc[20];
    // Without a locator, 0xFFFF and 0xFFFFFFFF are just numbers: legal for a small archive.
    if (end.at < 20 || !readAt(fd, end.at - 20, loc, sizeof loc) || le32(loc) != sig::locator64)
        return;
    const std::uint64_t at64 = findZip64End(fd, le64(loc + 8), end.at - 20);
    if (at64 == 0 && needsZip64(plain))
        refuse("its zip64 locator points to no zip64 end record");
    if (at64 == 0)
        return;
    unsigned char e64[56];
    if (!readAt(fd, at64, e64, sizeof e64))
        refuse("its zip64 locator points to no zip64 end record");
    if (le32(e64 + 16) != 0 || le32(e64 + 20) != 0 || le32(loc + 4) != 0 || le32(loc + 16) > 1)
        refuse("it is one part of an archive split over several files");
    const std::uint64_t count = le64(e64 + 32), size = le64(e64 + 40), offset = le64(e64 + 48);
    if (le64(e64 + 24) != count)
        refuse("its zip64 end record disagrees with itself");
    // Found further on than the locator says: the directory must have moved by as much.
    if (at64 != le64(loc + 8) && (at64 < size || at64 - size - offset != at64 - le64(loc + 8)))
        refuse("its zip64 locator points to no zip64 end record");
    // Each field of the plain record either says "see zip64" or holds the same number (a count
    // may have kept its low 16 bits).
    if ((end.count != 0xFFFF && end.count != (count & 0xFFFF)) || (end.size != 0xFFFFFFFFu && end.size != size)
        || (end.offset != 0xFFFFFFFFu && end.offset != offset))
        refuse("its end record and its zip64 end record disagree");
    end = {at64, count, size, offset, true};
}

// The archive an end record describes. Disk numbers of 0xFFFF, as some writers put in every field,
// defer to the zip64 end record like the other numbers.
End endAt(int fd, std::uint64_t at, const unsigned char *e)
{
    const std::uint16_t disk = le16(e + 4), dirDisk = le16(e + 6);
    if ((disk != 0 && disk != 0xFFFF) || (dirDisk != 0 && dirDisk != 0xFFFF))
        refuse("it is one part of an archive split over several files");
    if (le16(e + 8) != le16(e + 10))
        refuse("its end record disagrees with itself");
    End end{at, le16(e + 10), le32(e + 12), le32(e + 16), false};
    readZip64End(fd, end, e);
    if (!end.zip64 && (disk != 0 || dirDisk != 0))
        refuse("it is one part of an archive split over several files");
    return end;
}

// Whether an end record describes an archive: a directory where it says, starting with a
// central record, or an empty one.
bool describesArchive(int fd, std::uint64_t at, const unsigned char *e)
{
    try {
        const End end = endAt(fd, at, e);
        if (end.size > end.at || end.at - end.size < end.offset)
            return false;
        if (end.size == 0)
            return end.count == 0;
        unsigned char head[4];
        return end.size >= 46 && readAt(fd, end.at - end.size, head, sizeof head) && le32(head) == sig::central;
    } catch (const Error &) {
        return false;
    }
}

// The end record whose comment ends with the file, or runs past it (a comment length some writers
// get wrong, which other readers accept). Two of them that each describe an archive make two
// archives in one file, as when one's comment holds the other, and readers that pick differently
// see different contents: refused. When none describes one, the nearest is read for its reason,
// one that stops short of the end of the file when none reaches it.
End findEnd(int fd, std::uint64_t fileSize)
{
    if (fileSize < 22)
        throw Error("not a zip archive", Error::Kind::NotZip);
    const std::uint64_t window = std::min<std::uint64_t>(fileSize, 22 + 0xFFFF);
    const std::uint64_t base = fileSize - window;
    std::vector<unsigned char> tail(static_cast<std::size_t>(window));
    if (!readAt(fd, base, tail.data(), tail.size()))
        throw Error("cannot read it", Error::Kind::Io);
    std::int64_t exact = -1, past = -1, shortOf = -1, chosen = -1;
    for (std::size_t i = tail.size() - 22 + 1; i-- > 0;) {
        if (le32(&tail[i]) != sig::end)
            continue;
        const std::uint64_t ends = base + i + 22 + le16(&tail[i + 20]);
        std::int64_t &nearest = ends == fileSize ? exact : ends > fileSize ? past : shortOf;
        if (nearest < 0)
            nearest = static_cast<std::int64_t>(i);
        if (ends < fileSize || !describesArchive(fd, base + i, &tail[i]))
            continue;
        if (chosen >= 0)
            refuse("it holds two end records, each for an archive of its own");
        chosen = static_cast<std::int64_t>(i);
    }
    if (chosen < 0)
        chosen = exact >= 0 ? exact : shortOf >= 0 ? shortOf : past;
    if (chosen < 0)
        throw Error("not a zip archive", Error::Kind::NotZip);
    const auto at = static_cast<std::size_t>(chosen);
    return endAt(fd, base + at, &tail[at]);
}

// The modification time an NTFS field (0x000a) keeps: its first attribute, tag 1, holds it.
bool ntfsTime(const unsigned char *field, const unsigned char *fieldEnd, std::time_t &mtime)
{
    const unsigned char *t = field + 4;
    while (fieldEnd - t >= 4) {
        const std::uint16_t tag = le16(t), size = le16(t + 2);
        if (tag == 1 && size >= 24 && fieldEnd - t >= 4 + 8) {
            // 100 ns steps since 1601.
            mtime = static_cast<std::time_t>(le64(t + 4) / 10000000ULL) - 11644473600LL;
            return true;
        }
        if (fieldEnd - t - 4 < size)
            break;
        t += 4 + size;
    }
    return false;
}

// A Unix time of the 32-bit extra fields, defined as signed: past 2038 writers go on unsigned,
// and the entry's DOS date, which runs to 2107, tells which was meant (a time before 1970 has a
// DOS date of 1980 at most).
std::time_t unixTime32(std::uint32_t value, std::uint16_t dosDate)
{
    if (value > 0x7FFFFFFFu && 1980 + (dosDate >> 9) >= 2038)
        return static_cast<std::time_t>(value);
    return static_cast<std::int32_t>(value);
}

// The exact modification time of an extra field, and how much it is to be trusted: NTFS over
// Info-ZIP's extended timestamp over the older Unix fields (Info-ZIP's 0x5855, PKWARE's 0x000d,
// both access time then modification time). 0 when the field holds none.
int exactTime(std::uint16_t id, const unsigned char *field, const unsigned char *fieldEnd, std::uint16_t dosDate,
              std::time_t &mtime)
{
    const std::ptrdiff_t len = fieldEnd - field;
    if (id == extra::ntfs && len >= 4 + 4 + 24)
        return ntfsTime(field, fieldEnd, mtime) ? 3 : 0;
    if (id == extra::time && len >= 5 && (field[0] & 1)) {
        mtime = unixTime32(le32(field + 1), dosDate);
        return 2;
    }
    if ((id == extra::unixOld || id == extra::unixPkware) && len >= 8) {
        mtime = unixTime32(le32(field + 4), dosDate);
        return 1;
    }
    return 0;
}

// The zip64 sizes and offset of a central record, in their fixed order, each only where the
// record says 0xFFFFFFFF; the WinZip AES field; the exact modification time.
void readExtraFields(const unsigned char *x, const unsigned char *xEnd, Entry &e)
{
    int trust = 0;
    while (xEnd - x >= 4) {
        const std::uint16_t id = le16(x), len = le16(x + 2);
        const unsigned char *field = x + 4;
        const unsigned char *fieldEnd = std::min(field + len, xEnd);
        if (id == extra::zip64) {
            auto take = [&](std::uint64_t &value) {
                if (value == 0xFFFFFFFFu) {
                    if (fieldEnd - field < 8)
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
        } else {
            std::time_t mtime = 0;
            const int rank = exactTime(id, field, fieldEnd, e.dosDate, mtime);
            if (rank > trust) {
                trust = rank;
                e.mtime = mtime;
            }
        }
        x += 4 + len;
    }
    if (trust == 0)
        e.mtime = fromDosTime(e.dosTime, e.dosDate);
}

// The AES field describes the encryption of an entry whose record says method 99 and encrypted,
// and nothing else: trusted elsewhere, it would let a stray field switch off the CRC of a plain
// entry or decode its bytes by another method than every other reader uses.
void checkEncryption(Entry &e)
{
    const bool aesMethod = e.storedMethod == method::aes;
    if (aesMethod && !e.encrypted())
        refuse("the entry \"" + printable(e.name) + "\" is marked as AES-encrypted but is not encrypted");
    if (aesMethod && e.aesBits == 0)
        refuse("the entry \"" + printable(e.name) + "\" is marked as AES-encrypted but has no AES field");
    if (e.aesBits != 0 && e.encrypted() && !aesMethod)
        refuse("the entry \"" + printable(e.name) + "\" has an AES field but another method");
    if (!e.encrypted()) {
        e.aesBits = e.aesVersion = 0;
        e.method = e.storedMethod;
    }
}

// The central records, each with its name's bytes as stored. A count from
// the plain end record has 16 bits: past 65,535 entries writers without zip64 let it wrap (or
// stop at 0xFFFF), so there the directory is read to its end and must hold a number of entries
// the count agrees with.
std::vector<Entry> readCentral(const std::vector<unsigned char> &cd, const End &end)
{
    const std::uint64_t shift = end.at - end.size - end.offset;
    std::vector<Entry> entries;
    entries.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(end.count, cd.size() / 46)));
    std::size_t pos = 0;
    for (std::uint64_t i = 0; i < end.count || (!end.zip64 && pos < cd.size()); ++i) {
        if (pos + 46 > cd.size() || le32(&cd[pos]) != sig::central)
            refuse(i < end.count ? "its directory holds fewer entries than it declares"
                                 : "its directory holds more than the entries it declares");
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
        checkEncryption(e);
        // Saturating, so that a huge offset cannot wrap round onto a real header.
        e.headerOffset = e.headerOffset > UINT64_MAX - shift ? UINT64_MAX : e.headerOffset + shift;
        entries.push_back(std::move(e));
        pos += 46 + nameLen + extraLen + commentLen;
    }
    const std::uint64_t n = entries.size();
    if (pos != cd.size() || (n != end.count && (n & 0xFFFF) != end.count && !(end.count == 0xFFFF && n > 0xFFFF)))
        refuse("its directory holds more than the entries it declares");
    return entries;
}

// The zip64 sizes of a local header's extra field, where the header says 0xFFFFFFFF; false when
// it says so but holds none.
bool localSizes(const unsigned char *lh, std::uint64_t &size, std::uint64_t &compressedSize)
{
    size = le32(lh + 22);
    compressedSize = le32(lh + 18);
    if (size != 0xFFFFFFFFu && compressedSize != 0xFFFFFFFFu)
        return true;
    const unsigned char *x = lh + 30 + le16(lh + 26), *xEnd = x + le16(lh + 28);
    while (xEnd - x >= 4) {
        const unsigned char *field = x + 4, *fieldEnd = std::min(field + le16(x + 2), xEnd);
        if (le16(x) == extra::zip64) {
            for (std::uint64_t *value : {&size, &compressedSize}) {
                if (*value == 0xFFFFFFFFu) {
                    if (fieldEnd - field < 8)
                        return false;
                    *value = le64(field);
                    field += 8;
                }
            }
            return true;
        }
        x = fieldEnd;
    }
    return false;
}

// The local header describes the entry as its central record does. Readers that go by the local
// header (streaming ones, and some repair tools) would otherwise write another name, or decode
// other bytes, than the archive checked here. Sizes and CRC are compared unless a data
// descriptor carries them.
void compareLocal(const Entry &e, std::string_view storedName, const unsigned char *lh)
{
    const std::string_view localName(reinterpret_cast<const char *>(lh + 30), le16(lh + 26));
    const std::string entry = "the entry \"" + printable(e.name) + "\"";
    if (localName != storedName)
        refuse(entry + " is named \"" + printable(std::string(localName)) + "\" in its local header");
    const std::uint16_t flags = le16(lh + 6);
    const std::uint16_t mattering = flag::encrypted | flag::strong | (e.storedMethod == method::lzma ? 2 : 0);
    if (le16(lh + 8) != e.storedMethod || ((flags ^ e.flags) & mattering) != 0)
        refuse(entry + " has another method or encryption in its local header");
    if ((flags | e.flags) & flag::descriptor)
        return;
    std::uint64_t size = 0, compressedSize = 0;
    if (!localSizes(lh, size, compressedSize))
        return; // nothing there to disagree
    if (le32(lh + 14) != e.crc || size != e.size || compressedSize != e.compressedSize)
        refuse(entry + " has other sizes or another CRC in its local header");
}

// The local headers, read in file order, many per read where they lie close together, as those
// of small files do: one read per header would cost more than the rest of the check.
class LocalHeaders {
public:
    LocalHeaders(int fd, const std::vector<Entry> &entries, const std::vector<std::size_t> &order,
                 std::uint64_t dirStart)
        : fd_(fd), entries_(entries), order_(order), dirStart_(dirStart)
    {
    }

    // The first size bytes of the k-th header in file order; null when they cannot be read.
    const unsigned char *at(std::size_t k, std::size_t size)
    {
        const std::uint64_t local = entries_[order_[k]].headerOffset;
        if (local > dirStart_ || dirStart_ - local < size)
            return nullptr;
        if (local < bytesAt_ || local + size > bytesAt_ + bytes_.size()) {
            std::uint64_t until = local + size;
            for (std::size_t m = k + 1; m < order_.size(); ++m) {
                const std::uint64_t next = entries_[order_[m]].headerOffset;
                if (next > dirStart_ || dirStart_ - next < 30 || next + 30 - local > window)
                    break;
                until = std::max(until, next + 30);
            }
            bytes_.resize(static_cast<std::size_t>(until - local));
            bytesAt_ = local;
            if (!readAt(fd_, local, bytes_.data(), bytes_.size())) {
                bytes_.clear();
                return nullptr;
            }
        }
        return bytes_.data() + (local - bytesAt_);
    }

private:
    static constexpr std::uint64_t window = 256 * 1024;
    int fd_;
    const std::vector<Entry> &entries_;
    const std::vector<std::size_t> &order_;
    std::uint64_t dirStart_;
    std::vector<unsigned char> bytes_;
    std::uint64_t bytesAt_ = 0;
};

// Where each entry's data starts, checked against its local header; and that no two entries'
// data overlap.
void locateData(int fd, std::vector<Entry> &entries, std::uint64_t dirStart)
{
    std::vector<std::size_t> order(entries.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return entries[a].headerOffset < entries[b].headerOffset; });
    LocalHeaders headers(fd, entries, order, dirStart);
    std::uint64_t reach = 0; // the furthest any entry so far ends
    std::size_t reacher = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        Entry &e = entries[order[k]];
        const std::uint64_t local = e.headerOffset;
        const unsigned char *lh = headers.at(k, 30);
        if (!lh || le32(lh) != sig::local)
            refuse("the entry \"" + printable(e.name) + "\" points to no entry header");
        const std::size_t headerSize = 30 + std::size_t(le16(lh + 26)) + le16(lh + 28);
        lh = headers.at(k, headerSize);
        if (!lh)
            refuse("the data of \"" + printable(e.name) + "\" runs past the end of the entries");
        compareLocal(e, e.storedName, lh);
        e.dataStart = local + headerSize;
        if (e.compressedSize > dirStart - e.dataStart)
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
    dir.entries = readCentral(cd, end);
    locateData(fd, dir.entries, dirStart);
    dir.start = dirStart;
    for (const Entry &e : dir.entries)
        dir.start = std::min(dir.start, e.headerOffset);
    decodeNames(dir, codePage);
    return dir;
}

} // namespace oz::core
