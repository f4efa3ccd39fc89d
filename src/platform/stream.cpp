// Opening a stream, and the plain TCP one: alike on every platform, over
// the socket calls of socket_*.cpp.
#include "platform/stream.h"

#include <cstdio>
#include <utility>

#include "platform/resolve.h"
#include "platform/socket_connect.h"
#include "platform/staggered_connect.h"
#include "platform/tls.h"

namespace platform {
namespace {

class TcpStream final : public Stream {
public:
    explicit TcpStream(SocketHandle sock) : sock_(sock) {}
    ~TcpStream() override { TcpClose(sock_); }
    TcpStream(const TcpStream&) = delete;
    TcpStream& operator=(const TcpStream&) = delete;

    IoResult Read(std::span<char> buffer) override { return TcpRead(sock_, buffer); }
    IoResult Write(std::string_view bytes) override { return TcpWrite(sock_, bytes); }
    bool WaitWritable(int timeout_ms) override { return TcpWaitWritable(sock_, timeout_ms); }
    SocketHandle Socket() const override { return sock_; }
    std::string ErrorText(const IoResult& failed) const override { return platform::ErrorText(failed.error); }

private:
    SocketHandle sock_;
};

std::string TimedOutText(int timeout_ms) {
    char text[48];
    std::snprintf(text, sizeof text, "Timed out after %d s", (timeout_ms + 999) / 1000);
    return text;
}

}  // namespace

Opening::Clock::time_point (*Opening::clock)() = &Opening::Clock::now;

Opening::Opening(const std::string& host, int port, Security security, int timeout_ms,
                 std::shared_ptr<const ClientCert> cert)
    : Opening(host, nullptr, security, timeout_ms, std::move(cert)) {
    if (status_ != Status::Pending) return;
    // 0 is what a port that is no number reads as; nothing listens there.
    if (port < 1 || port > 65535)
        Fail("Port out of range");
    else
        resolution_ = Resolve(host, port);
}

Opening::Opening(const std::string& host, std::unique_ptr<Resolution> resolution, Security security, int timeout_ms,
                 std::shared_ptr<const ClientCert> cert)
    : host_(WithoutBrackets(host)),
      security_(security),
      cert_(std::move(cert)),
      deadline_(clock() + std::chrono::milliseconds(timeout_ms)),
      timeout_ms_(timeout_ms),
      resolution_(std::move(resolution)) {
    if (!SocketLayerReady()) Fail("Sockets unavailable");
    if (security_.kind == Security::Tls) StartReadingTrustedRoots();
}

Opening::~Opening() { TcpClose(sock_); }

Opening::Status Opening::Fail(std::string why) {
    connect_.reset();
    TcpClose(sock_);
    handshake_.reset();
    error_ = std::move(why);
    return status_ = Status::Failed;
}

SocketInterest Opening::Interest() const {
    if (status_ != Status::Pending) return {};
    if (connect_) return {connect_->Latest(), true};
    // Without a handshake the winner waits for the trusted roots, not for
    // its socket.
    if (handshake_) return {handshake_->Socket(), false};
    return {};
}

Opening::Status Opening::Step() {
    if (status_ != Status::Pending) return status_;
    const Clock::time_point now = clock();
    const bool late = now >= deadline_;

    if (resolution_) {
        switch (resolution_->Check()) {
            case Resolution::Status::Pending: return late ? Fail(TimedOutText(timeout_ms_)) : status_;
            case Resolution::Status::Failed:
                return Fail(resolution_->Error().empty() ? "Name not resolved" : resolution_->Error());
            case Resolution::Status::Done: break;
        }
        connect_ = std::make_unique<StaggeredConnect>(resolution_->Addresses());
        resolution_.reset();
    }

    if (connect_) {
        // When every address fails, the last failure tells the story, as
        // that is what the user can act on.
        switch (connect_->Step(now)) {
            case StaggeredConnect::Status::Pending: return late ? Fail(TimedOutText(timeout_ms_)) : status_;
            case StaggeredConnect::Status::Failed:
                return Fail(connect_->LastError().empty() ? "Name not resolved" : connect_->LastError());
            case StaggeredConnect::Status::Connected: break;
        }
        sock_ = connect_->TakeWinner();
        connect_.reset();
        if (security_.kind == Security::Plain) {
            stream_ = std::make_unique<TcpStream>(std::exchange(sock_, kNoSocket));
            return status_ = Status::Open;
        }
    }

    if (!handshake_) {
        if (sock_ == kNoSocket) return Fail("Name not resolved");  // an opening given no resolution
        // A verified handshake needs the trusted roots, read off the host's
        // thread; the winner waits for them, within the same bound.
        if (std::string why; security_.kind == Security::Tls) {
            switch (TrustedRoots(why)) {
                case TrustedRootsStatus::Pending:
                    return late ? Fail(TimedOutText(timeout_ms_) + " reading the system's trusted roots") : status_;
                case TrustedRootsStatus::Failed: return Fail(std::move(why));
                case TrustedRootsStatus::Ready: break;
            }
        }
        // TLS on the winner only; its handshake counts against the same bound.
        std::string why;
        handshake_ = StartTls(sock_, host_, security_, cert_, why);
        if (!handshake_) return Fail(std::move(why));
    }

    std::string why;
    switch (handshake_->Step(why)) {
        case TlsHandshake::Status::Pending:
            if (!late) return status_;
            // A handshake that is done is never timed out: the wait for the
            // server's verdict ends with the attempt.
            if (!handshake_->OnlyVerdictAwaited()) return Fail("TLS handshake failed: timed out");
            break;
        case TlsHandshake::Status::Failed: return Fail(std::move(why));
        case TlsHandshake::Status::Done: break;
    }
    server_cert_ = handshake_->ServerCertificate();
    stream_ = handshake_->TakeStream();
    handshake_.reset();
    return status_ = Status::Open;
}

}  // namespace platform
