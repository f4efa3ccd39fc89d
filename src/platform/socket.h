// A thin TCP layer: stream sockets of either IP family, never blocking.
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

// One read of at most `buffer.size()` bytes; never blocks.
IoResult TcpRead(SocketHandle sock, std::span<char> buffer);

// Writes what the socket takes now, possibly nothing; never blocks and
// never raises SIGPIPE.
IoResult TcpWrite(SocketHandle sock, std::string_view bytes);

// Waits until the socket can take more bytes or has failed, at most
// `timeout_ms`; false when the time ran out.
bool TcpWaitWritable(SocketHandle sock, int timeout_ms);

void TcpClose(SocketHandle& sock);

// The system's message for an error code of this layer, in one line.
std::string ErrorText(int error);

}  // namespace platform

#endif
