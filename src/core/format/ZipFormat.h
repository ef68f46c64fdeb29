// The zip format as this program reads it: the records, what an entry's central record says,
// and the directory of an archive, read and checked before anything trusts it.
//
// Zip readers trust the central directory: it says where each entry's data starts and how long
// it is. Archives built to exhaust a disk point many central records at one compressed kernel,
// start one entry inside another's data, or declare data that runs into the directory; others
// carry two directories, so that readers that find different ones see different archives. A sound
// archive has none of that, so such an archive is refused as a whole, and the records checked
// are exactly the records every later step uses.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace oz::core {

namespace sig {
constexpr std::uint32_t local = 0x04034b50;
constexpr std::uint32_t central = 0x02014b50;
constexpr std::uint32_t end = 0x06054b50;
constexpr std::uint32_t end64 = 0x06064b50;
constexpr std::uint32_t locator64 = 0x07064b50;
constexpr std::uint32_t descriptor = 0x08074b50;
constexpr std::uint32_t signature = 0x05054b50; // the optional digital signature record
} // namespace sig

namespace extra {
constexpr std::uint16_t zip64 = 0x0001;
constexpr std::uint16_t ntfs = 0x000a;
constexpr std::uint16_t unixPkware = 0x000d;
constexpr std::uint16_t time = 0x5455;    // Info-ZIP extended timestamp
constexpr std::uint16_t unixOld = 0x5855; // Info-ZIP's first Unix field (macOS Archive Utility)
constexpr std::uint16_t aes = 0x9901;     // WinZip AES
} // namespace extra

namespace method {
constexpr std::uint16_t stored = 0;
constexpr std::uint16_t deflated = 8;
constexpr std::uint16_t deflate64 = 9;
constexpr std::uint16_t bzip2 = 12;
constexpr std::uint16_t lzma = 14;
constexpr std::uint16_t zstd = 93;
constexpr std::uint16_t xz = 95;
constexpr std::uint16_t aes = 99; // the stored method of a WinZip AES entry; the real one is in its field
} // namespace method

namespace flag {
constexpr std::uint16_t encrypted = 1u << 0;
constexpr std::uint16_t descriptor = 1u << 3;
constexpr std::uint16_t strong = 1u << 6;
constexpr std::uint16_t utf8 = 1u << 11;
} // namespace flag

// The systems of "version made by" whose names use a backslash between folders.
bool madeOnDosOrWindows(std::uint16_t madeBy);
// Whether the external attributes hold Unix mode bits (made on Unix or macOS).
bool madeOnUnix(std::uint16_t madeBy);

// The name a method is known by ("Deflate64"), for messages.
std::string methodName(std::uint16_t method);
// Whether this program reads entries of that (real) method.
bool methodSupported(std::uint16_t method);

// One entry as its central record and local header describe it.
struct Entry {
    std::string name;        // as shown and written: UTF-8, or the stored bytes of a Unix name in none
    std::string storedName;  // the bytes of the central record
    std::string unicodeName; // from a Unicode Path field that belongs to storedName, else empty
    std::uint16_t madeBy = 0;
    std::uint16_t flags = 0;
    std::uint16_t storedMethod = 0; // as in the record (99 for AES)
    std::uint16_t method = 0;       // the real compression method
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint64_t headerOffset = 0; // of the local header, in the file
    std::uint64_t dataStart = 0;    // first stored byte, in the file
    std::uint32_t externalAttributes = 0;
    std::uint16_t dosTime = 0, dosDate = 0;
    std::time_t mtime = 0; // exact where the archive keeps it, else from the DOS time; 0 unknown
    int aesBits = 0;       // 128, 192, 256 for WinZip AES entries
    int aesVersion = 0;    // 1 or 2 (AE-2 keeps no CRC)

    bool encrypted() const { return (flags & flag::encrypted) != 0; }
    bool isFolder() const;
    bool isLink() const;
    // Unix permission bits stored with the entry (07777), or -1 when none were stored.
    int unixMode() const;
    // Whether the CRC field is to be checked (AE-2 entries store 0 there).
    bool crcKept() const { return !(aesBits != 0 && aesVersion == 2); }
};

struct Directory {
    std::vector<Entry> entries;
    std::uint64_t fileSize = 0;
    std::uint64_t start = 0; // where the archive's first record lies: what precedes it is not the archive's
    std::string codePage;    // that of the names that are not UTF-8 (see decodeNames)
};

// Reads the directory of the archive open on fd and checks that every entry's data lies in a
// range of its own before the directory, that the end record, the zip64 records and the
// directory agree, and that the archive holds one directory. Throws Error: NotZip when there is
// no directory at all, Refused with the reason for the rest. Names that are not UTF-8 are read
// in codePage, or in the one chosen for the archive when it is empty.
Directory readDirectory(int fd, std::string_view codePage = {});

// DOS date and time as local time, 0 when they are not a valid time.
std::time_t fromDosTime(std::uint16_t time, std::uint16_t date);

} // namespace oz::core
