// The module's one TCP link to an IRC server, as the rest of the module sees it.
#ifndef QV_NET_CONNECTION_H
#define QV_NET_CONNECTION_H

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "net/line_reader.h"
#include "net/send_queue.h"
#include "platform/stream.h"

enum class ConnectionState { Unconnected, Connected, Dropped, Closed };

class Connection {
public:
    // How long a connect may wait for the server, name resolution aside.
    static constexpr int kConnectTimeoutMs = 10'000;
    // A server that takes nothing while this much waits to be sent is gone.
    static constexpr std::size_t kMaxUnwritten = 1024 * 1024;
    // How long Close waits for the socket to take what is still queued.
    static constexpr int kCloseFlushMs = 1000;

    // The clock that paces sending; tests step it by hand.
    static SendQueue::Clock::time_point (*pace_clock)();

    Connection() = default;  // not yet connected
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    ConnectionState State() const { return state_; }
    bool IsConnected() const { return state_ == ConnectionState::Connected; }
    // Only a fresh object can be connected: a socket is spent by a failed
    // attempt, a close or a lost link.
    bool CanConnect() const { return state_ == ConnectionState::Unconnected && !attempted_; }

    // Blocks until connected (TLS handshake included) or failed; on
    // failure says why in plain words.
    platform::ConnectResult Connect(const char* host, int port,
                                    platform::Security security = platform::Security::Plain);

    // Receiving: the lines read so far, and one more read into them. False
    // when nothing came; a lost link is then Dropped.
    LineReader& Input() { return in_; }
    bool ReadMore();

    // Sending: framed lines in, written as the socket and the pace allow.
    bool Accepts(LineKind kind) const { return out_.Accepts(kind); }
    void Send(std::string_view framed, LineKind kind);
    // Lets due paced lines through and writes what the socket takes.
    void Flush();
    // Stops pacing: all that waits goes out ahead of anything sent later.
    void EndPacing() { out_.ReleaseAll(); }
    const SendQueue& Outgoing() const { return out_; }

    // Writes what waits (for at most kCloseFlushMs) and closes. A link
    // closed so is not reported as lost.
    void Close();

    // Ends the link on the module's own decision: what waits is written as
    // far as the socket takes it now, and the loss is reported like a lost
    // link, with `reason`.
    void Abandon(std::string reason);

    // Why the Connected link was lost, given once; false if it was not.
    bool TakeLoss(std::string& reason);

private:
    void WriteOut();
    void Drop(std::string reason);
    void DiscardUnread();

    std::unique_ptr<platform::Stream> stream_;
    ConnectionState state_ = ConnectionState::Unconnected;
    bool attempted_ = false;
    bool loss_unreported_ = false;
    std::string loss_;
    LineReader in_;
    SendQueue out_;
};

#endif
