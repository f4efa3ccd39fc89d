// The module's one TCP link to an IRC server, as the rest of the module sees it.
#ifndef QV_NET_CONNECTION_H
#define QV_NET_CONNECTION_H

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "net/line_reader.h"
#include "net/send_queue.h"
#include "platform/stream.h"
#include "session/session.h"

enum class ConnectionState { Unconnected, Connecting, Connected, Dropped, Closed };

class Connection {
public:
    using Clock = SendQueue::Clock;

    // How long a connect may take, name resolution and TLS handshake included.
    static constexpr int kConnectTimeoutMs = 10'000;
    // A server that takes nothing for kStallMs while this much waits to be
    // sent is gone. A slow one that still takes bytes is kept: its socket
    // may well be full at one write and have room at the next.
    static constexpr std::size_t kMaxUnwritten = 1024 * 1024;
    static_assert(kMaxUnwritten % (1 << 20) == 0, "the reason names it in whole MiB");
    static constexpr int kStallMs = 10'000;
    // How long Close waits for the socket to take what is still queued.
    static constexpr int kCloseFlushMs = 1000;
    static constexpr int kDefaultPingTimeoutS = ::kDefaultPingTimeoutS;

    // The clock that paces sending, and the one that measures the server's
    // silence; tests step them by hand.
    static Clock::time_point (*pace_clock)();
    static Clock::time_point (*idle_clock)();

    Connection() = default;  // not yet connected
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // What this link has learnt and negotiated, for the protocol to read
    // and write; made with the link, gone with it.
    Session& session() { return session_; }
    const Session& session() const { return session_; }

    ConnectionState State() const { return state_; }
    bool IsConnected() const { return state_ == ConnectionState::Connected; }
    bool IsConnecting() const { return state_ == ConnectionState::Connecting; }
    // Only a fresh object can be connected: a socket is spent by a failed
    // attempt, a close or a lost link.
    bool CanConnect() const { return state_ == ConnectionState::Unconnected; }

    // Starts connecting (TLS handshake included) and returns at once; Advance
    // goes on with it. Fails at once, saying why, only for what needs no
    // waiting to know (a port out of range). `ping_timeout_s` is the
    // silence after which the link is dropped; 0 never drops it. `cert`,
    // if any, is presented to a TLS server that asks for one (a plain link
    // keeps it for a reopen with TLS).
    bool Connect(const std::string& host, int port, platform::Security security, int ping_timeout_s,
                 std::shared_ptr<const platform::ClientCert> cert, std::string& error);
    // Moves a connect on as far as it goes without waiting; true when the
    // link came up in this call. A failed one is then a lost link whose
    // reason starts "Connect failed: ".
    bool Advance();
    // The link ends without another byte and the same host is connected
    // again on `port` with `security` (TLS, as the server requires it; or
    // as it was, without the password it refused), under the session
    // `next` (the ping timeout carries over). Its registration goes out
    // first there, then the script's lines on hold, still held.
    void Reopen(int port, platform::Security security, Session next);
    // This link is TLS because the server requires it: a failed connect
    // says so.
    void RequireTls() { tls_required_ = true; }

    // What Connect was asked for (or Reopen): the server, its port, and
    // the link's security.
    const std::string& Host() const { return host_; }
    int Port() const { return port_; }
    const platform::Security& LinkSecurity() const { return security_; }

    // Receiving: the lines read so far, and one more read into them. False
    // when nothing came; a lost link is then Dropped.
    LineReader& Input() { return in_; }
    bool ReadMore();
    // What the link waits for on its socket now: the server's bytes, and
    // room to write while bytes wait or a connect is under way.
    platform::SocketInterest Interest() const;

    // Sending: framed lines in, written as the socket and the pace allow.
    // While connecting they wait, in order, behind the registration.
    bool TakesLines() const { return IsConnected() || IsConnecting(); }
    bool Accepts(LineKind kind) const { return out_.Accepts(kind); }
    void Send(std::string_view framed, LineKind kind);
    // One line exactly as given (but for FirstLine's cut), CR LF
    // added: for credentials, which no text rule may change. Every buffer
    // it passes through is cleared.
    void SendVerbatim(std::string_view line, LineKind kind);
    // "QUIT :<why>", ahead of any paced line: the link is ending.
    void Quit(std::string_view why);
    // Paced lines sent from now on wait, whatever the pace, until released:
    // the server holds registration open while we log in and would refuse
    // them. What was queued before goes on as usual.
    void HoldScriptLines() { out_.Hold(); }
    void ReleaseScriptLines() {
        out_.Unhold(pace_clock());
        WriteOut();
    }
    // Lets due paced lines through and writes what the socket takes; ends
    // a batch.
    void Flush();
    // While a tick hands lines on, what they send (a flood's PONGs, a
    // handler's lines) waits in the queue, in order, and is written once
    // when the batch ends (or the server's end is read): one write for the
    // tick, not one a line.
    void BeginBatch() { batching_ = true; }
    void EndBatch() {
        batching_ = false;
        WriteOut();
    }
    // Stops pacing: all that waits goes out ahead of anything sent later.
    void EndPacing() { out_.ReleaseAll(); }
    const SendQueue& Outgoing() const { return out_; }

    // A link silent for half its ping timeout is probed with a PING; one
    // silent for all of it is dropped.
    void CheckAlive();

    // Writes what waits (for at most kCloseFlushMs) and closes; a connect
    // still under way just ends. A link closed so is not reported as lost.
    void Close();

    // Ends the link on the module's own decision: what waits is written as
    // far as the socket takes it now, and the loss is reported like a lost
    // link, with `reason`.
    void Abandon(std::string reason);

    // Ends a link before it starts, for what the module knows cannot work:
    // nothing is sent, and the loss is reported like any other, with `reason`.
    void Refuse(std::string reason);

    // Why the link was lost (a connect that failed among them), given once;
    // false if it was not.
    bool TakeLoss(std::string& reason);

    // The text of the server's ERROR line, the reason it gives for ending
    // the link: the loss that follows carries it, as ServerText.
    void NoteServerError(std::string_view text);

private:
    void WriteOut();
    void Drop(std::string reason);
    std::string ClosedByServer() const;
    // Why the link ends when the socket says `socket_text`: the server's
    // ERROR first, then a write that failed before.
    std::string Ending(std::string socket_text) const;
    void DiscardUnread();
    // Its copies of the credentials and the registration, once no longer
    // needed.
    void ForgetSecrets();
    // What it knew of channels and people: a link that ended is in none.
    void ForgetRoom();

    // What the link was opened with: a reopen uses it again.
    std::string host_;
    int port_ = 0;
    platform::Security security_ = platform::Security::Plain;
    std::shared_ptr<const platform::ClientCert> cert_;
    bool tls_required_ = false;
    std::unique_ptr<platform::Opening> opening_;
    std::unique_ptr<platform::Stream> stream_;
    ConnectionState state_ = ConnectionState::Unconnected;
    bool loss_unreported_ = false;
    // When the socket last took bytes, or the backlog last was small.
    SendQueue::Clock::time_point progress_{};
    std::string loss_;
    // Why a write failed, while the link is still read: what the server
    // sent before it went (its ERROR above all) is not lost with it.
    std::string write_failure_;
    Session session_;
    // Sends wait for EndBatch (BeginBatch).
    bool batching_ = false;
    LineReader in_;
    SendQueue out_;
};

#endif
