#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

LoopbackServer::LoopbackServer(int receive_buffer, bool ipv6) {
    listen_fd_ = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    // Set before listening: accepted links take it, and the window follows.
    if (receive_buffer > 0) setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    auto* addr = ipv6 ? reinterpret_cast<sockaddr*>(&v6) : reinterpret_cast<sockaddr*>(&v4);
    socklen_t len = ipv6 ? sizeof v6 : sizeof v4;
    if (listen_fd_ < 0 || bind(listen_fd_, addr, len) != 0 || listen(listen_fd_, 4) != 0 ||
        getsockname(listen_fd_, addr, &len) != 0)
        throw std::runtime_error("cannot listen on loopback");
    port_ = ntohs(ipv6 ? v6.sin6_port : v4.sin_port);
}

LoopbackServer::~LoopbackServer() {
    CloseClient();
    CloseListener();
}

bool LoopbackServer::Accept(int timeout_ms) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    CloseClient();
    client_fd_ = accept(listen_fd_, nullptr, nullptr);
    return client_fd_ >= 0;
}

void LoopbackServer::Write(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = send(client_fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error("loopback write failed");
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

bool LoopbackServer::ReadOnce(int wait_ms) {
    if (client_fd_ < 0) return false;
    pollfd p{client_fd_, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) return false;
    char buf[65536];
    ssize_t n = recv(client_fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    received_.append(buf, static_cast<std::size_t>(n));
    return true;
}

const std::string& LoopbackServer::ReadUntil(std::string_view needle, int timeout_ms, std::size_t from) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    auto arrived = [&] { return received_.size() >= from && received_.find(needle, from) != std::string::npos; };
    // At least one look, even for a wait that rounds to nothing.
    for (long long left = timeout_ms; !arrived();) {
        if (!ReadOnce(static_cast<int>(left > 0 ? left : 0)) && left <= 0) break;
        left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    }
    return received_;
}

const std::string& LoopbackServer::ReadFor(int wait_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    // At least one look, even for a wait that rounds to nothing.
    for (long long left = wait_ms; left >= 0;) {
        ReadOnce(static_cast<int>(left));
        left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            while (ReadOnce(0)) {
            }
            break;
        }
    }
    return received_;
}

int LoopbackServer::ReadToEnd(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd p{client_fd_, POLLIN, 0};
        if (client_fd_ < 0 || left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return -1;
        char buf[65536];
        ssize_t n = recv(client_fd_, buf, sizeof buf, 0);
        if (n == 0) return 0;
        if (n < 0) return errno;
        received_.append(buf, static_cast<std::size_t>(n));
    }
}

void LoopbackServer::CloseClient() {
    if (client_fd_ >= 0) close(client_fd_);
    client_fd_ = -1;
}

void LoopbackServer::ShutWrite() {
    if (client_fd_ >= 0) shutdown(client_fd_, SHUT_WR);
}

void LoopbackServer::ResetClient() {
    if (client_fd_ < 0) return;
    linger hard{1, 0};
    setsockopt(client_fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    CloseClient();
}

void LoopbackServer::CloseListener() {
    if (listen_fd_ >= 0) close(listen_fd_);
    listen_fd_ = -1;
}

RefusingPort::RefusingPort() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port_ = ntohs(addr.sin_port);
}

RefusingPort::~RefusingPort() {
    if (fd_ >= 0) close(fd_);
}

SilentListener::SilentListener(bool ipv6, int port) {
    fd_ = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4.sin_port = htons(static_cast<uint16_t>(port));
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    v6.sin6_port = htons(static_cast<uint16_t>(port));
    auto* addr = ipv6 ? reinterpret_cast<sockaddr*>(&v6) : reinterpret_cast<sockaddr*>(&v4);
    socklen_t len = ipv6 ? sizeof v6 : sizeof v4;
    if (fd_ < 0 || bind(fd_, addr, len) != 0 || listen(fd_, 0) != 0 || getsockname(fd_, addr, &len) != 0)
        throw std::runtime_error("cannot listen on loopback");
    port_ = ntohs(ipv6 ? v6.sin6_port : v4.sin_port);
    // Fill the accept queue; the connects that no longer fit are left
    // pending without blocking this thread.
    for (int i = 0; i < 8; ++i) {
        int c = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(c, addr, len);
        fillers_.push_back(c);
    }
}

SilentListener::~SilentListener() {
    for (int c : fillers_) close(c);
    close(fd_);
}
