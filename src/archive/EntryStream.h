// Reading the data of one archive entry, decrypted, decompressed and checked.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>
#include <zip.h>

struct libdeflate_decompressor;

namespace oz::archive::detail {

class EntryStream {
public:
    virtual ~EntryStream() = default;
    // Bytes read, 0 at the end, -1 on failure (see error()). The end is
    // reported only once the data has been verified (CRC or AES code).
    virtual zip_int64_t read(void *buffer, zip_uint64_t size) = 0;
    virtual QString error() const = 0;

    // Reads to the end only to learn whether the data checks out, which for
    // an AES entry needs its authentication code alone, not the inflating.
    virtual bool verify();

    // Opens an entry; throws ArchiveError when it cannot be read at all
    // (wrong password, unsupported method).
    static std::unique_ptr<EntryStream> open(zip_t *za, zip_uint64_t index, const QByteArray &password);
};

// Reads entries small enough to hold whole: one read of the stored bytes,
// then decryption and libdeflate in memory, with none of libzip's work per
// entry (a seek and reads of the local header). For the many small files of
// a source tree that work costs more than the inflating. One per thread.
class WholeEntryReader {
public:
    explicit WholeEntryReader(int archiveFd);
    ~WholeEntryReader();
    WholeEntryReader(const WholeEntryReader &) = delete;
    WholeEntryReader &operator=(const WholeEntryReader &) = delete;

    // Whether the entry is one this reader takes: stored or deflated, plain
    // or WinZip AES, and stored and full sizes together within limit bytes.
    static bool takes(const zip_stat_t &st, std::uint64_t limit);

    // The entry's data, decrypted, decompressed and checked against the
    // sizes and CRC of the directory; valid until the next call. dataStart is
    // where the stored bytes begin in the archive. Throws ArchiveError.
    const unsigned char *read(const zip_stat_t &st, std::uint64_t dataStart, const QByteArray &password);

    // Gives back buffers grown for a large entry.
    void trim();

private:
    // Grown without zero-filling, which would cost as much as the reading.
    struct Buffer {
        std::unique_ptr<unsigned char[]> bytes;
        std::size_t capacity = 0;
        unsigned char *ensure(std::size_t size);
    };

    int fd_;
    libdeflate_decompressor *inflater_;
    Buffer stored_;
    Buffer plain_;
};

} // namespace oz::archive::detail
