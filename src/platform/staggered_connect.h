// Connecting to a name's addresses the way RFC 8305 ("Happy Eyeballs")
// asks: one address that drops packets must not cost the whole attempt.
// Alike on every platform, over the socket calls of socket_*.cpp.
#ifndef QV_PLATFORM_STAGGERED_CONNECT_H
#define QV_PLATFORM_STAGGERED_CONNECT_H

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "platform/resolve.h"
#include "platform/socket.h"
#include "platform/socket_connect.h"

namespace platform {

// The addresses are tried in the resolver's order of preference, with the
// families taking turns (the first address's family first). The next
// attempt starts when one has failed, or when the latest has had kStagger
// without success; earlier ones stay open meanwhile. The first connect to
// succeed wins and every other socket is closed at once. At most one
// socket per address is ever open, and none is left once it is over.
class StaggeredConnect {
public:
    using Clock = std::chrono::steady_clock;
    enum class Status { Pending, Connected, Failed };

    static constexpr std::chrono::milliseconds kStagger{250};

    explicit StaggeredConnect(const std::vector<Address>& addresses);
    ~StaggeredConnect();
    StaggeredConnect(const StaggeredConnect&) = delete;
    StaggeredConnect& operator=(const StaggeredConnect&) = delete;

    // Looks at every attempt open and starts those now due; never waits.
    // Failed: every address failed, LastError() says how the last did.
    Status Step(Clock::time_point now);
    // Once Connected: the winning socket, handed over once.
    SocketHandle TakeWinner();
    // The attempt started last, while one is open: the one a wake waits on.
    SocketHandle Latest() const { return open_.empty() ? kNoSocket : open_.back(); }
    const std::string& LastError() const { return last_error_; }

private:
    void Note(ConnectOutcome outcome, int error);
    void CloseAll();

    std::vector<Address> order_;
    std::size_t next_ = 0;
    std::vector<SocketHandle> open_;  // in the order they were started
    Clock::time_point next_due_{};
    SocketHandle winner_ = kNoSocket;
    std::string last_error_;
};

}  // namespace platform

#endif
