// What the zip encryption does with its primitives, the same on every system: WinZip's counter
// mode and code, the encryptor of one entry, the check of an entry held whole, and the
// traditional cipher.
#include "Crypto.h"

#include "core/base/Error.h"

#include <algorithm>
#include <zlib.h>

namespace oz::core {

void fillCounterBlocks(std::array<unsigned char, 16> &counter, unsigned char *stream, std::size_t size)
{
    // WinZip's counter: 128 bits, little-endian, from 1.
    for (std::size_t block = 0; block < size; block += 16) {
        for (auto &byte : counter) {
            if (++byte != 0)
                break;
        }
        std::copy(counter.begin(), counter.end(), stream + block);
    }
}

// The keys of an entry: PBKDF2 gives the AES key, then the HMAC key, then the two verifier bytes.
void WinZipCipher::start(std::string_view password, int keyBits, const unsigned char *salt, unsigned char verifier[2])
{
    const auto keyBytes = static_cast<std::size_t>(keyBits / 8);
    unsigned char keys[2 * 32 + 2];
    pbkdf2HmacSha1(password, salt, saltSize(keyBits), 1000, keys, 2 * keyBytes + 2);
    verifier[0] = keys[2 * keyBytes];
    verifier[1] = keys[2 * keyBytes + 1];
    const bool made = setKeys(keys, keys + keyBytes, keyBytes);
    wipe(keys, sizeof keys);
    if (!made)
        throw Error("Cannot set up the encryption keys", Error::Kind::System);
    counter_.fill(0);
    used_ = stream_.size();
}

void WinZipCipher::nextKeyStream()
{
    fillCounterBlocks(counter_, stream_.data(), stream_.size());
    encryptStream();
    used_ = 0;
}

void WinZipCipher::crypt(unsigned char *data, std::size_t size)
{
    while (size > 0) {
        if (used_ == stream_.size())
            nextKeyStream();
        const std::size_t n = std::min(size, stream_.size() - used_);
        const unsigned char *k = stream_.data() + used_;
        for (std::size_t i = 0; i < n; ++i)
            data[i] ^= k[i];
        used_ += n;
        data += n;
        size -= n;
    }
}

AesEncryptor::AesEncryptor(std::string_view password, int keyBits)
{
    const std::size_t salt = WinZipCipher::saltSize(keyBits);
    header_.resize(salt + 2);
    if (!randomBytes(header_.data(), salt))
        throw Error("Cannot encrypt: no random numbers available", Error::Kind::System);
    cipher_.start(password, keyBits, header_.data(), header_.data() + salt);
}

void AesEncryptor::encrypt(unsigned char *data, std::size_t size)
{
    cipher_.crypt(data, size);
    cipher_.authenticate(data, size);
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
        // Unsigned: two 16-bit values promoted to int would overflow when multiplied.
        const std::uint32_t t = (keys_[2] | 2) & 0xffff;
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
