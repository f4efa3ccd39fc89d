#include "platform/socket.h"
#include "platform/socket_connect.h"
#include "platform/socket_watch.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>

namespace platform {
namespace {

SOCKET Sock(SocketHandle sock) { return static_cast<SOCKET>(sock); }

int Clamp(std::size_t n) { return n > INT_MAX ? INT_MAX : static_cast<int>(n); }

IoResult Outcome(int n) {
    if (n > 0) return {IoStatus::Ok, static_cast<std::size_t>(n), 0};
    if (n == 0) return {IoStatus::EndOfStream, 0, 0};
    int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK || err == WSAEINTR) return {IoStatus::WouldBlock, 0, 0};
    return {IoStatus::Failed, 0, err};
}

// select, not WSAPoll: older WSAPoll misses a refused connect.
bool Wait(SocketHandle sock, bool for_write, int timeout_ms) {
    SOCKET s = Sock(sock);
    fd_set ready, failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(s, &ready);
    FD_SET(s, &failed);
    if (timeout_ms < 0) timeout_ms = 0;
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int r = select(0, for_write ? nullptr : &ready, for_write ? &ready : nullptr, &failed, &tv);
    return r > 0;
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

ConnectOutcome ConnectStart(SocketHandle& sock, const Address& addr, int& error) {
    if (!SocketLayerReady()) {
        error = WSANOTINITIALISED;
        return ConnectOutcome::Failed;
    }
    SOCKET s = socket(addr.family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        error = WSAGetLastError();
        return ConnectOutcome::Failed;
    }
    sock = static_cast<SocketHandle>(s);
    u_long nonblocking = 1;
    if (ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
        error = WSAGetLastError();
        return ConnectOutcome::Failed;
    }
    if (connect(s, reinterpret_cast<const sockaddr*>(addr.bytes.data()), static_cast<int>(addr.size)) == 0)
        return ConnectOutcome::Connected;
    error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return ConnectOutcome::InProgress;
    return error == WSAECONNREFUSED ? ConnectOutcome::Refused : ConnectOutcome::Failed;
}

// select, not WSAPoll: older WSAPoll misses a refused connect, which
// Winsock reports in the exception set.
ConnectOutcome ConnectCheck(SocketHandle sock, int& error) {
    SOCKET s = Sock(sock);
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval now{0, 0};
    const int r = select(0, nullptr, &writable, &failed, &now);
    if (r == 0) return ConnectOutcome::InProgress;
    if (r == SOCKET_ERROR) {
        error = WSAGetLastError();
        return ConnectOutcome::Failed;
    }
    int len = sizeof error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0) error = WSAGetLastError();
    if (error == 0 && FD_ISSET(s, &writable)) return ConnectOutcome::Connected;
    if (error == 0) error = WSAECONNREFUSED;
    return error == WSAECONNREFUSED ? ConnectOutcome::Refused : ConnectOutcome::Failed;
}

IoResult TcpRead(SocketHandle sock, std::span<char> buffer) {
    if (buffer.empty()) return {IoStatus::WouldBlock, 0, 0};
    return Outcome(recv(Sock(sock), buffer.data(), Clamp(buffer.size()), 0));
}

IoResult TcpWrite(SocketHandle sock, std::string_view bytes) {
    if (bytes.empty()) return {IoStatus::Ok, 0, 0};
    // Winsock raises no signal for a peer that has gone; the send fails.
    int n = send(Sock(sock), bytes.data(), Clamp(bytes.size()), 0);
    return n == 0 ? IoResult{IoStatus::WouldBlock, 0, 0} : Outcome(n);
}

bool TcpWaitWritable(SocketHandle sock, int timeout_ms) { return Wait(sock, true, timeout_ms); }

void TcpClose(SocketHandle& sock) {
    if (sock != kNoSocket) {
        SocketWatch::Forget(sock);
        closesocket(Sock(sock));
        sock = kNoSocket;
    }
}

std::string ErrorText(int error) {
    char buf[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(error), 0, buf, sizeof buf, nullptr);
    // The system's text ends in ".\r\n"; one line is wanted.
    while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ' || buf[n - 1] == '.')) --n;
    if (n == 0) return "Socket error " + std::to_string(error);
    return std::string(buf, n);
}

}  // namespace platform
