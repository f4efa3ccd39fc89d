#include "net/connection.h"

Connection::Connection() : sock_(platform::TcpSocket()) {}

Connection::~Connection() { platform::TcpClose(sock_); }

bool Connection::Connect(const char* host, int port) {
    if (!CanConnect()) return false;
    attempted_ = true;
    if (!platform::TcpConnect(sock_, host, port, kConnectTimeoutMs)) return false;
    state_ = ConnectionState::Connected;
    return true;
}

std::size_t Connection::BytesWaiting() {
    if (!IsConnected()) return 0;
    platform::IoResult r = platform::TcpBytesWaiting(sock_);
    if (r.status != platform::IoStatus::Ok) {
        state_ = ConnectionState::Dropped;
        return 0;
    }
    return r.bytes;
}

std::size_t Connection::Receive(std::span<char> buffer) {
    if (!IsConnected()) return 0;
    platform::IoResult r = platform::TcpReceive(sock_, buffer);
    if (r.status != platform::IoStatus::Ok) {
        state_ = ConnectionState::Dropped;
        return 0;
    }
    return r.bytes;
}

void Connection::Send(std::string_view bytes) {
    if (!IsConnected()) return;
    if (!platform::TcpSendAll(sock_, bytes)) state_ = ConnectionState::Dropped;
}

void Connection::Close() {
    platform::TcpClose(sock_);
    state_ = ConnectionState::Closed;
}
