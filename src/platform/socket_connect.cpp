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
namespace {

std::string TimedOutText(int timeout_ms) {
    char text[48];
    std::snprintf(text, sizeof text, "Timed out after %d s", (timeout_ms + 999) / 1000);
    return text;
}

}  // namespace

ConnectResult TcpConnect(SocketHandle& sock, const char* host, int port, int timeout_ms) {
    auto fail = [&sock](std::string why) {
        TcpClose(sock);
        return ConnectResult{false, std::move(why)};
    };
    if (port < 0 || port > 65535) return fail("Port out of range");
    if (!SocketLayerReady()) return fail("Sockets unavailable");
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    addrinfo* found = nullptr;
    if (getaddrinfo(host != nullptr ? host : "", service, &hints, &found) != 0 || found == nullptr)
        return fail("Name not resolved");
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);

    // The last address tried tells the story: a refusal there is what the
    // user can act on.
    const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string why = TimedOutText(timeout_ms);
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        // A socket whose connect failed cannot be used for the next address.
        if (sock == kNoSocket) sock = TcpSocket();
        if (sock == kNoSocket) return fail("Cannot create a socket");
        int error = 0;
        switch (ConnectOne(sock, ai->ai_addr, ai->ai_addrlen, deadline, error)) {
            case ConnectOutcome::Connected: return {true, {}};
            case ConnectOutcome::Refused: why = "Connection refused"; break;
            case ConnectOutcome::TimedOut: why = TimedOutText(timeout_ms); break;
            case ConnectOutcome::Failed: why = ErrorText(error); break;
        }
        TcpClose(sock);
        if (std::chrono::steady_clock::now() >= deadline) break;
    }
    return fail(std::move(why));
}

}  // namespace platform
