// The module's one TCP link to an IRC server, as the rest of the module sees it.
#ifndef QV_NET_CONNECTION_H
#define QV_NET_CONNECTION_H

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "platform/socket.h"

enum class ConnectionState { Unconnected, Connected, Dropped, Closed };

class Connection {
public:
    // How long a connect may wait for the server, name resolution aside.
    static constexpr int kConnectTimeoutMs = 10'000;

    Connection();  // IPv4 stream socket, not yet connected
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    ConnectionState State() const { return state_; }
    bool IsConnected() const { return state_ == ConnectionState::Connected; }
    // Only a fresh object can be connected: a socket is spent by a failed
    // attempt, a close or a lost link.
    bool CanConnect() const { return state_ == ConnectionState::Unconnected && !attempted_; }

    bool Connect(const char* host, int port);
    // 0 when nothing is waiting; a peer that has closed or a failed query
    // leaves the object Dropped.
    std::size_t BytesWaiting();
    std::size_t Receive(std::span<char> buffer);
    void Send(std::string_view bytes);
    void Close();

    // Received text after the last CR LF, kept for the next read: it belongs
    // to this link's byte stream and goes when the link is replaced.
    std::string& Remainder() { return remainder_; }

private:
    platform::SocketHandle sock_;
    ConnectionState state_ = ConnectionState::Unconnected;
    bool attempted_ = false;
    std::string remainder_;
};

#endif
