// The TLS half of an Opening, one file per platform: OpenSSL on POSIX,
// Schannel on Windows. Nothing outside src/platform sees either.
#ifndef QV_PLATFORM_TLS_H
#define QV_PLATFORM_TLS_H

#include <memory>
#include <optional>
#include <string>

#include "platform/client_cert.h"
#include "platform/fingerprint.h"
#include "platform/stream.h"

namespace platform {

// A client handshake over a connected, non-blocking socket, moved on by
// Step as far as the bytes that have come allow; it never waits.
class TlsHandshake {
public:
    enum class Status { Pending, Done, Failed };
    virtual ~TlsHandshake() = default;
    // Failed: `error` says why, as the user can act on it.
    virtual Status Step(std::string& error) = 0;
    // Once Done: the stream, which owns the socket from then on.
    virtual std::unique_ptr<Stream> TakeStream() = 0;
    // Once Done: the fingerprint of the certificate the server showed.
    virtual std::optional<CertFingerprint> ServerCertificate() const = 0;
    // Pending only for the server's verdict on our side, which is done (TLS
    // 1.3, when the server asked for a client certificate): when the
    // attempt's time runs out the stream may be taken as it is.
    virtual bool OnlyVerdictAwaited() const { return false; }
    // The socket it reads the server's bytes from.
    virtual SocketHandle Socket() const = 0;
};

// Readies what every handshake needs; called when the module opens.
void PrepareTls();

// The system's trusted roots, which verified links check servers against.
// Reading them takes tens of milliseconds and a few MB, once, so it is done
// off the host's thread: started by the first verified link's Opening
// (within irc.Connect, or the tick that moves a link to TLS for STS), and
// each verified Opening waits for it before its handshake.
void StartReadingTrustedRoots();

enum class TrustedRootsStatus { Pending, Ready, Failed };
// Where the read stands; Failed with why, in words.
TrustedRootsStatus TrustedRoots(std::string& error);

// Takes over `sock` (closed with the handshake unless a stream takes it).
// `security` says which server certificate the link takes: one the
// system's roots vouch for, for `host` (Tls: only once they are read); any (TlsUnverified); or only
// the pinned one. A name is sent (SNI) whatever it says, an address literal
// never. `cert`, when set, is presented to a server that asks for a client
// certificate. Null with `error` when TLS cannot even start.
std::unique_ptr<TlsHandshake> StartTls(SocketHandle& sock, const std::string& host, const Security& security,
                                       std::shared_ptr<const ClientCert> cert, std::string& error);

}  // namespace platform

#endif
