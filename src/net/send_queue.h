// The outgoing side of a link: lines waiting for the flood allowance, and
// bytes released to the socket that it has not taken yet.
#ifndef QV_NET_SEND_QUEUE_H
#define QV_NET_SEND_QUEUE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "net/line_kind.h"
#include "platform/secret.h"

// Bytes added at the back and taken from the front; what was taken is
// dropped in bulk now and then, not at every take. A line may carry a
// password, so every byte is cleared once taken or dropped, and no block
// goes back to the heap uncleared.
class ByteFifo {
public:
    // Any line may carry a password (PASS, AUTHENTICATE, a script's own),
    // and a copy passes through the vector registers: noted for the wipe.
    void Append(std::string_view bytes) {
        platform::NoteSecretWork();
        buf_.append(bytes);
    }
    std::string_view View() const { return std::string_view(buf_).substr(head_); }
    std::size_t Size() const { return buf_.size() - head_; }
    void Consume(std::size_t n);
    void Clear();

private:
    platform::WipedString buf_;
    std::size_t head_ = 0;
};

// Whether a framed line is one a server takes before it has registered
// us (CAP, AUTHENTICATE, PASS, NICK, USER, PONG, QUIT): it answers 451 to
// any other, and drops it.
bool RegistrationLine(std::string_view line);

class SendQueue {
public:
    using Clock = std::chrono::steady_clock;

    // Servers count each line as a 2 s penalty against a 10 s allowance
    // and drop a client that runs past it: 5 lines go at once, then one
    // every 2 s.
    static constexpr Clock::duration kPenalty = std::chrono::seconds(2);
    static constexpr Clock::duration kAllowance = std::chrono::seconds(10);
    // Past this many bytes waiting on the pace, scripts are told no.
    static constexpr std::size_t kPacedLimit = 64 * 1024;
    // Replies a query can trigger that may wait at once; more are not sent.
    static constexpr int kMaxWaitingReplies = 3;

    // Whether a line of `kind` may be queued now.
    bool Accepts(LineKind kind) const;
    // Queues framed bytes (one or more lines, each ending in LF) and lets
    // through what the allowance permits at `now`.
    void Push(std::string_view bytes, LineKind kind, Clock::time_point now);
    // Lets through the paced lines whose time has come.
    void Release(Clock::time_point now);
    // Lets every paced line through at once (the link is closing); lines
    // on hold stay.
    void ReleaseAll();
    // Lines queued from now on stay on hold, whatever the pace, until
    // Unhold, but for those a server takes before it has registered us
    // (RegistrationLine), which go on paced as usual, in order, as do
    // those already queued.
    void Hold();
    void Unhold(Clock::time_point now);
    // A new link takes over: what was released and the lines not on hold
    // are dropped, `first` goes out ahead of the rest, the lines on hold
    // stay held, and the pace starts afresh.
    void Restart(std::string_view first);

    // A QUIT was queued on this link (the script's or ours): what the
    // server says after it is its answer to that, not a refusal.
    bool QuitQueued() const { return quit_queued_; }

    // Bytes released and not yet taken by the socket, in order.
    std::string_view Unwritten() const { return out_.View(); }
    void Written(std::size_t n) { out_.Consume(n); }
    std::size_t PacedBytes() const { return paced_.Size() + held_bytes_.Size(); }
    void Clear();

private:
    struct Paced {
        std::uint32_t size;
        bool reply;
    };
    void ReleaseFront();
    // Counts one line against the allowance at `now`; false when it has
    // none left.
    bool TakeAllowance(Clock::time_point now);

    ByteFifo out_;    // released, not yet taken by the socket
    ByteFifo paced_;  // the bytes of lines_
    std::deque<Paced> lines_;
    ByteFifo held_bytes_;  // the bytes of held_lines_, in order
    std::deque<Paced> held_lines_;
    ByteFifo background_;  // Background lines, and their sizes
    std::deque<std::uint32_t> background_lines_;
    int waiting_replies_ = 0;
    bool held_ = false;
    bool quit_queued_ = false;
    // The server's view of our flood counter: it runs ahead of the clock by
    // kPenalty per line and must stay within kAllowance of it.
    Clock::time_point pace_{};
};

#endif
