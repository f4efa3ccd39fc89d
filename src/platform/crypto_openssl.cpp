// The SCRAM primitives on POSIX: random bytes from the kernel, the digests
// from OpenSSL (libcrypto, which the module links for TLS anyway).
#include "platform/crypto.h"

#include <sys/random.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cerrno>
#include <climits>

namespace platform {
namespace {

// OpenSSL takes lengths as int; a longer text is no password or salt.
bool Fits(std::string_view text) { return text.size() <= INT_MAX; }

// OpenSSL reads a null key as "the key set before"; an empty one is a key.
const unsigned char* Bytes(std::string_view text) {
    static const unsigned char kNone = 0;
    return text.empty() ? &kNone : reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

bool RandomBytes(unsigned char* out, std::size_t size) noexcept {
    // The kernel's generator, as for every key the system makes; it blocks
    // only until it was first seeded, early at boot.
    while (size > 0) {
        const ssize_t n = getrandom(out, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool Sha256(std::string_view data, Digest& out) noexcept {
    unsigned int size = 0;
    return EVP_Digest(Bytes(data), data.size(), out.bytes, &size, EVP_sha256(), nullptr) == 1 && size == Digest::kSize;
}

bool HmacSha256(std::string_view key, std::string_view data, Digest& out) noexcept {
    if (!Fits(key)) return false;
    unsigned int size = 0;
    return HMAC(EVP_sha256(), Bytes(key), static_cast<int>(key.size()), Bytes(data), data.size(), out.bytes, &size) !=
               nullptr &&
           size == Digest::kSize;
}

bool Pbkdf2Sha256(std::string_view password, std::string_view salt, std::uint32_t iterations, Digest& out) noexcept {
    if (!Fits(password) || !Fits(salt) || iterations == 0 || iterations > INT_MAX) return false;
    return PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(Bytes(password)), static_cast<int>(password.size()),
                             Bytes(salt), static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                             static_cast<int>(Digest::kSize), out.bytes) == 1;
}

}  // namespace platform
