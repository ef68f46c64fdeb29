#include "EntryReader.h"

#include "core/base/Error.h"
#include "core/base/FileIo.h"
#include "core/base/LittleEndian.h"
#include "core/crypto/Crypto.h"
#include "Inflate64.h"

#include <zlib.h>
#ifndef OZ_CORE_LEAN
#include <bzlib.h>
#include <libdeflate.h>
#include <lzma.h>
#include <zstd.h>
#endif

#include <algorithm>
#include <optional>
#include <vector>

namespace oz::core {

namespace {
std::uint32_t crc32Of(std::uint32_t crc, const unsigned char *data, std::size_t size)
{
#ifdef OZ_CORE_LEAN
    return static_cast<std::uint32_t>(::crc32_z(crc, data, size));
#else
    return static_cast<std::uint32_t>(libdeflate_crc32(crc, data, size));
#endif
}
} // namespace

namespace {

[[noreturn]] void damaged(const std::string &why)
{
    throw Error(why, Error::Kind::Damaged);
}

// What a decompressor may hold in memory: enough for every sound archive, too little for an
// entry that declares a dictionary of gigabytes to take the machine down.
constexpr std::uint64_t memoryLimit = 1ull << 30;

// One compression method's decoder. run() takes what it can of the input, advancing in, and
// returns how many bytes it wrote to out; ended() turns true once its stream is complete.
class Decoder {
public:
    virtual ~Decoder() = default;
    virtual std::size_t run(const unsigned char *&in, std::size_t &inSize, unsigned char *out, std::size_t outSize) = 0;
    bool ended() const { return ended_; }

protected:
    bool ended_ = false;
};

class StoredDecoder : public Decoder {
public:
    explicit StoredDecoder(std::uint64_t size) : left_(size) { ended_ = size == 0; }
    std::size_t run(const unsigned char *&in, std::size_t &inSize, unsigned char *out, std::size_t outSize) override
    {
        const std::size_t n = std::min(inSize, outSize);
        std::copy(in, in + n, out);
        in += n;
        inSize -= n;
        left_ -= std::min<std::uint64_t>(left_, n);
        // Stored data ends with its bytes; extra ones are reported by the size check.
        ended_ = left_ == 0 && inSize == 0;
        return n;
    }

private:
    std::uint64_t left_;
};

class InflateDecoder : public Decoder {
public:
    InflateDecoder()
    {
        if (inflateInit2(&z_, -MAX_WBITS) != Z_OK)
            throw Error("Cannot start decompression", Error::Kind::System);
    }
    ~InflateDecoder() override { inflateEnd(&z_); }
    std::size_t run(const unsigned char *&in, std::size_t &inSize, unsigned char *out, std::size_t outSize) override
    {
        z_.next_in = const_cast<Bytef *>(in);
        z_.avail_in = static_cast<uInt>(std::min<std::size_t>(inSize, 1u << 30));
        z_.next_out = out;
        z_.avail_out = static_cast<uInt>(std::min<std::size_t>(outSize, 1u << 30));
        const uInt availIn = z_.avail_in;
        const int rc = inflate(&z_, Z_NO_FLUSH);
        if (rc == Z_STREAM_END)
            ended_ = true;
        else if (rc != Z_OK && rc != Z_BUF_ERROR)
            damaged("Compressed data invalid");
        in += availIn - z_.avail_in;
        inSize -= availIn - z_.avail_in;
        return static_cast<std::size_t>(z_.next_out - out);
    }

private:
    z_stream z_{};
};

class Deflate64Decoder : public Decoder {
public:
    std::size_t run(const unsigned char *&in, std::size_t &inSize, unsigned char *out, std::size_t outSize) override
    {
        const std::size_t n = inflater_.run(in, inSize, out, outSize);
        ended_ = inflater_.ended();
        return n;
    }

private:
    Inflate64 inflater_;
};

#ifndef OZ_CORE_LEAN
class Bzip2Decoder : public Decoder {
public:
    Bzip2Decoder()
    {
        if (BZ2_bzDecompressInit(&s_, 0, 0) != BZ_OK)
            throw Error("Cannot start decompression", Error::Kind::System);
    }
    ~Bzip2Decoder() override { BZ2_bzDecompressEnd(&s_); }
    std::size_t run(const unsigned char *&in, std::size_t &inSize, unsigned char *out, std::size_t outSize) override
    {
        s_.next_in = const_cast<char *>(reinterpret_cast<const char *>(in));
        s_.avail_in = static_cast<unsigned>(std::min<std::size_t>(inSize, 1u << 30));
        s_.next_out = reinterpret_cast<char *>(out);
        s_.avail_out = static_cast<unsigned>(std::min<std::size_t>(outSize, 1u << 30));
        const unsigned availIn = s_.avail_in;
        const int rc = BZ2_bzDecompress(&s_);
        if (rc == BZ_STREAM_END)
            ended_ = true;
        else if (rc != BZ_OK)
            damaged("Compressed data invalid");
        in += availIn - s_.avail_in;
        inSize -= availIn - s_.avail_in;
        return static_cast<std::size_t>(reinterpret_cast<unsigned char *>(s_.next_out) - out);
    }

private:
    bz_stream s_{};
};

// LZMA in a zip entry: two version bytes, the length of the properties, the five property bytes,
// then the raw stream, with an end marker when flag bit 1 says so. It is read as the .lzma
// format, whose header (properties, then the size or "unknown") is made here.
class LzmaDecoder : public Decoder {
public:
    LzmaDecoder(bool xz, bool endMarker, std::uint64_t size) : xz_(xz), endMarker_(endMarker), size_(size)
    {
        const lzma_ret rc = xz ? lzma_stream_decoder(&s_, memoryLimit, 0) : lzma_alone_decoder(&s_, memoryLimit);
        if (rc != LZMA_OK)
            throw Error("Cannot start decompression", Error::Kind::System);
    }
    ~LzmaDecoder() override { lzma_end(&s_); }
    std::size_t run(const unsigned char *&in, std::size_t &inSize, unsigned char *out, std::size_t outSize) override
    {
        if (!xz_ && header_.size() < 9) {
            const std::size_t n = std::min(inSize, 9 - header_.size());
            header_.insert(header_.end(), in, in + n);
            in += n;
            inSize -= n;
            if (header_.size() < 9)
                return 0;
            if (le16(&header_[2]) != 5)
                damaged("Compressed data invalid");
            unsigned char alone[13];
            std::copy(header_.begin() + 4, header_.end(), alone);
            const std::uint64_t size = endMarker_ ? UINT64_MAX : size_;
            for (int i = 0; i < 8; ++i)
                alone[5 + i] = static_cast<unsigned char>(size >> (8 * i));
            // The decoder takes its header only with room to write, though it writes nothing yet.
            std::size_t used = 0;
            if (step(alone, sizeof alone, out, outSize, &used) != 0 || used != sizeof alone)
                damaged("Compressed data invalid");
        }
        std::size_t consumed = 0;
        const std::size_t produced = step(in, inSize, out, outSize, &consumed);
        in += consumed;
        inSize -= consumed;
        return produced;
    }

private:
    std::size_t step(const unsigned char *in, std::size_t inSize, unsigned char *out, std::size_t outSize,
                     std::size_t *consumed)
    {
        s_.next_in = in;
        s_.avail_in = inSize;
        s_.next_out = out;
        s_.avail_out = outSize;
        const lzma_ret rc = lzma_code(&s_, LZMA_RUN);
        if (rc == LZMA_STREAM_END)
            ended_ = true;
        else if (rc == LZMA_MEMLIMIT_ERROR || rc == LZMA_MEM_ERROR)
            damaged("it needs more memory to decompress than this program allows");
        else if (rc != LZMA_OK && rc != LZMA_BUF_ERROR)
            damaged("Compressed data invalid");
        *consumed = inSize - s_.avail_in;
        return outSize - s_.avail_out;
    }

    lzma_stream s_ = LZMA_STREAM_INIT;
    bool xz_;
    bool endMarker_;
    std::uint64_t size_;
    std::vector<unsigned char> header_;
};

class ZstdDecoder : public Decoder {
public:
    ZstdDecoder() : d_(ZSTD_createDStream())
    {
        if (!d_ || ZSTD_isError(ZSTD_initDStream(d_)))
            throw Error("Cannot start decompression", Error::Kind::System);
    }
    ~ZstdDecoder() override { ZSTD_freeDStream(d_); }
    std::size_t run(const unsigned char *&in, std::size_t &inSize, unsigned char *out, std::size_t outSize) override
    {
        ZSTD_inBuffer input{in, inSize, 0};
        ZSTD_outBuffer output{out, outSize, 0};
        const std::size_t rc = ZSTD_decompressStream(d_, &output, &input);
        if (ZSTD_isError(rc))
            damaged("Compressed data invalid");
        // A frame has ended; another may follow in the same entry.
        ended_ = rc == 0 && input.pos == inSize;
        in += input.pos;
        inSize -= input.pos;
        return output.pos;
    }

private:
    ZSTD_DStream *d_;
};
#endif

std::unique_ptr<Decoder> decoderFor(const Entry &e)
{
    switch (e.method) {
    case method::stored: return std::make_unique<StoredDecoder>(e.size);
    case method::deflated: return std::make_unique<InflateDecoder>();
    case method::deflate64: return std::make_unique<Deflate64Decoder>();
#ifndef OZ_CORE_LEAN
    case method::bzip2: return std::make_unique<Bzip2Decoder>();
    case method::lzma: return std::make_unique<LzmaDecoder>(false, (e.flags & 2) != 0, e.size);
    case method::xz: return std::make_unique<LzmaDecoder>(true, false, e.size);
    case method::zstd: return std::make_unique<ZstdDecoder>();
#endif
    default: throw Error("it uses " + methodName(e.method) + ", which Orvel Zip cannot read", Error::Kind::Refused);
    }
}

// The checks an entry's data must pass, the same for entries read whole and for streamed ones:
// the AES header and code, then the size, then the CRC, each failure in the same words.
class EntryCheck {
public:
    explicit EntryCheck(const Entry &e) : entry_(e) {}

    // An AES entry stores its salt, verifier and code besides the data: stored bytes in all.
    static void aesHeader(const Entry &e, std::uint64_t stored)
    {
        if (stored < WinZipCipher::overhead(e.aesBits))
            damaged("Damaged encryption header");
    }
    // Sets up the keys from the salt at head and checks the verifier that follows it.
    static void aesStart(WinZipCipher &cipher, std::string_view password, const Entry &e, const unsigned char *head)
    {
        const std::size_t salt = WinZipCipher::saltSize(e.aesBits);
        unsigned char verifier[2];
        cipher.start(password, e.aesBits, head, verifier);
        if (verifier[0] != head[salt] || verifier[1] != head[salt + 1])
            throw Error("Wrong password provided", Error::Kind::WrongPassword);
    }
    // The code stored after the data, once every stored byte went through authenticate.
    static void aesCode(WinZipCipher &cipher, const unsigned char *stored)
    {
        const auto expected = cipher.code();
        if (!sameSecret(expected.data(), stored, expected.size()))
            damaged("Authentication failed");
    }

    // The decoded bytes, in order.
    void add(const unsigned char *data, std::size_t size)
    {
        produced_ += size;
        if (produced_ > entry_.size)
            tooLong();
        crc_ = crc32Of(crc_, data, size);
    }
    [[noreturn]] static void tooLong() { damaged("it holds more data than the archive declares"); }
    // After the last of them.
    void end() const
    {
        if (produced_ != entry_.size)
            damaged("it is shorter than the archive declares");
        if (entry_.crcKept() && crc_ != entry_.crc)
            damaged("CRC error");
    }

private:
    const Entry &entry_;
    std::uint64_t produced_ = 0;
    std::uint32_t crc_ = 0;
};

} // namespace

void checkReadable(const Entry &e, bool havePassword)
{
    if (e.isFolder())
        return;
    if (e.encrypted() && ((e.flags & flag::strong) || e.aesBits < 0))
        throw Error("it uses an encryption Orvel Zip cannot read", Error::Kind::Refused);
    if (!methodSupported(e.method))
        throw Error("it uses " + methodName(e.method) + ", which Orvel Zip cannot read", Error::Kind::Refused);
    if (e.encrypted() && !havePassword)
        throw Error("it is encrypted and no password was given", Error::Kind::NoPassword);
}

// The stored bytes, read in order and decrypted; then decoded, counted and checked.
struct EntryReader::Impl {
    static constexpr std::size_t bufferSize = 256 * 1024;

    int fd;
    const Entry &entry;
    std::uint64_t at = 0;   // next stored byte to read
    std::uint64_t left = 0; // stored data bytes still to read (without salt, header or code)
    std::optional<WinZipCipher> aes;
    std::optional<TraditionalCipher> traditional;
    std::unique_ptr<Decoder> decoder;
    // No larger than the entry's stored bytes, and not zero-filled: a small entry would
    // otherwise pay for a quarter of a mebibyte of zeros.
    std::unique_ptr<unsigned char[]> inputBytes;
    std::size_t inputSize = 0;
    const unsigned char *next = nullptr;
    std::size_t available = 0;
    EntryCheck check;
    bool finished = false;

    Impl(int f, const Entry &e, std::string_view password) : fd(f), entry(e), check(e)
    {
        checkReadable(e, !password.empty());
        at = e.dataStart;
        left = e.compressedSize;
        inputSize = static_cast<std::size_t>(std::clamp<std::uint64_t>(left, 1, bufferSize));
        inputBytes.reset(new unsigned char[inputSize]);
        if (e.encrypted() && e.aesBits > 0) {
            EntryCheck::aesHeader(e, left);
            unsigned char head[16 + 2];
            raw(head, WinZipCipher::saltSize(e.aesBits) + 2);
            aes.emplace();
            EntryCheck::aesStart(*aes, password, e, head);
            left -= WinZipCipher::codeSize;
        } else if (e.encrypted()) {
            if (left < TraditionalCipher::headerSize)
                damaged("Damaged encryption header");
            unsigned char head[TraditionalCipher::headerSize];
            raw(head, sizeof head);
            traditional.emplace(password);
            const unsigned char expected = (e.flags & flag::descriptor) ? e.dosTime >> 8 : e.crc >> 24;
            if (!traditional->start(head, expected))
                throw Error("Wrong password provided", Error::Kind::WrongPassword);
        }
        decoder = decoderFor(e);
    }

    void raw(unsigned char *out, std::size_t n)
    {
        if (!readAt(fd, at, out, n))
            damaged("Premature end of file");
        at += n;
        left -= n;
    }

    // Refills the input with the next stored bytes, decrypted; false at their end.
    bool fill()
    {
        if (left == 0)
            return false;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, inputSize));
        raw(inputBytes.get(), n);
        if (aes) {
            aes->authenticate(inputBytes.get(), n);
            aes->crypt(inputBytes.get(), n);
        } else if (traditional) {
            traditional->decrypt(inputBytes.get(), n);
        }
        next = inputBytes.get();
        available = n;
        return true;
    }

    // Whatever follows the compressed stream still counts for the code, then the code itself.
    void finish()
    {
        while (available > 0 || left > 0) {
            available = 0;
            if (!fill())
                break;
        }
        if (aes)
            checkCode();
        check.end();
        finished = true;
    }

    // Once every stored byte was authenticated.
    void checkCode()
    {
        unsigned char code[WinZipCipher::codeSize];
        if (!readAt(fd, at, code, sizeof code))
            damaged("Premature end of file");
        EntryCheck::aesCode(*aes, code);
    }

    std::size_t read(unsigned char *out, std::size_t size)
    {
        if (finished || size == 0)
            return 0;
        for (;;) {
            if (available == 0 && !decoder->ended() && !fill()) {
                // Stored bytes are over: the decoder gets one last call with nothing, to flush.
                const unsigned char *none = nullptr;
                std::size_t zero = 0;
                const std::size_t n = decoder->ended() ? 0 : decoder->run(none, zero, out, size);
                if (n > 0)
                    return account(out, n);
                if (!decoder->ended() && entry.method != method::stored)
                    damaged("Compressed data invalid");
                finish();
                return 0;
            }
            if (decoder->ended()) {
                finish();
                return 0;
            }
            const std::size_t n = decoder->run(next, available, out, size);
            if (n > 0)
                return account(out, n);
        }
    }

    std::size_t account(const unsigned char *out, std::size_t n)
    {
        check.add(out, n);
        return n;
    }
};

EntryReader::EntryReader(int fd, const Entry &entry, std::string_view password)
    : impl_(std::make_unique<Impl>(fd, entry, password))
{
}

EntryReader::~EntryReader() = default;

std::size_t EntryReader::read(unsigned char *out, std::size_t size)
{
    return impl_->read(out, size);
}

void EntryReader::verify()
{
    if (impl_->aes) {
        // The code covers the stored bytes: the password is proven without decompressing.
        while (impl_->left > 0) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(impl_->left, impl_->inputSize));
            impl_->raw(impl_->inputBytes.get(), n);
            impl_->aes->authenticate(impl_->inputBytes.get(), n);
        }
        impl_->checkCode();
        return;
    }
    std::vector<unsigned char> sink(Impl::bufferSize);
    while (read(sink.data(), sink.size()) > 0) {
    }
}

unsigned char *WholeReader::Buffer::ensure(std::size_t size)
{
    if (size > capacity || !bytes) {
        bytes.reset(new unsigned char[std::max<std::size_t>(size, 1)]);
        capacity = std::max<std::size_t>(size, 1);
    }
    return bytes.get();
}

#ifndef OZ_CORE_LEAN
WholeReader::WholeReader() : inflater_(libdeflate_alloc_decompressor())
{
    if (!inflater_)
        throw std::bad_alloc();
}

WholeReader::~WholeReader()
{
    libdeflate_free_decompressor(inflater_);
}

bool WholeReader::takes(const Entry &e, std::uint64_t limit)
{
    if (e.method != method::stored && e.method != method::deflated)
        return false;
    if (e.encrypted() && e.aesBits <= 0)
        return false;
    return e.compressedSize <= limit && e.size <= limit && e.compressedSize + e.size <= limit;
}

void WholeReader::trim()
{
    constexpr std::size_t keep = 1u << 20;
    if (stored_.capacity > keep)
        stored_ = {};
    if (plain_.capacity > keep)
        plain_ = {};
}

unsigned char *WholeReader::storedBytes(int fd, const Entry &e)
{
    const auto storedSize = static_cast<std::size_t>(e.compressedSize);
    const auto inAhead = [&] {
        return fd == aheadFd_ && e.dataStart >= aheadAt_ && e.dataStart - aheadAt_ <= aheadSize_
            && aheadSize_ - (e.dataStart - aheadAt_) >= storedSize;
    };
    if (!inAhead() && storedSize < readAhead / 4) {
        unsigned char *into = ahead_.ensure(readAhead);
        aheadFd_ = fd;
        aheadAt_ = e.dataStart;
        // Short only at the end of the archive; an entry cut there is found below.
        aheadSize_ = readUpTo(fd, aheadAt_, into, readAhead);
    }
    unsigned char *stored = stored_.ensure(storedSize);
    if (inAhead()) {
        unsigned char *ahead = ahead_.bytes.get() + (e.dataStart - aheadAt_);
        if (!e.encrypted())
            return ahead;
        // Decrypted where it lies, the copy read ahead would be spoilt for another reading.
        std::copy(ahead, ahead + storedSize, stored);
        return stored;
    }
    if (!readAt(fd, e.dataStart, stored, storedSize))
        damaged("Premature end of file");
    return stored;
}

const unsigned char *WholeReader::read(int fd, const Entry &e, std::string_view password)
{
    checkReadable(e, !password.empty());
    const auto storedSize = static_cast<std::size_t>(e.compressedSize);
    unsigned char *stored = storedBytes(fd, e);
    unsigned char *data = stored;
    std::size_t dataSize = storedSize;
    if (e.encrypted()) {
        EntryCheck::aesHeader(e, storedSize);
        WinZipCipher cipher;
        EntryCheck::aesStart(cipher, password, e, stored);
        data = stored + WinZipCipher::saltSize(e.aesBits) + 2;
        dataSize = storedSize - WinZipCipher::overhead(e.aesBits);
        // The code covers the stored bytes: checked before any of them is decrypted.
        cipher.authenticate(data, dataSize);
        EntryCheck::aesCode(cipher, data + dataSize);
        cipher.crypt(data, dataSize);
    }
    if (e.method == method::deflated) {
        const auto size = static_cast<std::size_t>(e.size);
        unsigned char *out = plain_.ensure(size);
        const libdeflate_result rc = libdeflate_deflate_decompress(inflater_, data, dataSize, out, size, &dataSize);
        if (rc == LIBDEFLATE_INSUFFICIENT_SPACE)
            EntryCheck::tooLong();
        if (rc != LIBDEFLATE_SUCCESS)
            damaged("Compressed data invalid");
        data = out;
    }
    EntryCheck check(e);
    check.add(data, dataSize);
    check.end();
    return data;
}

#else
// Built with zlib alone: every entry is streamed.
WholeReader::WholeReader() : inflater_(nullptr) {}
WholeReader::~WholeReader() = default;
bool WholeReader::takes(const Entry &, std::uint64_t)
{
    return false;
}
void WholeReader::trim() {}
const unsigned char *WholeReader::read(int, const Entry &, std::string_view)
{
    throw Error("whole reads are not built in", Error::Kind::Unsupported);
}
#endif

} // namespace oz::core
