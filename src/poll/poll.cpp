#include "poll/poll.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "module/console.h"
#include "module/globals.h"
#include "module/no_throw.h"
#include "net/connection.h"
#include "platform/fingerprint.h"
#include "platform/secret.h"
#include "platform/socket_watch.h"
#include "platform/timer.h"
#include "platform/trace.h"
#include "protocol/dispatch.h"
#include "protocol/events.h"
#include "protocol/caps.h"
#include "protocol/sts.h"

std::chrono::steady_clock::time_point (*tick_clock)() = &std::chrono::steady_clock::now;

namespace {

using Clock = std::chrono::steady_clock;

// Static, so its destructor stops the timer when the module is unloaded.
platform::PeriodicTimer poll_timer;
unsigned poll_period = kPollPeriodMs;
// Wakes the poll when the link's socket has something; static for the same
// reason.
platform::SocketWatch socket_watch;
PollRuns runs;

// A handler that pumps the host's message loop would re-enter the poll;
// the nested tick waits its turn so lines keep their order.
bool in_tick = false;
// Where on the stack the running tick's frame is.
std::uintptr_t tick_frame = 0;
// Connections replaced during the tick; the tick may still hold one.
std::vector<std::unique_ptr<Connection>> retired;

// Whether a tick whose frame is at `frame` may run. A tick can end without
// unwinding: Windows' DispatchMessage swallows an access violation raised
// in a timer callback, and no destructor runs. in_tick would then stay set
// and the poll go deaf for good. A nested tick runs deeper on the stack
// (lower: the stack grows down on every target) than the live tick it
// interrupts; one that finds in_tick set but is not deeper was started by
// the loop anew, so the tick that set it is gone.
bool MayRun(std::uintptr_t frame) {
    if (!in_tick) return true;
    if (frame < tick_frame) return false;
    platform::DebuggerTrace("[POLL] ", "the previous poll ended abnormally");
    ConsoleWarning("the previous poll ended abnormally");
    return true;
}

struct TickGuard {
    explicit TickGuard(std::uintptr_t frame) {
        in_tick = true;
        tick_frame = frame;
    }
    ~TickGuard() {
        in_tick = false;
        retired.clear();
    }
    TickGuard(const TickGuard&) = delete;
    TickGuard& operator=(const TickGuard&) = delete;
};

void RunPoll() {
    NoThrow([] {
        MessageCheckTimer();
        return 0;
    });
    // A tick may have sent credentials or encrypted them (see NoThrowScriptFunction).
    platform::WipeRegisters();
}

// A wake runs the tick at once. While a backlog waits the socket is not
// watched: the backlog's timer takes the rest, so a flood gets at most a
// budget per backlog period of the host's thread, as without wakes.
void WatchLink(bool backlog) {
    platform::SocketInterest want;
    if (!backlog && Globals::client) want = Globals::client->Interest();
    socket_watch.Follow(want, [] {
        ++runs.wakes;
        RunPoll();
    });
}

void SetPeriod(unsigned ms) {
    if (ms == poll_period) return;
    poll_period = ms;
    poll_timer.SetPeriod(ms);
}

// Hands the link's lines to the dispatcher until they run out or the
// budget does; true when lines may be left over. Only the link in hand is
// read: once a handler closes or replaces it, the rest of what it brought
// is dropped, so no reply of an old link can reach a new one.
bool DispatchLines(Connection& link, Clock::time_point deadline) {
    LineReader& in = link.Input();
    Clock::time_point last = tick_clock();
    Clock::duration read_cost{};
    for (;;) {
        std::string_view line;
        if (!in.Next(line, Globals::settings.utf8)) {
            // A read (a chunk's worth of lines) is started only if one as
            // slow as the last still fits.
            if (last + read_cost >= deadline) return true;
            if (!link.ReadMore()) return false;
            const Clock::time_point now = tick_clock();
            read_cost = now - last;
            last = now;
            continue;
        }
        // A line whose handling throws costs that line only.
        NoThrow([line] {
            ProcessLine(line, true);
            return 0;
        });
        if (Globals::client.get() != &link || !link.IsConnected()) return false;
        // After every line: a slow handler cannot be told from a quick one
        // before it has run. The next line is taken only if one as slow as
        // this one still fits, so a tick of quick lines ends within its
        // budget, not a line past it.
        const Clock::time_point now = tick_clock();
        if (now + (now - last) >= deadline) return true;
        last = now;
    }
}

// A link that ended other than by irc.Close is told to the scripts once,
// from here, never from inside a script's own call; a connect that failed
// is told the same way, and on the console.
void ReportLoss(Connection& link) {
    // While the module is shut no event reaches the scripts: the loss waits
    // for the next opening, or a bot reopened would think itself linked.
    if (gLua == nullptr) return;
    std::string reason;
    if (!link.TakeLoss(reason)) return;
    StsLinkEnded(link);
    constexpr std::string_view kConnectFailed = "Connect failed: ";
    if (reason.starts_with(kConnectFailed)) {
        platform::DebuggerTrace("[CONNECT FAILED] ", std::string_view(reason).substr(kConnectFailed.size()));
        ConsoleWarning(reason);
    } else {
        platform::DebuggerTrace("[DISCONNECTED] ", reason);
        // The server's own words (a K-line, a wrong password) are worth a
        // console line, as a failed connect is.
        if (reason.starts_with("Connection closed by the server: ")) ConsoleWarning(reason);
    }
    RaiseEvent("IRC_Disconnected", {reason});
}

// A link that took any certificate names the one it took, once it is up,
// so that the user can pin it.
void ReportUnverified(const Connection& link) {
    if (link.LinkSecurity().kind != platform::Security::TlsUnverified) return;
    std::string text = "TLS without a certificate check: the link to " + link.Host() + " is not verified";
    if (const auto& seen = link.session().server_certificate)
        text += "; the server's certificate has the SHA-256 fingerprint " + platform::FingerprintText(*seen) +
                " (irc.Connect takes it in place of \"insecure\" to pin it)";
    ConsoleWarning(text);
}

}  // namespace

void StartPollTimer() {
    poll_timer.Start(poll_period, OnTimer);
    if (Globals::client && Globals::client->IsConnecting()) SetPeriod(kBacklogPeriodMs);
    if (!in_tick) WatchLink(false);
}

void StopPollTimer() {
    poll_timer.Stop();
    socket_watch.Stop();
    poll_period = kPollPeriodMs;
}

bool SocketWatched() { return socket_watch.Watched().sock != platform::kNoSocket; }

bool PollTimerRunning() { return poll_timer.Running(); }

unsigned PollPeriodMs() { return poll_period; }

PollRuns PollRunCount() { return runs; }

void OnTimer(void*) {
    ++runs.ticks;
    RunPoll();
}

void MessageCheckTimer() {
    const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (!MayRun(frame)) {
        // A handler pumping the loop would be woken again and again by
        // what the tick below it has yet to read; that tick watches anew.
        socket_watch.Stop();
        return;
    }
    TickGuard guard(frame);
    const auto deadline = tick_clock() + (kTickBudget - kTickReserve);

    Connection* link = Globals::client.get();
    if (link == nullptr) return socket_watch.Stop();
    if (link->Advance()) ReportUnverified(*link);
    link->Flush();
    link->BeginBatch();
    const bool backlog = link->IsConnected() && DispatchLines(*link, deadline);
    // Still held by the tick if a handler replaced it (RenewClient).
    link->EndBatch();
    // Read first: a server heard from in this very tick is alive.
    if (Globals::client.get() == link) link->CheckAlive();
    // A connect under way (a handler's new one too) is looked at as often
    // as a backlog, so it is ready soon after the server answers.
    const bool connecting = Globals::client && Globals::client->IsConnecting();
    SetPeriod(backlog || connecting ? kBacklogPeriodMs : kPollPeriodMs);
    if (Globals::client) {
        CheckNegotiationTime(*Globals::client);
        ReportLoss(*Globals::client);
    }
    // After the handlers: one may have closed or replaced the link.
    WatchLink(backlog && Globals::client.get() == link);
}

void RenewClient() {
    auto old = std::exchange(Globals::client, std::make_unique<Connection>());
    if (in_tick && old) retired.push_back(std::move(old));
}
