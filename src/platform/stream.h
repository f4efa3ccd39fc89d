// A connected byte stream to a server: plain TCP, or TLS over TCP. What a
// link reads and writes through; it never blocks once open.
#ifndef QV_PLATFORM_STREAM_H
#define QV_PLATFORM_STREAM_H

#include <chrono>
#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/client_cert.h"
#include "platform/socket.h"

namespace platform {

enum class Security {
    Plain,          // TCP as it is
    Tls,            // TLS; the certificate checked against the system's roots and the name
    TlsUnverified,  // TLS; any certificate taken (private servers, self-signed)
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
    // A Failed result of this stream in plain words.
    virtual std::string ErrorText(const IoResult& failed) const = 0;
};

class Resolution;
class TlsHandshake;

// Opening a stream without ever waiting: resolving the name, connecting to
// each of its addresses in turn, then the TLS handshake. Each Step does what
// can be done now and returns; the whole attempt is bounded in time.
class Opening {
public:
    enum class Status { Pending, Open, Failed };

    // Fails at once (Error() says why) for what needs no waiting to know:
    // a port out of range, no socket layer. `cert`, if any, is presented
    // to a TLS server that asks for a client certificate.
    Opening(const std::string& host, int port, Security security, int timeout_ms,
            std::shared_ptr<const ClientCert> cert = nullptr);
    ~Opening();
    Opening(const Opening&) = delete;
    Opening& operator=(const Opening&) = delete;

    Status Step();
    // Once Open: the stream, handed over once.
    std::unique_ptr<Stream> TakeStream() { return std::move(stream_); }
    // Once Failed: why, in plain words.
    const std::string& Error() const { return error_; }

private:
    Status Fail(std::string why);
    bool NextAddress();

    std::string host_;
    Security security_;
    std::shared_ptr<const ClientCert> cert_;
    std::chrono::steady_clock::time_point deadline_;
    int timeout_ms_;
    std::unique_ptr<Resolution> resolution_;
    std::size_t next_address_ = 0;
    SocketHandle sock_ = kNoSocket;
    std::unique_ptr<TlsHandshake> handshake_;
    std::unique_ptr<Stream> stream_;
    std::string error_;
    std::string last_refusal_;
    Status status_ = Status::Pending;
};

}  // namespace platform

#endif
