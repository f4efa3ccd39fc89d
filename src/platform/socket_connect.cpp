// Resolving a name and walking its addresses: alike on every platform; only
// the connect to one address differs.
#include "platform/socket_connect.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdio>
#include <memory>

namespace platform {

bool TcpConnect(SocketHandle& sock, const char* host, int port, int timeout_ms) {
    if (port < 0 || port > 65535 || !SocketLayerReady()) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    addrinfo* found = nullptr;
    if (getaddrinfo(host != nullptr ? host : "", service, &hints, &found) != 0) return false;
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);

    const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        // A socket whose connect failed cannot be used for the next address.
        if (sock == kNoSocket) sock = TcpSocket();
        if (sock == kNoSocket) return false;
        if (ConnectOne(sock, ai->ai_addr, ai->ai_addrlen, deadline)) return true;
        TcpClose(sock);
        if (std::chrono::steady_clock::now() >= deadline) break;
    }
    return false;
}

}  // namespace platform
