// Opening a stream, and the plain TCP one: alike on every platform, over
// the socket calls of socket_*.cpp.
#include "platform/stream.h"

#include <cstdio>
#include <utility>

#include "platform/resolve.h"
#include "platform/socket_connect.h"
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

Opening::Opening(const std::string& host, int port, Security security, int timeout_ms,
                 std::shared_ptr<const ClientCert> cert)
    : host_(WithoutBrackets(host)),
      security_(security),
      cert_(std::move(cert)),
      deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms)),
      timeout_ms_(timeout_ms) {
    if (port < 0 || port > 65535) {
        Fail("Port out of range");
    } else if (!SocketLayerReady()) {
        Fail("Sockets unavailable");
    } else {
        resolution_ = Resolve(host, port);
    }
}

Opening::~Opening() { TcpClose(sock_); }

Opening::Status Opening::Fail(std::string why) {
    TcpClose(sock_);
    handshake_.reset();
    error_ = std::move(why);
    return status_ = Status::Failed;
}

// Starts connecting to the next address that takes a connect at all;
// false when none is left.
bool Opening::NextAddress() {
    const auto& addresses = resolution_->Addresses();
    while (next_address_ < addresses.size()) {
        TcpClose(sock_);
        int error = 0;
        switch (ConnectStart(sock_, addresses[next_address_++], error)) {
            case ConnectOutcome::Connected:
            case ConnectOutcome::InProgress: return true;
            case ConnectOutcome::Refused: last_refusal_ = "Connection refused"; break;
            case ConnectOutcome::Failed: last_refusal_ = ErrorText(error); break;
        }
    }
    TcpClose(sock_);
    return false;
}

Opening::Status Opening::Step() {
    if (status_ != Status::Pending) return status_;
    const bool late = std::chrono::steady_clock::now() >= deadline_;

    if (sock_ == kNoSocket && !handshake_) {
        // Still resolving.
        switch (resolution_->Check()) {
            case Resolution::Status::Pending: return late ? Fail(TimedOutText(timeout_ms_)) : status_;
            case Resolution::Status::Failed: return Fail("Name not resolved");
            case Resolution::Status::Done: break;
        }
        if (!NextAddress()) return Fail(last_refusal_);
    }

    // Connecting: an address that refuses hands over to the next; the last
    // failure tells the story, as that is what the user can act on.
    while (!handshake_) {
        int error = 0;
        const ConnectOutcome outcome = ConnectCheck(sock_, error);
        if (outcome == ConnectOutcome::InProgress) return late ? Fail(TimedOutText(timeout_ms_)) : status_;
        if (outcome == ConnectOutcome::Connected) {
            if (security_ == Security::Plain) {
                stream_ = std::make_unique<TcpStream>(std::exchange(sock_, kNoSocket));
                return status_ = Status::Open;
            }
            std::string why;
            handshake_ = StartTls(sock_, host_, security_ == Security::Tls, cert_, why);
            if (!handshake_) return Fail(std::move(why));
            break;
        }
        last_refusal_ = outcome == ConnectOutcome::Refused ? "Connection refused" : ErrorText(error);
        if (late || !NextAddress()) return Fail(last_refusal_);
    }

    std::string why;
    switch (handshake_->Step(why)) {
        case TlsHandshake::Status::Pending:
            return late ? Fail("TLS handshake failed: timed out") : status_;
        case TlsHandshake::Status::Failed: return Fail(std::move(why));
        case TlsHandshake::Status::Done: break;
    }
    stream_ = handshake_->TakeStream();
    handshake_.reset();
    return status_ = Status::Open;
}

}  // namespace platform
