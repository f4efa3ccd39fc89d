// The SCRAM primitives on Windows, from BCrypt (CNG), part of the system
// since Windows 7: its preferred generator, SHA-256, HMAC and PBKDF2.
#include "platform/crypto.h"

#include <windows.h>

#include <bcrypt.h>

#include <memory>
#include <new>

namespace platform {
namespace {

// HMAC pads its key with zeros to a block, so an empty key and one zero
// byte are the same key; BCrypt refuses the empty one.
constexpr unsigned char kZero = 0;

PUCHAR KeyBytes(std::string_view key) {
    return const_cast<PUCHAR>(key.empty() ? &kZero : reinterpret_cast<const unsigned char*>(key.data()));
}
ULONG KeySize(std::string_view key) { return key.empty() ? 1 : static_cast<ULONG>(key.size()); }
// BCrypt's lengths are 32-bit. (Two shifts: one of 32 would be undefined
// where size_t has 32 bits, and every size fits there.)
bool Fits(std::size_t size) { return (size >> 16 >> 16) == 0; }
bool Fits(std::string_view text) { return Fits(text.size()); }

// An algorithm provider for SHA-256, plain or keyed, closed when it goes.
class Provider {
public:
    explicit Provider(bool hmac) {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&alg_, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                        hmac ? BCRYPT_ALG_HANDLE_HMAC_FLAG : 0)))
            alg_ = nullptr;
    }
    ~Provider() {
        if (alg_ != nullptr) BCryptCloseAlgorithmProvider(alg_, 0);
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;

    BCRYPT_ALG_HANDLE get() const { return alg_; }

private:
    BCRYPT_ALG_HANDLE alg_ = nullptr;
};

// One digest of `data`, keyed by `key` when the provider is HMAC's. The
// hash object is ours (Windows 7 cannot allocate it), and holds the key:
// wiped before it is freed.
bool Digest256(const Provider& provider, PUCHAR key, ULONG key_size, std::string_view data, Digest& out) {
    if (provider.get() == nullptr || !Fits(data)) return false;
    DWORD object_size = 0, got = 0;
    if (!BCRYPT_SUCCESS(BCryptGetProperty(provider.get(), BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&object_size),
                                          sizeof object_size, &got, 0)))
        return false;
    std::unique_ptr<unsigned char[]> object(new (std::nothrow) unsigned char[object_size]);
    if (!object) return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCRYPT_SUCCESS(BCryptCreateHash(provider.get(), &hash, object.get(), object_size, key, key_size, 0));
    if (ok) {
        ok = BCRYPT_SUCCESS(BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                                           static_cast<ULONG>(data.size()), 0)) &&
             BCRYPT_SUCCESS(BCryptFinishHash(hash, out.bytes, Digest::kSize, 0));
        BCryptDestroyHash(hash);
    }
    Wipe(object.get(), object_size);
    return ok;
}

}  // namespace

bool RandomBytes(unsigned char* out, std::size_t size) noexcept {
    if (!Fits(size)) return false;
    return BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out, static_cast<ULONG>(size), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

bool Sha256(std::string_view data, Digest& out) noexcept {
    const Provider plain(false);
    return Digest256(plain, nullptr, 0, data, out);
}

bool HmacSha256(std::string_view key, std::string_view data, Digest& out) noexcept {
    const Provider hmac(true);
    return Fits(key) && Digest256(hmac, KeyBytes(key), KeySize(key), data, out);
}

bool Pbkdf2Sha256(std::string_view password, std::string_view salt, std::uint32_t iterations, Digest& out) noexcept {
    const Provider hmac(true);
    if (hmac.get() == nullptr || !Fits(password) || !Fits(salt) || iterations == 0) return false;
    return BCRYPT_SUCCESS(BCryptDeriveKeyPBKDF2(hmac.get(), KeyBytes(password), KeySize(password),
                                                reinterpret_cast<PUCHAR>(const_cast<char*>(salt.data())),
                                                static_cast<ULONG>(salt.size()), iterations, out.bytes,
                                                Digest::kSize, 0));
}

}  // namespace platform
