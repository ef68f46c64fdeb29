// WinZip AES encryption of one entry's stored bytes: salt and password
// verifier first, then the data in WinZip's counter mode, then ten bytes of
// HMAC-SHA1 over the encrypted data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <QByteArray>
#include <QString>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;
typedef struct evp_mac_ctx_st EVP_MAC_CTX;

namespace oz::archive::detail {

// PBKDF2 with HMAC-SHA1 (RFC 8018), on nettle's SHA-1 compression function.
void pbkdf2HmacSha1(const QByteArray &password, const unsigned char *salt, std::size_t saltSize, unsigned iterations,
                    unsigned char *out, std::size_t outSize);

// WinZip's key derivation: PBKDF2 with HMAC-SHA1, 1000 rounds. It is the
// cost of every encrypted entry, so it runs on nettle, several times faster
// here than OpenSSL 3's provider calls.
void deriveAesKeys(const QByteArray &password, const unsigned char *salt, std::size_t saltSize,
                   unsigned char *keys, std::size_t keysSize);

// Checks and decrypts, in place, one entry's stored bytes held whole: salt,
// verifier, data, code. On success plain points at the decrypted data and the
// answer is empty; otherwise it says why ("Wrong password provided", or that
// the authentication failed). The code is checked before anything is decrypted.
QString decryptWinZipAes(const QByteArray &password, int keyBits, unsigned char *stored, std::size_t size,
                         unsigned char *&plain, std::size_t &plainSize);

// One entry's keys at work, for writing and reading alike: AES in WinZip's counter mode (a
// 128-bit little-endian counter from 1) and the running HMAC-SHA1 of the encrypted bytes.
class WinZipCipher {
public:
    WinZipCipher() = default;
    ~WinZipCipher();
    WinZipCipher(const WinZipCipher &) = delete;
    WinZipCipher &operator=(const WinZipCipher &) = delete;

    // Derives the keys from the password and salt (keyBits / 16 bytes) and sets up both
    // halves; verifier receives the two check bytes derived with them. False when the cipher
    // or the code is not available.
    bool start(const QByteArray &password, int keyBits, const unsigned char *salt, unsigned char verifier[2]);
    // XORs with the next bytes of key stream: encrypts and decrypts, in order over the data.
    void crypt(unsigned char *data, std::size_t size);
    // Adds encrypted bytes to the code, in order over the data.
    void authenticate(const unsigned char *data, std::size_t size);
    // The ten bytes of the code that follow the data.
    std::array<unsigned char, 10> code();

private:
    void nextKeyStream();

    EVP_CIPHER_CTX *cipher_ = nullptr;
    EVP_MAC_CTX *mac_ = nullptr;
    std::array<unsigned char, 16> counter_{};
    // Key stream made many blocks at a time: one cipher call per 4 KiB.
    std::array<unsigned char, 4096> stream_{};
    std::size_t used_ = sizeof stream_;
};

class AesEncryptor {
public:
    // keyBits: 128, 192 or 256. Derives fresh keys from a random salt.
    AesEncryptor(const QByteArray &password, int keyBits);

    // Salt followed by the two verifier bytes: what precedes the data.
    const std::vector<unsigned char> &header() const { return header_; }
    // Encrypts in place; call in order over the whole stream.
    void encrypt(unsigned char *data, std::size_t size);
    // The ten authentication bytes that follow the data.
    std::array<unsigned char, 10> finish() { return cipher_.code(); }

    static constexpr int trailerSize = 10;
    static int overhead(int keyBits) { return keyBits / 16 + 2 + trailerSize; }
    // The strength byte of the AES extra field.
    static int strength(int keyBits) { return keyBits == 128 ? 1 : keyBits == 192 ? 2 : 3; }

private:
    std::vector<unsigned char> header_;
    WinZipCipher cipher_;
};

} // namespace oz::archive::detail
