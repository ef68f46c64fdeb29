// The primitives of the zip encryption on Windows' own cryptography (CNG, bcrypt.dll), so that
// the Windows extractor needs nothing but Windows.
#include "Crypto.h"

#include "core/base/Error.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>

namespace oz::core {

namespace {

bool ok(NTSTATUS status)
{
    return status >= 0;
}

[[noreturn]] void cngFailure(const char *what)
{
    throw Error(std::string("Windows cryptography failed: ") + what, Error::Kind::System);
}

// Providers are opened once: opening one costs more than a whole small entry.
BCRYPT_ALG_HANDLE provider(LPCWSTR algorithm, ULONG flags)
{
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!ok(::BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, flags)))
        cngFailure("no provider");
    return handle;
}

BCRYPT_ALG_HANDLE hmacSha1()
{
    static const BCRYPT_ALG_HANDLE handle = provider(BCRYPT_SHA1_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    return handle;
}

BCRYPT_ALG_HANDLE aesEcb()
{
    static const BCRYPT_ALG_HANDLE handle = [] {
        BCRYPT_ALG_HANDLE h = provider(BCRYPT_AES_ALGORITHM, 0);
        if (!ok(::BCryptSetProperty(h, BCRYPT_CHAINING_MODE,
                                    reinterpret_cast<PUCHAR>(const_cast<wchar_t *>(BCRYPT_CHAIN_MODE_ECB)),
                                    sizeof(BCRYPT_CHAIN_MODE_ECB), 0)))
            cngFailure("no AES-ECB");
        return h;
    }();
    return handle;
}

} // namespace

void wipe(void *data, std::size_t size)
{
    ::SecureZeroMemory(data, size);
}

bool sameSecret(const unsigned char *a, const unsigned char *b, std::size_t size)
{
    unsigned char diff = 0;
    for (std::size_t i = 0; i < size; ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool randomBytes(unsigned char *out, std::size_t size)
{
    return ok(::BCryptGenRandom(nullptr, out, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

void pbkdf2HmacSha1(std::string_view password, const unsigned char *salt, std::size_t saltSize, unsigned iterations,
                    unsigned char *out, std::size_t outSize)
{
    auto *pw = reinterpret_cast<PUCHAR>(const_cast<char *>(password.data()));
    if (!ok(::BCryptDeriveKeyPBKDF2(hmacSha1(), pw, static_cast<ULONG>(password.size()), const_cast<PUCHAR>(salt),
                                    static_cast<ULONG>(saltSize), iterations, out, static_cast<ULONG>(outSize), 0)))
        cngFailure("PBKDF2");
}

struct WinZipCipher::State {
    BCRYPT_KEY_HANDLE key = nullptr;
    BCRYPT_HASH_HANDLE mac = nullptr;

    void close()
    {
        if (key)
            ::BCryptDestroyKey(key);
        if (mac)
            ::BCryptDestroyHash(mac);
        key = nullptr;
        mac = nullptr;
    }
};

WinZipCipher::WinZipCipher() : state_(std::make_unique<State>()) {}

WinZipCipher::~WinZipCipher()
{
    if (!state_)
        return;
    state_->close();
    wipe(state_.get(), sizeof *state_);
    wipe(stream_.data(), stream_.size());
}

bool WinZipCipher::setKeys(const unsigned char *aesKey, const unsigned char *macKey, std::size_t keyBytes)
{
    State &s = *state_;
    s.close();
    return ok(::BCryptGenerateSymmetricKey(aesEcb(), &s.key, nullptr, 0, const_cast<PUCHAR>(aesKey),
                                           static_cast<ULONG>(keyBytes), 0))
        && ok(::BCryptCreateHash(hmacSha1(), &s.mac, nullptr, 0, const_cast<PUCHAR>(macKey),
                                 static_cast<ULONG>(keyBytes), 0));
}

void WinZipCipher::encryptStream()
{
    State &s = *state_;
    ULONG done = 0;
    if (!ok(::BCryptEncrypt(s.key, stream_.data(), static_cast<ULONG>(stream_.size()), nullptr, nullptr, 0,
                            stream_.data(), static_cast<ULONG>(stream_.size()), &done, 0)))
        cngFailure("AES");
}

void WinZipCipher::authenticate(const unsigned char *data, std::size_t size)
{
    while (size > 0) {
        const auto n = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
        if (!ok(::BCryptHashData(state_->mac, const_cast<PUCHAR>(data), n, 0)))
            cngFailure("HMAC");
        data += n;
        size -= n;
    }
}

std::array<unsigned char, WinZipCipher::codeSize> WinZipCipher::code()
{
    unsigned char full[20];
    if (!ok(::BCryptFinishHash(state_->mac, full, sizeof full, 0)))
        cngFailure("HMAC");
    std::array<unsigned char, codeSize> out{};
    std::copy(full, full + codeSize, out.begin());
    return out;
}

} // namespace oz::core
