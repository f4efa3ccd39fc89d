// The receive poll: every 100 ms, on the host's thread, the bytes waiting
// are read, cut into lines and dispatched.
#ifndef QV_NET_POLL_H
#define QV_NET_POLL_H

#include <cstddef>

// A server that never ends its line may not grow memory without bound:
// past this much unterminated text, the text is dispatched as a line.
constexpr std::size_t kMaxCarry = 64 * 1024;
constexpr unsigned kPollPeriodMs = 100;

// Starts the PollTimer; at most one runs per process, however often asked.
void StartPollTimer();
void StopPollTimer();
bool PollTimerRunning();

// The timer callback: ignores its arguments and polls once.
void OnTimer(void* platform_args);

// One poll of the connection.
void MessageCheckTimer();

#endif
