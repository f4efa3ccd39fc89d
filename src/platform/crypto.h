// The few primitives a SCRAM login needs, from the system: the kernel's
// random bytes and OpenSSL's digests on POSIX, BCrypt on Windows. Each
// result is a secret or made from one, so it lives in a Digest, which
// wipes itself.
#ifndef QV_PLATFORM_CRYPTO_H
#define QV_PLATFORM_CRYPTO_H

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/secret.h"

namespace platform {

// A SHA-256 sized result, cleared when it goes.
struct Digest {
    static constexpr std::size_t kSize = 32;
    unsigned char bytes[kSize] = {};

    Digest() = default;
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;
    ~Digest() { Wipe(bytes, sizeof bytes); }

    std::string_view View() const { return {reinterpret_cast<const char*>(bytes), kSize}; }
};

// `size` bytes from the system's cryptographic generator; false when it
// gave none (the caller must not go on with what is in `out`).
bool RandomBytes(unsigned char* out, std::size_t size) noexcept;

// Each false when the system could not compute it.
bool Sha256(std::string_view data, Digest& out) noexcept;
bool HmacSha256(std::string_view key, std::string_view data, Digest& out) noexcept;
// PBKDF2 with HMAC-SHA-256, one block (RFC 8018): `iterations` HMACs, on
// the calling thread.
bool Pbkdf2Sha256(std::string_view password, std::string_view salt, std::uint32_t iterations, Digest& out) noexcept;

}  // namespace platform

#endif
