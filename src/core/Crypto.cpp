#include "Crypto.h"

#include "Error.h"

#include <nettle/aes.h>
#include <nettle/hmac.h>
#include <nettle/memops.h>
#include <nettle/sha1.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/random.h>

namespace oz::core {

void wipe(void *data, std::size_t size)
{
    explicit_bzero(data, size);
}

bool sameSecret(const unsigned char *a, const unsigned char *b, std::size_t size)
{
    return nettle_memeql_sec(a, b, size) != 0;
}

bool randomBytes(unsigned char *out, std::size_t size)
{
    while (size > 0) {
        const ssize_t got = ::getrandom(out, size, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        out += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

namespace {

void storeBigEndian(const std::uint32_t *words, unsigned char *out)
{
    for (int i = 0; i < 5; ++i) {
        const std::uint32_t big = __builtin_bswap32(words[i]);
        std::memcpy(out + 4 * i, &big, sizeof big);
    }
}

} // namespace

// PBKDF2's rounds each hash one 20-byte value under a fixed key. The inner and outer key blocks
// are hashed once; each round is then two calls of the compression function on blocks whose
// padding never changes, without the buffering and copying a general HMAC does per call. It is
// the cost of every encrypted entry (1000 rounds each), so it is worth the care.
void pbkdf2HmacSha1(std::string_view password, const unsigned char *salt, std::size_t saltSize, unsigned iterations,
                    unsigned char *out, std::size_t outSize)
{
    constexpr std::uint32_t iv[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    const auto *pw = reinterpret_cast<const uint8_t *>(password.data());
    unsigned char key[SHA1_BLOCK_SIZE] = {};
    if (password.size() > SHA1_BLOCK_SIZE) {
        sha1_ctx ctx;
        sha1_init(&ctx);
        sha1_update(&ctx, password.size(), pw);
        sha1_digest(&ctx, SHA1_DIGEST_SIZE, key);
    } else {
        std::copy(password.begin(), password.end(), key);
    }
    unsigned char pad[SHA1_BLOCK_SIZE];
    std::uint32_t inner[5], outer[5];
    std::copy(iv, iv + 5, inner);
    std::copy(iv, iv + 5, outer);
    for (std::size_t i = 0; i < sizeof pad; ++i)
        pad[i] = key[i] ^ 0x36;
    nettle_sha1_compress(inner, pad);
    for (std::size_t i = 0; i < sizeof pad; ++i)
        pad[i] = key[i] ^ 0x5c;
    nettle_sha1_compress(outer, pad);

    // A 20-byte message after one key block: 0x80, zeros, then its length in bits.
    unsigned char padded[SHA1_BLOCK_SIZE] = {};
    padded[SHA1_DIGEST_SIZE] = 0x80;
    constexpr unsigned bits = (SHA1_BLOCK_SIZE + SHA1_DIGEST_SIZE) * 8;
    padded[62] = static_cast<unsigned char>(bits >> 8);
    padded[63] = static_cast<unsigned char>(bits & 0xff);

    hmac_sha1_ctx first;
    hmac_sha1_set_key(&first, password.size(), pw);
    // The output blocks are independent chains of rounds. Up to four run in step, so that the
    // processor overlaps one's hashing with another's.
    constexpr std::size_t lanes = 4;
    std::uint32_t index = 1;
    while (outSize > 0) {
        const std::size_t count = std::min(lanes, (outSize + SHA1_DIGEST_SIZE - 1) / SHA1_DIGEST_SIZE);
        unsigned char block[lanes][SHA1_BLOCK_SIZE];
        std::uint32_t sum[lanes][5]; // the sum of each chain's rounds, kept as the hash's words
        for (std::size_t lane = 0; lane < count; ++lane, ++index) {
            const unsigned char number[4] = {static_cast<unsigned char>(index >> 24), static_cast<unsigned char>(index >> 16),
                                             static_cast<unsigned char>(index >> 8), static_cast<unsigned char>(index)};
            hmac_sha1_ctx ctx = first;
            hmac_sha1_update(&ctx, saltSize, salt);
            hmac_sha1_update(&ctx, sizeof number, number);
            std::copy(padded, padded + sizeof padded, block[lane]);
            hmac_sha1_digest(&ctx, SHA1_DIGEST_SIZE, block[lane]);
            wipe(&ctx, sizeof ctx);
            for (int i = 0; i < 5; ++i) {
                std::uint32_t big;
                std::memcpy(&big, block[lane] + 4 * i, sizeof big);
                sum[lane][i] = __builtin_bswap32(big);
            }
        }
        for (unsigned round = 1; round < iterations; ++round) {
            std::uint32_t state[lanes][5];
            for (std::size_t lane = 0; lane < count; ++lane) {
                std::copy(inner, inner + 5, state[lane]);
                nettle_sha1_compress(state[lane], block[lane]);
            }
            for (std::size_t lane = 0; lane < count; ++lane) {
                storeBigEndian(state[lane], block[lane]);
                std::copy(outer, outer + 5, state[lane]);
                nettle_sha1_compress(state[lane], block[lane]);
            }
            for (std::size_t lane = 0; lane < count; ++lane) {
                storeBigEndian(state[lane], block[lane]);
                for (int i = 0; i < 5; ++i)
                    sum[lane][i] ^= state[lane][i];
            }
        }
        for (std::size_t lane = 0; lane < count; ++lane) {
            unsigned char t[SHA1_DIGEST_SIZE];
            storeBigEndian(sum[lane], t);
            const std::size_t n = std::min<std::size_t>(outSize, sizeof t);
            std::copy(t, t + n, out);
            out += n;
            outSize -= n;
            wipe(t, sizeof t);
        }
        wipe(sum, sizeof sum);
        wipe(block, sizeof block);
    }
    wipe(&first, sizeof first);
    wipe(pad, sizeof pad);
    wipe(key, sizeof key);
    wipe(inner, sizeof inner);
    wipe(outer, sizeof outer);
}

struct WinZipCipher::State {
    union {
        aes128_ctx k128;
        aes192_ctx k192;
        aes256_ctx k256;
    } aes;
    nettle_cipher_func *encrypt = nullptr;
    hmac_sha1_ctx mac;
    std::array<unsigned char, 16> counter{};
    // Key stream made many blocks at a time: one cipher call per 4 KiB.
    std::array<unsigned char, 4096> stream{};
    std::size_t used = sizeof stream;
};

WinZipCipher::WinZipCipher() : state_(std::make_unique<State>()) {}

WinZipCipher::~WinZipCipher()
{
    wipe(state_.get(), sizeof *state_);
}

void WinZipCipher::start(std::string_view password, int keyBits, const unsigned char *salt, unsigned char verifier[2])
{
    const auto keyBytes = static_cast<std::size_t>(keyBits / 8);
    unsigned char keys[2 * 32 + 2];
    pbkdf2HmacSha1(password, salt, saltSize(keyBits), 1000, keys, 2 * keyBytes + 2);
    verifier[0] = keys[2 * keyBytes];
    verifier[1] = keys[2 * keyBytes + 1];
    State &s = *state_;
    if (keyBits == 128) {
        aes128_set_encrypt_key(&s.aes.k128, keys);
        s.encrypt = reinterpret_cast<nettle_cipher_func *>(aes128_encrypt);
    } else if (keyBits == 192) {
        aes192_set_encrypt_key(&s.aes.k192, keys);
        s.encrypt = reinterpret_cast<nettle_cipher_func *>(aes192_encrypt);
    } else {
        aes256_set_encrypt_key(&s.aes.k256, keys);
        s.encrypt = reinterpret_cast<nettle_cipher_func *>(aes256_encrypt);
    }
    hmac_sha1_set_key(&s.mac, keyBytes, keys + keyBytes);
    s.counter.fill(0);
    s.used = s.stream.size();
    wipe(keys, sizeof keys);
}

void WinZipCipher::nextKeyStream()
{
    State &s = *state_;
    // WinZip's counter: 128 bits, little-endian, from 1.
    for (std::size_t block = 0; block < s.stream.size(); block += 16) {
        for (auto &byte : s.counter) {
            if (++byte != 0)
                break;
        }
        std::copy(s.counter.begin(), s.counter.end(), s.stream.begin() + static_cast<std::ptrdiff_t>(block));
    }
    s.encrypt(&s.aes, s.stream.size(), s.stream.data(), s.stream.data());
    s.used = 0;
}

void WinZipCipher::crypt(unsigned char *data, std::size_t size)
{
    State &s = *state_;
    while (size > 0) {
        if (s.used == s.stream.size())
            nextKeyStream();
        const std::size_t n = std::min(size, s.stream.size() - s.used);
        const unsigned char *k = s.stream.data() + s.used;
        for (std::size_t i = 0; i < n; ++i)
            data[i] ^= k[i];
        s.used += n;
        data += n;
        size -= n;
    }
}

void WinZipCipher::authenticate(const unsigned char *data, std::size_t size)
{
    hmac_sha1_update(&state_->mac, size, data);
}

std::array<unsigned char, WinZipCipher::codeSize> WinZipCipher::code()
{
    std::array<unsigned char, codeSize> out{};
    hmac_sha1_digest(&state_->mac, out.size(), out.data());
    return out;
}

AesEncryptor::AesEncryptor(std::string_view password, int keyBits)
{
    const std::size_t salt = WinZipCipher::saltSize(keyBits);
    header_.resize(salt + 2);
    if (!randomBytes(header_.data(), salt))
        throw Error("Cannot encrypt: no random numbers available");
    cipher_.start(password, keyBits, header_.data(), header_.data() + salt);
}

void AesEncryptor::encrypt(unsigned char *data, std::size_t size)
{
    cipher_.crypt(data, size);
    cipher_.authenticate(data, size);
}

int decryptWinZipAes(std::string_view password, int keyBits, unsigned char *stored, std::size_t size,
                     unsigned char *&plain, std::size_t &plainSize)
{
    const std::size_t salt = WinZipCipher::saltSize(keyBits);
    if (size < WinZipCipher::overhead(keyBits))
        return 3;
    WinZipCipher cipher;
    unsigned char verifier[2];
    cipher.start(password, keyBits, stored, verifier);
    if (verifier[0] != stored[salt] || verifier[1] != stored[salt + 1])
        return 1;
    plain = stored + salt + 2;
    plainSize = size - WinZipCipher::overhead(keyBits);
    // The code covers the stored bytes: checked before any of them is decrypted.
    cipher.authenticate(plain, plainSize);
    const auto code = cipher.code();
    if (!sameSecret(code.data(), plain + plainSize, code.size()))
        return 2;
    cipher.crypt(plain, plainSize);
    return 0;
}

TraditionalCipher::TraditionalCipher(std::string_view password)
{
    keys_[0] = 0x12345678;
    keys_[1] = 0x23456789;
    keys_[2] = 0x34567890;
    for (const char c : password)
        update(static_cast<unsigned char>(c));
}

void TraditionalCipher::update(unsigned char plain)
{
    static const z_crc_t *table = get_crc_table();
    keys_[0] = table[(keys_[0] ^ plain) & 0xff] ^ (keys_[0] >> 8);
    keys_[1] = (keys_[1] + (keys_[0] & 0xff)) * 134775813 + 1;
    keys_[2] = table[(keys_[2] ^ (keys_[1] >> 24)) & 0xff] ^ (keys_[2] >> 8);
}

void TraditionalCipher::decrypt(unsigned char *data, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint16_t t = static_cast<std::uint16_t>(keys_[2] | 2);
        data[i] ^= static_cast<unsigned char>((t * (t ^ 1)) >> 8);
        update(data[i]);
    }
}

bool TraditionalCipher::start(unsigned char header[headerSize], unsigned char check)
{
    decrypt(header, headerSize);
    return header[headerSize - 1] == check;
}

} // namespace oz::core
