// The receive poll: on a timer on the host's thread, the bytes waiting are
// read, cut into lines and dispatched, a bounded amount per tick.
#ifndef QV_NET_POLL_H
#define QV_NET_POLL_H

#include <chrono>

constexpr unsigned kPollPeriodMs = 100;
// While lines wait that a tick's budget did not reach, the poll comes back
// this soon.
constexpr unsigned kBacklogPeriodMs = 10;
// A tick's share of the host's time: it stops between lines before it
// would pass it.
constexpr std::chrono::microseconds kTickBudget{4000};
// Of that, what the lines leave for the tick's end (the write of what they
// sent, the liveness probe) and for a line slower than the one before it
// (a garbage-collection step in its handler).
constexpr std::chrono::microseconds kTickReserve{100};
// The clock a tick's budget is read on; tests step it by hand.
extern std::chrono::steady_clock::time_point (*tick_clock)();

// Starts the PollTimer; at most one runs per process, however often asked.
// A connect under way is polled at the backlog's period.
void StartPollTimer();
void StopPollTimer();
bool PollTimerRunning();
// Whether the link's socket is watched, so its bytes wake the poll.
bool SocketWatched();
// The period the PollTimer runs with now.
unsigned PollPeriodMs();

// How often the poll ran, on its timer and woken by the socket.
struct PollRuns {
    unsigned long ticks = 0;
    unsigned long wakes = 0;
};
PollRuns PollRunCount();

// The timer callback: ignores its arguments and polls once.
void OnTimer(void* platform_args);

// One poll of the connection.
void MessageCheckTimer();

// Gives Globals::client a fresh, unconnected connection. A tick may be
// reading from the old one (a handler reconnecting): it is kept until the
// tick ends.
void RenewClient();

#endif
