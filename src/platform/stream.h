// A connected byte stream to a server: plain TCP, or TLS over TCP. What a
// link reads and writes through; it never blocks once open.
#ifndef QV_PLATFORM_STREAM_H
#define QV_PLATFORM_STREAM_H

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/client_cert.h"
#include "platform/fingerprint.h"
#include "platform/socket.h"
#include "platform/socket_watch.h"

namespace platform {

// What a link is made of, and which server certificate it takes.
struct Security {
    enum Kind {
        Plain,          // TCP as it is
        Tls,            // TLS; the certificate checked against the system's roots and the name
        TlsUnverified,  // TLS; any certificate taken (private servers, self-signed)
        TlsPinned,      // TLS; only the certificate whose fingerprint is `pin`, whoever signed it
    };

    Security(Kind k) : kind(k) {}  // so `Security::Tls` stands for a link's whole security
    static Security Pinned(const CertFingerprint& fingerprint) {
        Security s(TlsPinned);
        s.pin = fingerprint;
        return s;
    }
    bool operator==(const Security&) const = default;

    Kind kind;
    CertFingerprint pin{};  // TlsPinned only
};

class Stream {
public:
    virtual ~Stream() = default;
    // At most `buffer.size()` bytes, as far as they have arrived.
    virtual IoResult Read(std::span<char> buffer) = 0;
    // As much of `bytes` as can go now; after WouldBlock, the same bytes
    // (or more after them) must be offered again.
    virtual IoResult Write(std::string_view bytes) = 0;
    // Waits until Write may take more, at most `timeout_ms`.
    virtual bool WaitWritable(int timeout_ms) = 0;
    // Ends the stream politely where the protocol has a way to; never waits.
    virtual void Shutdown() {}
    // The socket it reads and writes, for a watch on it.
    virtual SocketHandle Socket() const = 0;
    // A Failed result of this stream in plain words.
    virtual std::string ErrorText(const IoResult& failed) const = 0;
};

class Resolution;
class StaggeredConnect;
class TlsHandshake;

// Opening a stream without ever waiting: resolving the name, connecting to
// its addresses (StaggeredConnect), then the TLS handshake. Each Step does
// what can be done now and returns; the whole attempt is bounded in time.
class Opening {
public:
    enum class Status { Pending, Open, Failed };
    using Clock = std::chrono::steady_clock;

    // The clock the bound and the stagger are measured on; tests step it
    // by hand.
    static Clock::time_point (*clock)();

    // Fails at once (Error() says why) for what needs no waiting to know:
    // a port out of range (0 among them), no socket layer. `cert`, if any, is
    // presented to a TLS server that asks for a client certificate.
    Opening(const std::string& host, int port, Security security, int timeout_ms,
            std::shared_ptr<const ClientCert> cert = nullptr);
    // The same with the resolver's answer for `host` given: a list of
    // addresses, or a lookup that never ends. How tests stand in for the
    // system's resolver.
    Opening(const std::string& host, std::unique_ptr<Resolution> resolution, Security security, int timeout_ms,
            std::shared_ptr<const ClientCert> cert = nullptr);
    ~Opening();
    Opening(const Opening&) = delete;
    Opening& operator=(const Opening&) = delete;

    Status Step();
    // The socket the next Step waits on, if any: the latest connect's (for
    // room to write, which says it is done), or the handshake's.
    SocketInterest Interest() const;
    // Once Open: the stream, handed over once.
    std::unique_ptr<Stream> TakeStream() { return std::move(stream_); }
    // Once Failed: why, in plain words.
    const std::string& Error() const { return error_; }
    // Once Open over TLS: the fingerprint of the certificate the server
    // showed, whatever the link made of it.
    const std::optional<CertFingerprint>& ServerCertificate() const { return server_cert_; }

private:
    Status Fail(std::string why);

    std::string host_;
    Security security_;
    std::shared_ptr<const ClientCert> cert_;
    Clock::time_point deadline_;
    int timeout_ms_;
    std::unique_ptr<Resolution> resolution_;
    std::unique_ptr<StaggeredConnect> connect_;
    SocketHandle sock_ = kNoSocket;  // the winner, until TLS takes it
    std::unique_ptr<TlsHandshake> handshake_;
    std::unique_ptr<Stream> stream_;
    std::optional<CertFingerprint> server_cert_;
    std::string error_;
    Status status_ = Status::Pending;
};

}  // namespace platform

#endif
