#include "WinZipAes.h"

#include "ArchiveComponent.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <nettle/pbkdf2.h>

namespace oz::archive::detail {

void deriveAesKeys(const QByteArray &password, const unsigned char *salt, std::size_t saltSize,
                   unsigned char *keys, std::size_t keysSize)
{
    pbkdf2_hmac_sha1(static_cast<std::size_t>(password.size()), reinterpret_cast<const uint8_t *>(password.constData()),
                     1000, saltSize, salt, keysSize, keys);
}

QString decryptWinZipAes(const QByteArray &password, int keyBits, unsigned char *stored, std::size_t size,
                         unsigned char *&plain, std::size_t &plainSize)
{
    const std::size_t keyBytes = static_cast<std::size_t>(keyBits / 8), saltBytes = keyBytes / 2;
    if (size < saltBytes + 2 + AesEncryptor::trailerSize)
        return QStringLiteral("Damaged encryption header");
    std::vector<unsigned char> keys(2 * keyBytes + 2);
    deriveAesKeys(password, stored, saltBytes, keys.data(), keys.size());
    const unsigned char *verifier = stored + saltBytes;
    if (keys[2 * keyBytes] != verifier[0] || keys[2 * keyBytes + 1] != verifier[1]) {
        OPENSSL_cleanse(keys.data(), keys.size());
        return QStringLiteral("Wrong password provided");
    }
    plain = stored + saltBytes + 2;
    plainSize = size - saltBytes - 2 - AesEncryptor::trailerSize;
    unsigned char code[EVP_MAX_MD_SIZE];
    std::size_t codeLength = 0;
    const bool macked = EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA1", nullptr, keys.data() + keyBytes, keyBytes, plain,
                                  plainSize, code, sizeof code, &codeLength) != nullptr;
    if (!macked || codeLength < AesEncryptor::trailerSize
        || CRYPTO_memcmp(code, plain + plainSize, AesEncryptor::trailerSize) != 0) {
        OPENSSL_cleanse(keys.data(), keys.size());
        return QStringLiteral("Authentication failed: the entry is damaged or the password is wrong");
    }
    const EVP_CIPHER *cipher = keyBytes == 16 ? EVP_aes_128_ecb() : keyBytes == 24 ? EVP_aes_192_ecb() : EVP_aes_256_ecb();
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    const bool ready = ctx && EVP_EncryptInit_ex(ctx, cipher, nullptr, keys.data(), nullptr) == 1
                       && EVP_CIPHER_CTX_set_padding(ctx, 0) == 1;
    OPENSSL_cleanse(keys.data(), keys.size());
    if (!ready) {
        EVP_CIPHER_CTX_free(ctx);
        return QStringLiteral("The cipher is not available");
    }
    std::array<unsigned char, 16> counter{};
    std::array<unsigned char, 4096> stream{};
    for (std::size_t at = 0; at < plainSize; at += stream.size()) {
        winZipKeyStream(ctx, counter, stream.data(), stream.size());
        const std::size_t n = std::min(stream.size(), plainSize - at);
        for (std::size_t i = 0; i < n; ++i)
            plain[at + i] ^= stream[i];
    }
    OPENSSL_cleanse(stream.data(), stream.size());
    EVP_CIPHER_CTX_free(ctx);
    return {};
}

AesEncryptor::AesEncryptor(const QByteArray &password, int keyBits)
{
    const int keyBytes = keyBits / 8;
    const int saltBytes = keyBytes / 2;
    header_.resize(static_cast<std::size_t>(saltBytes + 2));
    if (RAND_bytes(header_.data(), saltBytes) != 1)
        throw ArchiveError(QStringLiteral("Cannot encrypt: no random numbers available"));
    std::vector<unsigned char> keys(static_cast<std::size_t>(2 * keyBytes + 2));
    deriveAesKeys(password, header_.data(), static_cast<std::size_t>(saltBytes), keys.data(), keys.size());
    header_[static_cast<std::size_t>(saltBytes)] = keys[static_cast<std::size_t>(2 * keyBytes)];
    header_[static_cast<std::size_t>(saltBytes + 1)] = keys[static_cast<std::size_t>(2 * keyBytes + 1)];

    const EVP_CIPHER *cipher = keyBytes == 16 ? EVP_aes_128_ecb() : keyBytes == 24 ? EVP_aes_192_ecb() : EVP_aes_256_ecb();
    cipher_ = EVP_CIPHER_CTX_new();
    EVP_MAC *hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    mac_ = hmac ? EVP_MAC_CTX_new(hmac) : nullptr;
    EVP_MAC_free(hmac);
    char digest[] = "SHA1";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_construct_end()};
    const bool ready = cipher_ && mac_ && EVP_EncryptInit_ex(cipher_, cipher, nullptr, keys.data(), nullptr) == 1
                       && EVP_CIPHER_CTX_set_padding(cipher_, 0) == 1
                       && EVP_MAC_init(mac_, keys.data() + keyBytes, static_cast<std::size_t>(keyBytes), params) == 1;
    OPENSSL_cleanse(keys.data(), keys.size());
    if (!ready) {
        EVP_CIPHER_CTX_free(cipher_);
        EVP_MAC_CTX_free(mac_);
        throw ArchiveError(QStringLiteral("Cannot encrypt: the cipher is not available"));
    }
}

AesEncryptor::~AesEncryptor()
{
    EVP_CIPHER_CTX_free(cipher_);
    EVP_MAC_CTX_free(mac_);
    OPENSSL_cleanse(stream_.data(), stream_.size());
}

void winZipKeyStream(EVP_CIPHER_CTX *cipher, std::array<unsigned char, 16> &counter, unsigned char *out,
                     std::size_t size)
{
    for (std::size_t block = 0; block < size; block += 16) {
        for (auto &byte : counter) {
            if (++byte != 0)
                break;
        }
        std::copy(counter.begin(), counter.end(), out + block);
    }
    int length = 0;
    EVP_EncryptUpdate(cipher, out, &length, out, static_cast<int>(size));
}

void AesEncryptor::nextKeyStream()
{
    winZipKeyStream(cipher_, counter_, stream_.data(), stream_.size());
    used_ = 0;
}

void AesEncryptor::encrypt(unsigned char *data, std::size_t size)
{
    unsigned char *const begin = data;
    const std::size_t total = size;
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
    EVP_MAC_update(mac_, begin, total);
}

std::array<unsigned char, 10> AesEncryptor::finish()
{
    unsigned char code[EVP_MAX_MD_SIZE];
    std::size_t length = 0;
    EVP_MAC_final(mac_, code, &length, sizeof code);
    std::array<unsigned char, 10> out{};
    std::copy(code, code + 10, out.begin());
    return out;
}

} // namespace oz::archive::detail
