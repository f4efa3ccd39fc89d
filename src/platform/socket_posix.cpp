#include "platform/socket.h"
#include "platform/socket_connect.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace platform {
namespace {

int Fd(SocketHandle sock) { return static_cast<int>(sock); }

bool IsTransient(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

}  // namespace

bool SocketLayerReady() { return true; }

// The socket is non-blocking only for the wait, so sends stay blocking.
bool ConnectOne(SocketHandle sock, const sockaddr* addr, std::size_t addr_len, Deadline deadline) {
    int fd = Fd(sock);
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
    bool ok = false;
    if (connect(fd, addr, static_cast<socklen_t>(addr_len)) == 0) {
        ok = true;
    } else if (errno == EINPROGRESS || errno == EINTR) {
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
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

SocketHandle TcpSocket() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return fd < 0 ? kNoSocket : fd;
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
