// Opening a stream, and the plain TCP one: alike on every platform, over
// the socket calls of socket_*.cpp.
#include "platform/stream.h"

#include <chrono>

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

}  // namespace

OpenResult OpenStream(const char* host, int port, Security security, int timeout_ms) {
    const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    SocketHandle sock = kNoSocket;
    ConnectResult tcp = TcpConnect(sock, host, port, timeout_ms);
    if (!tcp.ok) return {nullptr, std::move(tcp.error)};
    if (security == Security::Plain) return {std::make_unique<TcpStream>(sock), {}};

    std::string error;
    std::unique_ptr<Stream> tls = OpenTls(sock, host, security == Security::Tls, deadline, error);
    TcpClose(sock);  // still ours only when the handshake failed
    return {std::move(tls), std::move(error)};
}

}  // namespace platform
