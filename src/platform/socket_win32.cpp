#include "platform/socket.h"
#include "platform/socket_connect.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>

namespace platform {
namespace {

SOCKET Sock(SocketHandle sock) { return static_cast<SOCKET>(sock); }

bool SetBlocking(SOCKET s, bool blocking) {
    u_long nonblocking = blocking ? 0 : 1;
    return ioctlsocket(s, FIONBIO, &nonblocking) == 0;
}

}  // namespace

// Winsock must be started once in the process before the first socket.
bool SocketLayerReady() {
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

// Non-blocking only for the wait, so sends stay blocking afterwards.
bool ConnectOne(SocketHandle sock, const sockaddr* addr, std::size_t addr_len, Deadline deadline) {
    SOCKET s = Sock(sock);
    if (!SetBlocking(s, false)) return false;
    bool ok = false;
    if (connect(s, addr, static_cast<int>(addr_len)) == 0) {
        ok = true;
    } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left > 0) {
            // select, not WSAPoll: older WSAPoll misses a refused connect.
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval tv{static_cast<long>(left / 1000000), static_cast<long>(left % 1000000)};
            if (select(0, nullptr, &writable, &failed, &tv) > 0 && FD_ISSET(s, &writable)) {
                int err = 0;
                int len = sizeof err;
                ok = getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) == 0 && err == 0;
            }
        }
    }
    if (!SetBlocking(s, true)) ok = false;
    return ok;
}

SocketHandle TcpSocket() {
    if (!SocketLayerReady()) return kNoSocket;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(s);
}

IoResult TcpBytesWaiting(SocketHandle sock) {
    SOCKET s = Sock(sock);
    u_long waiting = 0;
    if (ioctlsocket(s, FIONREAD, &waiting) != 0) return {IoStatus::Failed, 0};
    if (waiting > 0) return {IoStatus::Ok, static_cast<std::size_t>(waiting)};

    // Nothing queued: a readable socket now means the peer closed it or an
    // error is pending; a peek tells which without consuming anything.
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval now{0, 0};
    int r = select(0, &readable, nullptr, nullptr, &now);
    if (r == SOCKET_ERROR) return {IoStatus::Failed, 0};
    if (r == 0) return {IoStatus::Ok, 0};
    char c;
    int k = recv(s, &c, 1, MSG_PEEK);
    if (k == 0) return {IoStatus::EndOfStream, 0};
    if (k == SOCKET_ERROR) return {WSAGetLastError() == WSAEWOULDBLOCK ? IoStatus::Ok : IoStatus::Failed, 0};
    if (ioctlsocket(s, FIONREAD, &waiting) != 0) return {IoStatus::Failed, 0};
    return {IoStatus::Ok, static_cast<std::size_t>(waiting > 0 ? waiting : 1)};
}

IoResult TcpReceive(SocketHandle sock, std::span<char> buffer) {
    if (buffer.empty()) return {IoStatus::Ok, 0};
    // The caller asks only for bytes already waiting, so this cannot block.
    int want = buffer.size() > 0x7fffffff ? 0x7fffffff : static_cast<int>(buffer.size());
    int n = recv(Sock(sock), buffer.data(), want, 0);
    if (n > 0) return {IoStatus::Ok, static_cast<std::size_t>(n)};
    if (n == 0) return {IoStatus::EndOfStream, 0};
    return {WSAGetLastError() == WSAEWOULDBLOCK ? IoStatus::Ok : IoStatus::Failed, 0};
}

bool TcpSendAll(SocketHandle sock, std::string_view bytes) {
    // Winsock raises no signal for a peer that has gone; the send fails.
    while (!bytes.empty()) {
        int chunk = bytes.size() > 0x7fffffff ? 0x7fffffff : static_cast<int>(bytes.size());
        int n = send(Sock(sock), bytes.data(), chunk, 0);
        if (n == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void TcpClose(SocketHandle& sock) {
    if (sock != kNoSocket) {
        closesocket(Sock(sock));
        sock = kNoSocket;
    }
}

}  // namespace platform
