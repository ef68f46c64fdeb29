// Reading the data of one entry: decrypted, decompressed and checked against its sizes, its CRC
// and, for WinZip AES, its authentication code.
#pragma once

#include "core/format/ZipFormat.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

struct libdeflate_decompressor;

namespace oz::core {

// Throws Error (Refused) when the entry uses a method or an encryption this program cannot
// read, naming both ("uses PPMd, which Orvel Zip cannot read"), and (NoPassword) when it
// is encrypted and no password was given. Nothing needs reading for this: planning calls it for
// every entry before anything is written.
void checkReadable(const Entry &entry, bool havePassword);

class EntryReader {
public:
    // Throws Error: WrongPassword when the password's check bytes do not match, and as
    // checkReadable does.
    EntryReader(int fd, const Entry &entry, std::string_view password);
    ~EntryReader();
    EntryReader(const EntryReader &) = delete;
    EntryReader &operator=(const EntryReader &) = delete;

    // Up to size decoded bytes; 0 only once the data has ended and checked out. Throws Error
    // (Damaged) with a short reason ("CRC error") when it does not.
    std::size_t read(unsigned char *out, std::size_t size);
    // Reads to the end to learn whether the data checks out; an AES entry needs only its code
    // for that, not the decompressing. Throws as read does.
    void verify();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Reads entries small enough to hold whole: one read of the stored bytes, then decryption and
// libdeflate in memory. For the many small files of a source tree the work of a stream per
// entry would cost more than the inflating. One per thread.
class WholeReader {
public:
    WholeReader();
    ~WholeReader();
    WholeReader(const WholeReader &) = delete;
    WholeReader &operator=(const WholeReader &) = delete;

    // Whether the entry is one this reader takes: stored or deflated, plain or WinZip AES, and
    // stored and full sizes together within limit bytes.
    static bool takes(const Entry &entry, std::uint64_t limit);
    // The limit of takes() for testing and extraction, whose workers may take less to share a
    // memory budget: larger entries are streamed.
    static constexpr std::uint64_t wholeLimit = 8u << 20;
    // The entry's data, checked; valid until the next call. Throws Error as EntryReader does.
    const unsigned char *read(int fd, const Entry &entry, std::string_view password);
    // Gives back buffers grown for a large entry.
    void trim();
    // How much one read may take in beyond a small entry, for the entries that follow it.
    static constexpr std::size_t readAhead = 256 * 1024;

private:
    // Grown without zero-filling, which would cost as much as the reading.
    struct Buffer {
        std::unique_ptr<unsigned char[]> bytes;
        std::size_t capacity = 0;
        unsigned char *ensure(std::size_t size);
    };
    // The stored bytes of entry e: from the bytes read ahead when they hold them, otherwise
    // read, together with what follows when e is small, so that the small entries after it
    // cost no read of their own.
    unsigned char *storedBytes(int fd, const Entry &e);

    libdeflate_decompressor *inflater_;
    Buffer stored_;
    Buffer plain_;
    Buffer ahead_;
    int aheadFd_ = -1;
    std::uint64_t aheadAt_ = 0;
    std::size_t aheadSize_ = 0;
};

} // namespace oz::core
