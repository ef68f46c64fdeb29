// The encryption of zip entries: WinZip AES (AES in WinZip's counter mode, keys from PBKDF2 with
// HMAC-SHA1, ten bytes of HMAC-SHA1 after the data) and the traditional PKWARE cipher, which is
// only ever read. The primitives come from nettle on Linux and from CNG on Windows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace oz::core {

// PBKDF2 with HMAC-SHA1 (RFC 8018).
void pbkdf2HmacSha1(std::string_view password, const unsigned char *salt, std::size_t saltSize, unsigned iterations,
                    unsigned char *out, std::size_t outSize);

// Fills out with random bytes from the kernel; false when none can be had.
bool randomBytes(unsigned char *out, std::size_t size);

// Constant-time comparison, for authentication codes.
bool sameSecret(const unsigned char *a, const unsigned char *b, std::size_t size);

// Erases a secret where the compiler may not skip it.
void wipe(void *data, std::size_t size);

// Counts the 16-byte counter on by one per block and writes each value into stream (size a
// multiple of 16): the input of the key stream.
void fillCounterBlocks(std::array<unsigned char, 16> &counter, unsigned char *stream, std::size_t size);

// One entry's WinZip AES keys at work, for writing and reading alike.
class WinZipCipher {
public:
    static constexpr std::size_t codeSize = 10;
    static std::size_t saltSize(int keyBits) { return static_cast<std::size_t>(keyBits / 16); }
    // Salt, the two verifier bytes and the code: what an AES entry stores beyond its data.
    static std::size_t overhead(int keyBits) { return saltSize(keyBits) + 2 + codeSize; }
    // The strength byte of the AES extra field.
    static int strength(int keyBits) { return keyBits == 128 ? 1 : keyBits == 192 ? 2 : 3; }

    WinZipCipher();
    ~WinZipCipher();
    WinZipCipher(const WinZipCipher &) = delete;
    WinZipCipher &operator=(const WinZipCipher &) = delete;

    // Derives the keys from the password and salt (keyBits 128, 192 or 256) and sets up both
    // halves; verifier receives the two check bytes derived with them.
    void start(std::string_view password, int keyBits, const unsigned char *salt, unsigned char verifier[2]);
    // XORs with the next bytes of key stream: encrypts and decrypts, in order over the data.
    void crypt(unsigned char *data, std::size_t size);
    // Adds encrypted bytes to the code, in order over the data.
    void authenticate(const unsigned char *data, std::size_t size);
    // The ten bytes of the code that follow the data.
    std::array<unsigned char, codeSize> code();

private:
    struct State; // the keys, as each system's crypto library holds them
    void nextKeyStream();
    // Sets up the AES key and the HMAC key, keyBytes each, in each system's library; false when
    // the library cannot.
    bool setKeys(const unsigned char *aesKey, const unsigned char *macKey, std::size_t keyBytes);
    // Encrypts stream_ in place with the AES key (ECB): each system's library does that part.
    void encryptStream();
    std::unique_ptr<State> state_;
    std::array<unsigned char, 16> counter_{};
    // Key stream made many blocks at a time: one cipher call per 4 KiB.
    std::array<unsigned char, 4096> stream_{};
    std::size_t used_ = sizeof stream_;
};

// Encrypting one entry: a random salt, then the data, then the code.
class AesEncryptor {
public:
    // Throws Error when no random numbers can be had.
    AesEncryptor(std::string_view password, int keyBits);
    // Salt followed by the two verifier bytes: what precedes the data.
    const std::vector<unsigned char> &header() const { return header_; }
    // Encrypts in place; call in order over the whole stream.
    void encrypt(unsigned char *data, std::size_t size);
    std::array<unsigned char, WinZipCipher::codeSize> finish() { return cipher_.code(); }

private:
    std::vector<unsigned char> header_;
    WinZipCipher cipher_;
};

// The traditional PKWARE stream cipher, for reading archives made by tools that still use it.
class TraditionalCipher {
public:
    static constexpr std::size_t headerSize = 12;
    explicit TraditionalCipher(std::string_view password);
    // Decrypts the twelve header bytes; true when the last one matches check (the high byte of
    // the CRC, or of the DOS time for entries with a data descriptor).
    bool start(unsigned char header[headerSize], unsigned char check);
    void decrypt(unsigned char *data, std::size_t size);

private:
    void update(unsigned char plain);
    std::uint32_t keys_[3];
};

} // namespace oz::core
