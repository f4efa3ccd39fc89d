// Why a server ended a TLS handshake, in words a user can act on; the same
// on every platform. Both TLS layers learn the server's fatal alert (OpenSSL
// says it; for Schannel, which does not, ServerFlight reads it off the wire)
// and whether the server asked for a client certificate.
#ifndef QV_PLATFORM_TLS_ALERT_H
#define QV_PLATFORM_TLS_ALERT_H

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// The fatal alert `description` (RFC 8446, 6) the server ended the
// handshake with, in words; empty for one these words do not cover.
// `asked`: the server asked for a client certificate; `presented`: we had
// one to give.
std::string AlertWords(int description, bool asked, bool presented);

// The words for a server that asked for a certificate we do not have.
inline constexpr const char* kCertificateWanted = "the server wants a client certificate (irc.SetClientCert)";

// Reads the server's side of a TLS 1.2 handshake as it arrives, for what
// Schannel keeps to itself. Only records in the clear are read: everything
// up to the server's ChangeCipherSpec, which is where a server asks for a
// certificate and where it refuses ours.
class ServerFlight {
public:
    void Feed(std::string_view bytes);
    bool AskedForCertificate() const { return asked_; }
    // The description of the fatal alert the server sent; -1 for none.
    int Alert() const { return alert_; }

private:
    void Record(unsigned char type, std::string_view payload);

    std::string partial_;            // a record not yet whole
    bool done_ = false;              // encrypted from here on, or not TLS at all
    std::size_t message_left_ = 0;   // of the handshake message being skipped
    std::string message_head_;       // the first bytes of the next message's header
    bool asked_ = false;
    int alert_ = -1;
};

}  // namespace platform

#endif
