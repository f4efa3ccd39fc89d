#include "platform/fingerprint.h"

namespace platform {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Each byte as two of `digits`, `separator` (if any) between bytes.
std::string Hex(const CertFingerprint& fingerprint, const char* digits, std::string_view separator) {
    std::string text;
    text.reserve(fingerprint.size() * (2 + separator.size()));
    for (const unsigned char byte : fingerprint) {
        if (!text.empty()) text += separator;
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

}  // namespace

std::string FingerprintText(const CertFingerprint& fingerprint) { return Hex(fingerprint, "0123456789ABCDEF", ":"); }

std::string CertFpText(const CertFingerprint& fingerprint) { return Hex(fingerprint, "0123456789abcdef", {}); }

std::optional<CertFingerprint> ParseFingerprint(std::string_view text) {
    constexpr std::size_t kBare = 2 * sizeof(CertFingerprint), kJoined = 3 * sizeof(CertFingerprint) - 1;
    // Colons between every pair or nowhere: one in another place is a
    // damaged paste, not a way of writing it.
    const bool joined = text.size() == kJoined;
    if (!joined && text.size() != kBare) return std::nullopt;
    CertFingerprint fingerprint;
    const std::size_t step = joined ? 3 : 2;
    for (std::size_t i = 0; i < fingerprint.size(); ++i) {
        const std::size_t at = i * step;
        const int high = HexValue(text[at]), low = HexValue(text[at + 1]);
        if (high < 0 || low < 0 || (joined && at + 2 < text.size() && text[at + 2] != ':')) return std::nullopt;
        fingerprint[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return fingerprint;
}

std::string PinMismatch(const CertFingerprint& seen) {
    return "certificate fingerprint mismatch (the server's: " + FingerprintText(seen) + ")";
}

}  // namespace platform
