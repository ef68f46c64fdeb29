#include "WinZipAes.h"

#include "ArchiveComponent.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <nettle/hmac.h>
#include <nettle/sha1.h>

#include <algorithm>
#include <cstring>

namespace oz::archive::detail {

namespace {

void storeBigEndian(const std::uint32_t *words, unsigned char *out)
{
    for (int i = 0; i < 5; ++i) {
        const std::uint32_t big = __builtin_bswap32(words[i]);
        std::memcpy(out + 4 * i, &big, sizeof big);
    }
}

} // namespace

// PBKDF2's rounds each hash one 20-byte value under a fixed key. The inner
// and outer key blocks are hashed once; each round is then two calls of the
// compression function on blocks whose padding never changes, without the
// buffering and copying a general HMAC does per call.
void pbkdf2HmacSha1(const QByteArray &password, const unsigned char *salt, std::size_t saltSize, unsigned iterations,
                    unsigned char *out, std::size_t outSize)
{
    constexpr std::uint32_t iv[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    unsigned char key[SHA1_BLOCK_SIZE] = {};
    if (static_cast<std::size_t>(password.size()) > SHA1_BLOCK_SIZE) {
        sha1_ctx ctx;
        sha1_init(&ctx);
        sha1_update(&ctx, static_cast<std::size_t>(password.size()), reinterpret_cast<const uint8_t *>(password.constData()));
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
    hmac_sha1_set_key(&first, static_cast<std::size_t>(password.size()), reinterpret_cast<const uint8_t *>(password.constData()));
    // The output blocks are independent chains of rounds. Up to four run in
    // step, so that the processor overlaps one's hashing with another's.
    constexpr std::size_t lanes = 4;
    std::uint32_t index = 1;
    while (outSize > 0) {
        const std::size_t count = std::min(lanes, (outSize + SHA1_DIGEST_SIZE - 1) / SHA1_DIGEST_SIZE);
        unsigned char block[lanes][SHA1_BLOCK_SIZE];
        // The sum of each chain's rounds, kept as the hash's words.
        std::uint32_t sum[lanes][5];
        for (std::size_t lane = 0; lane < count; ++lane, ++index) {
            const unsigned char number[4] = {static_cast<unsigned char>(index >> 24), static_cast<unsigned char>(index >> 16),
                                             static_cast<unsigned char>(index >> 8), static_cast<unsigned char>(index)};
            hmac_sha1_ctx ctx = first;
            hmac_sha1_update(&ctx, saltSize, salt);
            hmac_sha1_update(&ctx, sizeof number, number);
            std::copy(padded, padded + sizeof padded, block[lane]);
            hmac_sha1_digest(&ctx, SHA1_DIGEST_SIZE, block[lane]);
            OPENSSL_cleanse(&ctx, sizeof ctx);
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
            OPENSSL_cleanse(t, sizeof t);
        }
        OPENSSL_cleanse(sum, sizeof sum);
        OPENSSL_cleanse(block, sizeof block);
    }
    OPENSSL_cleanse(&first, sizeof first);
    OPENSSL_cleanse(pad, sizeof pad);
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(inner, sizeof inner);
    OPENSSL_cleanse(outer, sizeof outer);
}

void deriveAesKeys(const QByteArray &password, const unsigned char *salt, std::size_t saltSize,
                   unsigned char *keys, std::size_t keysSize)
{
    pbkdf2HmacSha1(password, salt, saltSize, 1000, keys, keysSize);
}

QString decryptWinZipAes(const QByteArray &password, int keyBits, unsigned char *stored, std::size_t size,
                         unsigned char *&plain, std::size_t &plainSize)
{
    const std::size_t saltBytes = static_cast<std::size_t>(keyBits / 16);
    if (size < saltBytes + 2 + AesEncryptor::trailerSize)
        return QStringLiteral("Damaged encryption header");
    WinZipCipher cipher;
    unsigned char verifier[2];
    if (!cipher.start(password, keyBits, stored, verifier))
        return QStringLiteral("The cipher is not available");
    if (verifier[0] != stored[saltBytes] || verifier[1] != stored[saltBytes + 1])
        return QStringLiteral("Wrong password provided");
    plain = stored + saltBytes + 2;
    plainSize = size - saltBytes - 2 - AesEncryptor::trailerSize;
    cipher.authenticate(plain, plainSize);
    const auto code = cipher.code();
    if (CRYPTO_memcmp(code.data(), plain + plainSize, code.size()) != 0)
        return QStringLiteral("Authentication failed: the entry is damaged or the password is wrong");
    cipher.crypt(plain, plainSize);
    return {};
}

WinZipCipher::~WinZipCipher()
{
    EVP_CIPHER_CTX_free(cipher_);
    EVP_MAC_CTX_free(mac_);
    OPENSSL_cleanse(stream_.data(), stream_.size());
}

bool WinZipCipher::start(const QByteArray &password, int keyBits, const unsigned char *salt, unsigned char verifier[2])
{
    const auto keyBytes = static_cast<std::size_t>(keyBits / 8);
    std::vector<unsigned char> keys(2 * keyBytes + 2);
    deriveAesKeys(password, salt, keyBytes / 2, keys.data(), keys.size());
    verifier[0] = keys[2 * keyBytes];
    verifier[1] = keys[2 * keyBytes + 1];

    const EVP_CIPHER *cipher = keyBytes == 16 ? EVP_aes_128_ecb() : keyBytes == 24 ? EVP_aes_192_ecb() : EVP_aes_256_ecb();
    cipher_ = EVP_CIPHER_CTX_new();
    EVP_MAC *hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    mac_ = hmac ? EVP_MAC_CTX_new(hmac) : nullptr;
    EVP_MAC_free(hmac);
    char digest[] = "SHA1";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_construct_end()};
    const bool ready = cipher_ && mac_ && EVP_EncryptInit_ex(cipher_, cipher, nullptr, keys.data(), nullptr) == 1
                       && EVP_CIPHER_CTX_set_padding(cipher_, 0) == 1
                       && EVP_MAC_init(mac_, keys.data() + keyBytes, keyBytes, params) == 1;
    OPENSSL_cleanse(keys.data(), keys.size());
    return ready;
}

void WinZipCipher::nextKeyStream()
{
    for (std::size_t block = 0; block < stream_.size(); block += 16) {
        for (auto &byte : counter_) {
            if (++byte != 0)
                break;
        }
        std::copy(counter_.begin(), counter_.end(), stream_.begin() + static_cast<std::ptrdiff_t>(block));
    }
    int length = 0;
    EVP_EncryptUpdate(cipher_, stream_.data(), &length, stream_.data(), static_cast<int>(stream_.size()));
    used_ = 0;
}

void WinZipCipher::crypt(unsigned char *data, std::size_t size)
{
    while (size > 0) {
        if (used_ == stream_.size())
            nextKeyStream();
        const std::size_t n = std::min(size, stream_.size() - used_);
        for (std::size_t i = 0; i < n; ++i)
            data[i] ^= stream_[used_ + i];
        used_ += n;
        data += n;
        size -= n;
    }
}

void WinZipCipher::authenticate(const unsigned char *data, std::size_t size)
{
    EVP_MAC_update(mac_, data, size);
}

std::array<unsigned char, 10> WinZipCipher::code()
{
    unsigned char full[EVP_MAX_MD_SIZE];
    std::size_t length = 0;
    std::array<unsigned char, 10> out{};
    if (EVP_MAC_final(mac_, full, &length, sizeof full) == 1 && length >= out.size())
        std::copy(full, full + out.size(), out.begin());
    return out;
}

AesEncryptor::AesEncryptor(const QByteArray &password, int keyBits)
{
    const auto saltBytes = static_cast<std::size_t>(keyBits / 16);
    header_.resize(saltBytes + 2);
    if (RAND_bytes(header_.data(), static_cast<int>(saltBytes)) != 1)
        throw ArchiveError(QStringLiteral("Cannot encrypt: no random numbers available"));
    if (!cipher_.start(password, keyBits, header_.data(), header_.data() + saltBytes))
        throw ArchiveError(QStringLiteral("Cannot encrypt: the cipher is not available"));
}

void AesEncryptor::encrypt(unsigned char *data, std::size_t size)
{
    cipher_.crypt(data, size);
    cipher_.authenticate(data, size);
}

} // namespace oz::archive::detail
