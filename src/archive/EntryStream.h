// Reading the data of one archive entry, decrypted, decompressed and checked.
#pragma once

#include <QString>
#include <memory>
#include <zip.h>

namespace oz::archive::detail {

class EntryStream {
public:
    virtual ~EntryStream() = default;
    // Bytes read, 0 at the end, -1 on failure (see error()). The end is
    // reported only once the data has been verified (CRC or AES code).
    virtual zip_int64_t read(void *buffer, zip_uint64_t size) = 0;
    virtual QString error() const = 0;

    // Opens an entry; throws ArchiveError when it cannot be read at all
    // (wrong password, unsupported method).
    static std::unique_ptr<EntryStream> open(zip_t *za, zip_uint64_t index, const QByteArray &password);
};

} // namespace oz::archive::detail
