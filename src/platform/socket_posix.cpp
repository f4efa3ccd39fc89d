#include "platform/socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

int Fd(SocketHandle sock) { return static_cast<int>(sock); }

bool IsTransient(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// Connects to one address, waiting at most until `deadline`. The socket is
// non-blocking only for the wait, so sends stay blocking afterwards.
bool ConnectOne(int fd, const addrinfo& ai, Clock::time_point deadline) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
    bool ok = false;
    if (connect(fd, ai.ai_addr, ai.ai_addrlen) == 0) {
        ok = true;
    } else if (errno == EINPROGRESS || errno == EINTR) {
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) break;
            pollfd p{fd, POLLOUT, 0};
            int r = poll(&p, 1, static_cast<int>(left));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            int err = 0;
            socklen_t len = sizeof err;
            ok = getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
            break;
        }
    }
    if (fcntl(fd, F_SETFL, flags) < 0) ok = false;
    return ok;
}

}  // namespace

SocketHandle TcpSocket() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return fd < 0 ? kNoSocket : fd;
}

bool TcpConnect(SocketHandle& sock, const char* host, int port, int timeout_ms) {
    if (port < 0 || port > 65535) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    addrinfo* found = nullptr;
    if (getaddrinfo(host != nullptr ? host : "", service, &hints, &found) != 0) return false;
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, freeaddrinfo);

    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        if (sock == kNoSocket) sock = TcpSocket();
        if (sock == kNoSocket) return false;
        if (ConnectOne(Fd(sock), *ai, deadline)) return true;
        TcpClose(sock);
        if (Clock::now() >= deadline) break;
    }
    return false;
}

IoResult TcpBytesWaiting(SocketHandle sock) {
    int fd = Fd(sock);
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) < 0) return {IoStatus::Failed, 0};
    if (waiting > 0) return {IoStatus::Ok, static_cast<std::size_t>(waiting)};

    // Nothing queued: a readable socket now means the peer closed it or an
    // error is pending; a peek tells which without consuming anything.
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, 0);
    if (r < 0) return {IsTransient(errno) ? IoStatus::Ok : IoStatus::Failed, 0};
    if (r == 0) return {IoStatus::Ok, 0};
    if (p.revents & POLLNVAL) return {IoStatus::Failed, 0};
    char c;
    ssize_t k = recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (k == 0) return {IoStatus::EndOfStream, 0};
    if (k < 0) return {IsTransient(errno) ? IoStatus::Ok : IoStatus::Failed, 0};
    // Bytes arrived between the two looks.
    if (ioctl(fd, FIONREAD, &waiting) < 0) return {IoStatus::Failed, 0};
    return {IoStatus::Ok, static_cast<std::size_t>(waiting > 0 ? waiting : 1)};
}

IoResult TcpReceive(SocketHandle sock, std::span<char> buffer) {
    if (buffer.empty()) return {IoStatus::Ok, 0};
    ssize_t n = recv(Fd(sock), buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n > 0) return {IoStatus::Ok, static_cast<std::size_t>(n)};
    if (n == 0) return {IoStatus::EndOfStream, 0};
    return {IsTransient(errno) ? IoStatus::Ok : IoStatus::Failed, 0};
}

bool TcpSendAll(SocketHandle sock, std::string_view bytes) {
    while (!bytes.empty()) {
        // MSG_NOSIGNAL: a peer that has gone must cost us the link, not the
        // host process.
        ssize_t n = send(Fd(sock), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void TcpClose(SocketHandle& sock) {
    if (sock != kNoSocket) {
        close(Fd(sock));
        sock = kNoSocket;
    }
}

}  // namespace platform
