// What TcpConnect needs of each platform's socket file.
#ifndef QV_PLATFORM_SOCKET_CONNECT_H
#define QV_PLATFORM_SOCKET_CONNECT_H

#include <chrono>
#include <cstddef>

#include "platform/socket.h"

struct sockaddr;

namespace platform {

using Deadline = std::chrono::steady_clock::time_point;

// Readies the socket layer for use (Winsock must be started); false when
// it cannot be used.
bool SocketLayerReady();

// How one connect attempt ended.
enum class ConnectOutcome { Connected, Refused, TimedOut, Failed };

// Connects `sock` to one address, waiting at most until `deadline`; on
// Failed, `error` holds the system's code. The socket is left non-blocking.
ConnectOutcome ConnectOne(SocketHandle sock, const sockaddr* addr, std::size_t addr_len, Deadline deadline,
                          int& error);

}  // namespace platform

#endif
