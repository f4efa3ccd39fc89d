// A thin TCP layer: IPv4 stream sockets, non-blocking once connected.
// The only place that knows the platform's socket calls.
#ifndef QV_PLATFORM_SOCKET_H
#define QV_PLATFORM_SOCKET_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace platform {

using SocketHandle = std::intptr_t;
constexpr SocketHandle kNoSocket = -1;

enum class IoStatus { Ok, WouldBlock, EndOfStream, Failed };

struct IoResult {
    IoStatus status;
    std::size_t bytes;  // moved by the call; 0 unless Ok
    int error;          // the system's code when Failed, for ErrorText
};

// A new, unconnected IPv4 TCP socket, or kNoSocket.
SocketHandle TcpSocket();

// Resolves `host` (a name or dotted IPv4 address) and connects, trying each
// IPv4 address in turn until `timeout_ms` has passed in all (resolution not
// counted). A socket whose connect failed cannot be reused, so `sock` may be
// replaced along the way; after a failure it is closed (kNoSocket) and the
// result says why in plain words. A connected socket is left non-blocking.
struct ConnectResult {
    bool ok;
    std::string error;  // "Connection refused", "Name not resolved", ...
};
ConnectResult TcpConnect(SocketHandle& sock, const char* host, int port, int timeout_ms);

// One read of at most `buffer.size()` bytes; never blocks.
IoResult TcpRead(SocketHandle sock, std::span<char> buffer);

// Writes what the socket takes now, possibly nothing; never blocks and
// never raises SIGPIPE.
IoResult TcpWrite(SocketHandle sock, std::string_view bytes);

// Waits until the socket can take more bytes or has failed, at most
// `timeout_ms`; false when the time ran out.
bool TcpWaitWritable(SocketHandle sock, int timeout_ms);

// Waits until the socket has bytes (or end of stream) to read, at most
// `timeout_ms`; false when the time ran out.
bool TcpWaitReadable(SocketHandle sock, int timeout_ms);

void TcpClose(SocketHandle& sock);

// The system's message for an error code of this layer, in one line.
std::string ErrorText(int error);

}  // namespace platform

#endif
