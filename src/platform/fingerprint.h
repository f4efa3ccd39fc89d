// A certificate's SHA-256 fingerprint: what a link may be pinned to, written
// as `openssl x509 -noout -fingerprint -sha256` prints it, so a user can
// compare it with what that command, or our console, showed.
#ifndef QV_PLATFORM_FINGERPRINT_H
#define QV_PLATFORM_FINGERPRINT_H

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// SHA-256 of a certificate's DER bytes.
using CertFingerprint = std::array<unsigned char, 32>;

// Upper-case hex pairs joined by colons: "AB:CD:...:EF".
std::string FingerprintText(const CertFingerprint& fingerprint);
// 64 lower-case hex digits: how networks show a client certificate's
// fingerprint (CertFP).
std::string CertFpText(const CertFingerprint& fingerprint);

// 64 hex digits in any case, bare or as 32 pairs joined by colons; nothing
// for any other text.
std::optional<CertFingerprint> ParseFingerprint(std::string_view text);

// Why a pinned link fails when the server showed the certificate `seen`.
std::string PinMismatch(const CertFingerprint& seen);

}  // namespace platform

#endif
