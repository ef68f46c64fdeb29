// Entries are read through libzip, except WinZip AES entries, which are read
// raw and decrypted here: libzip 1.7 checks the zero CRC field of AE-2
// entries (what 7-Zip and WinZip write) and reports every one as damaged, and
// its own key derivation and cipher are several times slower than ours. The
// authentication code is checked for every entry, the CRC where one is kept.
#include "EntryStream.h"

#include "Internal.h"
#include "WinZipAes.h"

#include <libdeflate.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include <unistd.h>

namespace oz::archive::detail {

namespace {

class LibzipStream : public EntryStream {
public:
    explicit LibzipStream(zip_file_t *zf) : zf_(zf) {}
    ~LibzipStream() override { zip_fclose(zf_); }
    zip_int64_t read(void *buffer, zip_uint64_t size) override { return zip_fread(zf_, buffer, size); }
    QString error() const override { return QString::fromLocal8Bit(zip_file_strerror(zf_)); }

private:
    zip_file_t *zf_;
};

class WinZipAesStream : public EntryStream {
public:
    WinZipAesStream(zip_file_t *raw, int keyBits, zip_uint64_t compSize, bool deflated, std::optional<std::uint32_t> crc)
        : raw_(raw), keyBytes_(keyBits / 8), deflated_(deflated), expectedCrc_(crc)
    {
        const zip_uint64_t overhead = static_cast<zip_uint64_t>(saltBytes() + 2 + 10);
        dataLeft_ = compSize >= overhead ? compSize - overhead : 0;
        damaged_ = compSize < overhead;
    }

    ~WinZipAesStream() override
    {
        zip_fclose(raw_);
        if (inflating_)
            inflateEnd(&z_);
    }

    // Derives the keys and checks the password verifier.
    bool start(const QByteArray &password)
    {
        if (damaged_)
            return fail(QStringLiteral("Damaged encryption header"));
        std::vector<unsigned char> salt(static_cast<size_t>(saltBytes()));
        unsigned char verifier[2];
        if (!readRaw(salt.data(), salt.size()) || !readRaw(verifier, 2))
            return false;
        unsigned char expected[2];
        if (!cipher_.start(password, keyBytes_ * 8, salt.data(), expected))
            return fail(QStringLiteral("The cipher is not available"));
        if (expected[0] != verifier[0] || expected[1] != verifier[1])
            return false;
        if (deflated_) {
            z_ = {};
            if (inflateInit2(&z_, -MAX_WBITS) != Z_OK)
                return fail(QStringLiteral("Cannot start decompression"));
            inflating_ = true;
        }
        return true;
    }

    zip_int64_t read(void *buffer, zip_uint64_t size) override
    {
        const zip_int64_t n = readData(buffer, size);
        if (n > 0)
            crc_ = static_cast<std::uint32_t>(libdeflate_crc32(crc_, buffer, static_cast<std::size_t>(n)));
        if (n == 0 && expectedCrc_ && crc_ != *expectedCrc_)
            return fail(QStringLiteral("CRC error")), -1;
        return n;
    }

    QString error() const override { return error_; }

    // The code covers the stored bytes, so the password is proven without
    // decrypting or inflating any of them.
    bool verify() override
    {
        while (dataLeft_ > 0) {
            const size_t want = static_cast<size_t>(std::min<zip_uint64_t>(dataLeft_, input_.size()));
            if (!readRaw(input_.data(), want))
                return false;
            dataLeft_ -= want;
            cipher_.authenticate(input_.data(), want);
        }
        return readPlain(input_.data(), input_.size()) == 0;
    }

private:
    zip_int64_t readData(void *buffer, zip_uint64_t size)
    {
        if (!error_.isEmpty())
            return -1;
        if (!deflated_)
            return readPlain(static_cast<unsigned char *>(buffer), size);
        z_.next_out = static_cast<Bytef *>(buffer);
        z_.avail_out = static_cast<uInt>(std::min<zip_uint64_t>(size, 1u << 30));
        while (z_.avail_out > 0 && !streamEnded_) {
            if (z_.avail_in == 0) {
                const zip_int64_t n = readPlain(input_.data(), input_.size());
                if (n < 0)
                    return -1;
                if (n == 0)
                    return fail(QStringLiteral("Compressed data invalid")), -1;
                z_.next_in = input_.data();
                z_.avail_in = static_cast<uInt>(n);
            }
            const int rc = inflate(&z_, Z_NO_FLUSH);
            if (rc == Z_STREAM_END) {
                streamEnded_ = true;
            } else if (rc != Z_OK) {
                return fail(QStringLiteral("Compressed data invalid")), -1;
            }
        }
        const auto produced = static_cast<zip_int64_t>(static_cast<unsigned char *>(z_.next_out) - static_cast<unsigned char *>(buffer));
        if (produced == 0 && streamEnded_) {
            // Drain what follows the deflate stream so the code gets checked.
            unsigned char rest[4096];
            zip_int64_t n;
            while ((n = readPlain(rest, sizeof rest)) > 0) {
            }
            return n < 0 ? -1 : 0;
        }
        return produced;
    }

    int saltBytes() const { return keyBytes_ / 2; }

    bool fail(const QString &text)
    {
        if (error_.isEmpty())
            error_ = text;
        return false;
    }

    bool readRaw(unsigned char *out, size_t size)
    {
        size_t got = 0;
        while (got < size) {
            const zip_int64_t n = zip_fread(raw_, out + got, size - got);
            if (n < 0)
                return fail(QString::fromLocal8Bit(zip_file_strerror(raw_)));
            if (n == 0)
                return fail(QStringLiteral("Premature end of file"));
            got += static_cast<size_t>(n);
        }
        return true;
    }

    // Decrypted bytes of the stored data; at its end the code is verified.
    zip_int64_t readPlain(unsigned char *out, zip_uint64_t size)
    {
        if (dataLeft_ == 0) {
            if (!verified_) {
                unsigned char stored[10];
                if (!readRaw(stored, sizeof stored))
                    return -1;
                const auto computed = cipher_.code();
                if (CRYPTO_memcmp(stored, computed.data(), computed.size()) != 0)
                    return fail(QStringLiteral("Authentication failed: the entry is damaged or the password is wrong")), -1;
                verified_ = true;
            }
            return 0;
        }
        const size_t want = static_cast<size_t>(std::min<zip_uint64_t>({size, dataLeft_, 1u << 20}));
        if (!readRaw(out, want))
            return -1;
        dataLeft_ -= want;
        cipher_.authenticate(out, want);
        cipher_.crypt(out, want);
        return static_cast<zip_int64_t>(want);
    }

    zip_file_t *raw_;
    int keyBytes_;
    bool deflated_;
    bool damaged_ = false;
    zip_uint64_t dataLeft_ = 0;
    WinZipCipher cipher_;
    std::optional<std::uint32_t> expectedCrc_;
    std::uint32_t crc_ = 0;
    bool verified_ = false;
    z_stream z_{};
    bool inflating_ = false;
    bool streamEnded_ = false;
    std::array<unsigned char, 65536> input_{};
    QString error_;
};

int aesKeyBits(zip_uint16_t method)
{
    switch (method) {
    case ZIP_EM_AES_128:
        return 128;
    case ZIP_EM_AES_192:
        return 192;
    case ZIP_EM_AES_256:
        return 256;
    default:
        return 0;
    }
}

// AE-2 entries store no CRC (a zero in its place); AE-1 and plain entries keep theirs.
std::optional<std::uint32_t> expectedCrc(const zip_stat_t &st, bool aes)
{
    if (!(st.valid & ZIP_STAT_CRC) || (aes && st.crc == 0 && st.size > 0))
        return std::nullopt;
    return st.crc;
}

} // namespace

bool EntryStream::verify()
{
    std::vector<char> buffer(64 * 1024);
    zip_int64_t n;
    while ((n = read(buffer.data(), buffer.size())) > 0) {
    }
    return n == 0;
}

WholeEntryReader::WholeEntryReader(int archiveFd) : fd_(archiveFd), inflater_(libdeflate_alloc_decompressor())
{
    if (!inflater_)
        throw std::bad_alloc();
}

WholeEntryReader::~WholeEntryReader()
{
    libdeflate_free_decompressor(inflater_);
}

bool WholeEntryReader::takes(const zip_stat_t &st, std::uint64_t limit)
{
    constexpr auto needed = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD | ZIP_STAT_ENCRYPTION_METHOD;
    if ((st.valid & needed) != needed || st.size > limit || st.comp_size > limit - st.size)
        return false;
    if (st.comp_method != ZIP_CM_STORE && st.comp_method != ZIP_CM_DEFLATE)
        return false;
    return st.encryption_method == ZIP_EM_NONE || aesKeyBits(st.encryption_method) != 0;
}

const unsigned char *WholeEntryReader::read(const zip_stat_t &st, std::uint64_t dataStart, const QByteArray &password)
{
    const QString name = st.name ? QString::fromUtf8(st.name) : QString();
    auto fail = [&](const QString &why) { return ArchiveError(QStringLiteral("Cannot extract \"%1\": %2").arg(name, why)); };
    const int bits = aesKeyBits(st.encryption_method);
    if (bits && password.isEmpty())
        throw fail(QStringLiteral("No password provided"));

    // One byte over, so that an empty entry still has somewhere to point.
    unsigned char *const stored = stored_.ensure(static_cast<std::size_t>(st.comp_size) + 1);
    std::size_t got = 0;
    while (got < st.comp_size) {
        const ssize_t n = ::pread(fd_, stored + got, static_cast<std::size_t>(st.comp_size) - got,
                                  static_cast<off_t>(dataStart + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw fail(QStringLiteral("Read error: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        if (n == 0)
            throw fail(QStringLiteral("Premature end of file"));
        got += static_cast<std::size_t>(n);
    }
    unsigned char *data = stored;
    std::size_t size = static_cast<std::size_t>(st.comp_size);
    if (bits) {
        const QString why = decryptWinZipAes(password, bits, stored, size, data, size);
        if (!why.isEmpty())
            throw fail(why);
    }
    const unsigned char *out = data;
    if (st.comp_method == ZIP_CM_STORE) {
        if (size != st.size)
            throw fail(size > st.size ? QStringLiteral("it holds more data than the archive declares")
                                      : QStringLiteral("it is shorter than the archive declares"));
    } else {
        unsigned char *const plain = plain_.ensure(static_cast<std::size_t>(st.size) + 1);
        std::size_t produced = 0;
        switch (libdeflate_deflate_decompress(inflater_, data, size, plain, static_cast<std::size_t>(st.size),
                                              &produced)) {
        case LIBDEFLATE_SUCCESS:
            break;
        case LIBDEFLATE_INSUFFICIENT_SPACE:
            throw fail(QStringLiteral("it holds more data than the archive declares"));
        default:
            throw fail(QStringLiteral("Compressed data invalid"));
        }
        if (produced != st.size)
            throw fail(QStringLiteral("it is shorter than the archive declares"));
        out = plain;
    }
    const auto crc = expectedCrc(st, bits != 0);
    if (crc && libdeflate_crc32(0, out, static_cast<std::size_t>(st.size)) != *crc)
        throw fail(QStringLiteral("CRC error"));
    return out;
}

unsigned char *WholeEntryReader::Buffer::ensure(std::size_t size)
{
    if (size > capacity) {
        const std::size_t grown = std::max(size, capacity + capacity / 2);
        bytes.reset(new unsigned char[grown]);
        capacity = grown;
    }
    return bytes.get();
}

void WholeEntryReader::trim()
{
    constexpr std::size_t keep = 1 << 20;
    for (auto *buffer : {&stored_, &plain_}) {
        if (buffer->capacity > keep) {
            buffer->bytes.reset();
            buffer->capacity = 0;
        }
    }
}

std::unique_ptr<EntryStream> EntryStream::open(zip_t *za, zip_uint64_t index, const QByteArray &password)
{
    zip_stat_t st;
    zip_stat_init(&st);
    zip_stat_index(za, index, 0, &st);
    const QString name = st.name ? QString::fromUtf8(st.name) : QString();
    const int bits = (st.valid & ZIP_STAT_ENCRYPTION_METHOD) ? aesKeyBits(st.encryption_method) : 0;
    if (bits) {
        if (password.isEmpty())
            throw ArchiveError(QStringLiteral("Cannot extract \"%1\": No password provided").arg(name));
        if (st.comp_method != ZIP_CM_STORE && st.comp_method != ZIP_CM_DEFLATE)
            throw ArchiveError(QStringLiteral("Cannot extract \"%1\": Compression method not supported").arg(name));
        zip_file_t *raw = zip_fopen_index(za, index, ZIP_FL_ENCRYPTED);
        if (!raw)
            throw ArchiveError(QStringLiteral("Cannot extract \"%1\": %2").arg(name, zipArchiveErrorText(za)));
        auto stream = std::make_unique<WinZipAesStream>(raw, bits, st.comp_size, st.comp_method == ZIP_CM_DEFLATE,
                                                        expectedCrc(st, true));
        if (!stream->start(password)) {
            const QString why = stream->error().isEmpty() ? QStringLiteral("Wrong password provided") : stream->error();
            throw ArchiveError(QStringLiteral("Cannot extract \"%1\": %2").arg(name, why));
        }
        return stream;
    }
    zip_file_t *zf = zip_fopen_index_encrypted(za, index, 0, password.isEmpty() ? nullptr : password.constData());
    if (!zf)
        throw ArchiveError(QStringLiteral("Cannot extract \"%1\": %2").arg(name, zipArchiveErrorText(za)));
    return std::make_unique<LibzipStream>(zf);
}

} // namespace oz::archive::detail
