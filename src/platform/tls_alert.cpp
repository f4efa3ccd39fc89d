#include "platform/tls_alert.h"

#include <algorithm>

namespace platform {
namespace {

// TLS record and handshake message types (RFC 5246, 6.2.1 and 7.4).
constexpr unsigned char kChangeCipherSpec = 20;
constexpr unsigned char kAlert = 21;
constexpr unsigned char kHandshake = 22;
constexpr unsigned char kCertificateRequest = 13;
constexpr unsigned char kFatal = 2;
// The largest record a peer may send, with what compression and the
// cipher may add (RFC 5246, 6.2.3).
constexpr std::size_t kMaxRecord = (1 << 14) + 2048;

}  // namespace

std::string AlertWords(int description, bool asked, bool presented) {
    switch (description) {
        case 116:  // certificate_required: TLS 1.3's word for it
            // With one set, none went: the server's request ruled ours out
            // (by the signatures it takes, or the issuers it names).
            return presented ? "the server did not take our client certificate (its key type or its issuer)"
                             : kCertificateWanted;
        case 40:  // handshake_failure: what TLS 1.2 servers send for a missing one too
            if (asked && !presented) return kCertificateWanted;
            return "the server refused the handshake (handshake failure)";
        case 48:  // unknown_ca
            return presented ? "the server does not trust our client certificate (unknown CA)"
                             : "the server refused the handshake (unknown CA)";
        case 42:  // bad_certificate
            return "the server refused our client certificate (bad certificate)";
        case 43: return "the server refused our client certificate (unsupported certificate)";
        case 44: return "the server refused our client certificate (revoked)";
        case 45: return "the server refused our client certificate (expired)";
        case 46: return "the server refused our client certificate (certificate unknown)";
        case 70: return "the server refused the handshake (no TLS version in common)";
        case 71: return "the server refused the handshake (insufficient security)";
        default: return {};
    }
}

void ServerFlight::Feed(std::string_view bytes) {
    if (done_) return;
    partial_.append(bytes);
    std::size_t at = 0;
    while (!done_ && partial_.size() - at >= 5) {
        const auto* p = reinterpret_cast<const unsigned char*>(partial_.data() + at);
        const std::size_t length = static_cast<std::size_t>(p[3]) << 8 | p[4];
        // Not a TLS record: nothing more can be told from here on.
        if (p[1] != 3 || length > kMaxRecord) done_ = true;
        if (done_ || partial_.size() - at < 5 + length) break;
        Record(p[0], std::string_view(partial_).substr(at + 5, length));
        at += 5 + length;
    }
    partial_.erase(0, at);
    if (done_) partial_.clear();
}

void ServerFlight::Record(unsigned char type, std::string_view payload) {
    if (type == kChangeCipherSpec) {
        done_ = true;
    } else if (type == kAlert) {
        if (payload.size() >= 2 && static_cast<unsigned char>(payload[0]) == kFatal)
            alert_ = static_cast<unsigned char>(payload[1]);
    } else if (type == kHandshake) {
        // Messages may span records and records may hold several: only
        // each message's type is read, the rest skipped by its length.
        while (!payload.empty()) {
            if (message_left_ > 0) {
                const std::size_t skip = std::min(message_left_, payload.size());
                payload.remove_prefix(skip);
                message_left_ -= skip;
                continue;
            }
            const std::size_t take = std::min<std::size_t>(4 - message_head_.size(), payload.size());
            message_head_.append(payload.substr(0, take));
            payload.remove_prefix(take);
            if (message_head_.size() < 4) break;
            const auto* h = reinterpret_cast<const unsigned char*>(message_head_.data());
            if (h[0] == kCertificateRequest) asked_ = true;
            message_left_ = static_cast<std::size_t>(h[1]) << 16 | static_cast<std::size_t>(h[2]) << 8 | h[3];
            message_head_.clear();
        }
    }
}

}  // namespace platform
