// A thin TCP layer: IPv4 stream sockets, blocking sends, non-blocking reads.
// The only place that knows the platform's socket calls.
#ifndef QV_PLATFORM_SOCKET_H
#define QV_PLATFORM_SOCKET_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace platform {

using SocketHandle = std::intptr_t;
constexpr SocketHandle kNoSocket = -1;

enum class IoStatus { Ok, EndOfStream, Failed };

struct IoResult {
    IoStatus status;
    std::size_t bytes;  // meaningful when status is Ok; may be 0
};

// A new, unconnected IPv4 TCP socket, or kNoSocket.
SocketHandle TcpSocket();

// Resolves `host` (a name or dotted IPv4 address) and connects, trying each
// IPv4 address in turn until `timeout_ms` has passed in all (resolution not
// counted). A socket whose connect failed cannot be reused, so `sock` may be
// replaced along the way; after a failure it is closed (kNoSocket).
bool TcpConnect(SocketHandle& sock, const char* host, int port, int timeout_ms);

// Received bytes that can be read without blocking. Tells a peer that has
// closed (readable, nothing to read) from a quiet one.
IoResult TcpBytesWaiting(SocketHandle sock);

// One read of at most `buffer.size()` bytes, never blocking.
IoResult TcpReceive(SocketHandle sock, std::span<char> buffer);

// Sends every byte, resuming after short sends. Never raises SIGPIPE.
bool TcpSendAll(SocketHandle sock, std::string_view bytes);

void TcpClose(SocketHandle& sock);

}  // namespace platform

#endif
