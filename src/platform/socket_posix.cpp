#include "platform/socket.h"
#include "platform/socket_connect.h"
#include "platform/socket_watch.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace platform {
namespace {

int Fd(SocketHandle sock) { return static_cast<int>(sock); }

bool IsTransient(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

IoResult Outcome(ssize_t n) {
    if (n > 0) return {IoStatus::Ok, static_cast<std::size_t>(n), 0};
    if (n == 0) return {IoStatus::EndOfStream, 0, 0};
    if (IsTransient(errno)) return {IoStatus::WouldBlock, 0, 0};
    return {IoStatus::Failed, 0, errno};
}

// Waits for `events` on the socket; false when the time ran out.
bool Wait(SocketHandle sock, short events, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{Fd(sock), events, 0};
        int r = poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (r > 0) return true;
        if (r == 0 || errno != EINTR) return false;
    }
}

}  // namespace

bool SocketLayerReady() { return true; }

ConnectOutcome ConnectStart(SocketHandle& sock, const Address& addr, int& error) {
    const int fd = socket(addr.family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd < 0) {
        error = errno;
        return ConnectOutcome::Failed;
    }
    sock = fd;
    if (connect(fd, reinterpret_cast<const sockaddr*>(addr.bytes.data()), static_cast<socklen_t>(addr.size)) == 0)
        return ConnectOutcome::Connected;
    error = errno;
    if (error == EINPROGRESS || error == EINTR) return ConnectOutcome::InProgress;
    return error == ECONNREFUSED ? ConnectOutcome::Refused : ConnectOutcome::Failed;
}

ConnectOutcome ConnectCheck(SocketHandle sock, int& error) {
    pollfd p{Fd(sock), POLLOUT, 0};
    const int r = poll(&p, 1, 0);
    if (r == 0 || (r < 0 && errno == EINTR)) return ConnectOutcome::InProgress;
    if (r < 0) {
        error = errno;
        return ConnectOutcome::Failed;
    }
    socklen_t len = sizeof error;
    if (getsockopt(Fd(sock), SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
    if (error == 0) return ConnectOutcome::Connected;
    return error == ECONNREFUSED ? ConnectOutcome::Refused : ConnectOutcome::Failed;
}

IoResult TcpRead(SocketHandle sock, std::span<char> buffer) {
    if (buffer.empty()) return {IoStatus::WouldBlock, 0, 0};
    return Outcome(recv(Fd(sock), buffer.data(), buffer.size(), MSG_DONTWAIT));
}

IoResult TcpWrite(SocketHandle sock, std::string_view bytes) {
    if (bytes.empty()) return {IoStatus::Ok, 0, 0};
    // MSG_NOSIGNAL: a peer that has gone must cost us the link, not the
    // host process.
    ssize_t n = send(Fd(sock), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    // A stream socket never takes zero of a non-empty write.
    return n == 0 ? IoResult{IoStatus::WouldBlock, 0, 0} : Outcome(n);
}

bool TcpWaitWritable(SocketHandle sock, int timeout_ms) { return Wait(sock, POLLOUT, timeout_ms); }

void TcpClose(SocketHandle& sock) {
    if (sock != kNoSocket) {
        SocketWatch::Forget(sock);
        close(Fd(sock));
        sock = kNoSocket;
    }
}

std::string ErrorText(int error) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(error, buf, sizeof buf);
    return text != nullptr ? text : "Unknown error";
}

}  // namespace platform
