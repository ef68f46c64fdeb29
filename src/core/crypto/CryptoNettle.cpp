// The primitives of the zip encryption on nettle: the Linux programs' one crypto library.
#include "Crypto.h"

#include "core/base/Error.h"

#include <nettle/aes.h>
#include <nettle/hmac.h>
#include <nettle/memops.h>
#include <nettle/sha1.h>

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

// PBKDF2's rounds each hash one 20-byte value under a fixed key. The inner and outer key blocks
// are hashed once; each round is then two calls of the compression function on blocks whose
// padding never changes, without the buffering and copying a general HMAC does per call. It is
// the cost of every encrypted entry (1000 rounds each), so it is worth the care.
struct HmacStates {
    std::uint32_t inner[5], outer[5];
    ~HmacStates() { wipe(this, sizeof *this); }
};

void hashKeyBlocks(std::string_view password, HmacStates &states)
{
    constexpr std::uint32_t iv[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    unsigned char key[SHA1_BLOCK_SIZE] = {};
    if (password.size() > SHA1_BLOCK_SIZE) {
        sha1_ctx ctx;
        sha1_init(&ctx);
        sha1_update(&ctx, password.size(), reinterpret_cast<const uint8_t *>(password.data()));
        sha1_digest(&ctx, SHA1_DIGEST_SIZE, key);
    } else {
        std::copy(password.begin(), password.end(), key);
    }
    unsigned char pad[SHA1_BLOCK_SIZE];
    std::copy(iv, iv + 5, states.inner);
    std::copy(iv, iv + 5, states.outer);
    for (std::size_t i = 0; i < sizeof pad; ++i)
        pad[i] = key[i] ^ 0x36;
    nettle_sha1_compress(states.inner, pad);
    for (std::size_t i = 0; i < sizeof pad; ++i)
        pad[i] = key[i] ^ 0x5c;
    nettle_sha1_compress(states.outer, pad);
    wipe(pad, sizeof pad);
    wipe(key, sizeof key);
}

// The output blocks are independent chains of rounds. Up to four run in step, so that the
// processor overlaps one's hashing with another's.
constexpr std::size_t lanes = 4;

// The first round of each chain, a plain HMAC of the salt and the block's number; leaves each
// block padded for the rounds that follow and the chain's sum started.
void firstRounds(const hmac_sha1_ctx &first, const unsigned char *salt, std::size_t saltSize, std::uint32_t index,
                 std::size_t count, unsigned char (*block)[SHA1_BLOCK_SIZE], std::uint32_t (*sum)[5])
{
    // A 20-byte message after one key block: 0x80, zeros, then its length in bits.
    unsigned char padded[SHA1_BLOCK_SIZE] = {};
    padded[SHA1_DIGEST_SIZE] = 0x80;
    constexpr unsigned bits = (SHA1_BLOCK_SIZE + SHA1_DIGEST_SIZE) * 8;
    padded[62] = static_cast<unsigned char>(bits >> 8);
    padded[63] = static_cast<unsigned char>(bits & 0xff);
    for (std::size_t lane = 0; lane < count; ++lane, ++index) {
        const unsigned char number[4]
            = {static_cast<unsigned char>(index >> 24), static_cast<unsigned char>(index >> 16),
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
}

void laterRounds(const HmacStates &states, unsigned iterations, std::size_t count,
                 unsigned char (*block)[SHA1_BLOCK_SIZE], std::uint32_t (*sum)[5])
{
    for (unsigned round = 1; round < iterations; ++round) {
        std::uint32_t state[lanes][5];
        for (std::size_t lane = 0; lane < count; ++lane) {
            std::copy(states.inner, states.inner + 5, state[lane]);
            nettle_sha1_compress(state[lane], block[lane]);
        }
        for (std::size_t lane = 0; lane < count; ++lane) {
            storeBigEndian(state[lane], block[lane]);
            std::copy(states.outer, states.outer + 5, state[lane]);
            nettle_sha1_compress(state[lane], block[lane]);
        }
        for (std::size_t lane = 0; lane < count; ++lane) {
            storeBigEndian(state[lane], block[lane]);
            for (int i = 0; i < 5; ++i)
                sum[lane][i] ^= state[lane][i];
        }
    }
}

} // namespace

void pbkdf2HmacSha1(std::string_view password, const unsigned char *salt, std::size_t saltSize, unsigned iterations,
                    unsigned char *out, std::size_t outSize)
{
    HmacStates states;
    hashKeyBlocks(password, states);
    hmac_sha1_ctx first;
    hmac_sha1_set_key(&first, password.size(), reinterpret_cast<const uint8_t *>(password.data()));
    std::uint32_t index = 1;
    while (outSize > 0) {
        const std::size_t count = std::min(lanes, (outSize + SHA1_DIGEST_SIZE - 1) / SHA1_DIGEST_SIZE);
        unsigned char block[lanes][SHA1_BLOCK_SIZE];
        std::uint32_t sum[lanes][5]; // the sum of each chain's rounds, kept as the hash's words
        firstRounds(first, salt, saltSize, index, count, block, sum);
        index += static_cast<std::uint32_t>(count);
        laterRounds(states, iterations, count, block, sum);
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
}

struct WinZipCipher::State {
    union {
        aes128_ctx k128;
        aes192_ctx k192;
        aes256_ctx k256;
    } aes;
    nettle_cipher_func *encrypt = nullptr;
    hmac_sha1_ctx mac;
};

WinZipCipher::WinZipCipher() : state_(std::make_unique<State>()) {}

WinZipCipher::~WinZipCipher()
{
    if (state_)
        wipe(state_.get(), sizeof *state_);
    wipe(stream_.data(), stream_.size());
}

bool WinZipCipher::setKeys(const unsigned char *aesKey, const unsigned char *macKey, std::size_t keyBytes)
{
    State &s = *state_;
    if (keyBytes == 16) {
        aes128_set_encrypt_key(&s.aes.k128, aesKey);
        s.encrypt = reinterpret_cast<nettle_cipher_func *>(aes128_encrypt);
    } else if (keyBytes == 24) {
        aes192_set_encrypt_key(&s.aes.k192, aesKey);
        s.encrypt = reinterpret_cast<nettle_cipher_func *>(aes192_encrypt);
    } else {
        aes256_set_encrypt_key(&s.aes.k256, aesKey);
        s.encrypt = reinterpret_cast<nettle_cipher_func *>(aes256_encrypt);
    }
    hmac_sha1_set_key(&s.mac, keyBytes, macKey);
    return true;
}

void WinZipCipher::encryptStream()
{
    State &s = *state_;
    s.encrypt(&s.aes, stream_.size(), stream_.data(), stream_.data());
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

} // namespace oz::core
