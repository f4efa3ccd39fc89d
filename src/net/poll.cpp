#include "net/poll.h"

#include <string>
#include <string_view>

#include "module/globals.h"
#include "module/no_throw.h"
#include "net/connection.h"
#include "platform/timer.h"
#include "protocol/dispatch.h"

namespace {

// Static, so its destructor stops the timer when the module is unloaded.
platform::PeriodicTimer poll_timer;

// A handler that pumps the host's message loop would re-enter the poll;
// the nested tick waits its turn so lines keep their order.
bool in_tick = false;

struct TickGuard {
    TickGuard() { in_tick = true; }
    ~TickGuard() { in_tick = false; }
    TickGuard(const TickGuard&) = delete;
    TickGuard& operator=(const TickGuard&) = delete;
};

// Reads what is waiting into `text`, after the text carried from the last
// read. False when there was nothing or the link failed.
bool ReadWaiting(Connection& link, std::string& text) {
    std::size_t waiting = link.BytesWaiting();
    if (waiting == 0) return false;
    text = std::move(link.Remainder());
    link.Remainder().clear();
    std::size_t carried = text.size();
    text.resize(carried + waiting);
    std::size_t got = link.Receive({text.data() + carried, waiting});
    text.resize(carried + got);
    if (got == 0) {
        if (link.IsConnected()) link.Remainder() = std::move(text);
        return false;
    }
    // The module speaks 7-bit ASCII; a byte above it stands for nothing
    // the module can name, so it arrives as '?'.
    for (std::size_t i = carried; i < text.size(); ++i)
        if (static_cast<unsigned char>(text[i]) > 0x7F) text[i] = '?';
    return true;
}

}  // namespace

void StartPollTimer() { poll_timer.Start(kPollPeriodMs, OnTimer); }

void StopPollTimer() { poll_timer.Stop(); }

bool PollTimerRunning() { return poll_timer.Running(); }

void OnTimer(void*) {
    NoThrow([] {
        MessageCheckTimer();
        return 0;
    });
}

void MessageCheckTimer() {
    if (in_tick) return;
    TickGuard guard;

    Connection* link = Globals::client.get();
    if (link == nullptr || !link->IsConnected()) return;
    std::string text;
    if (!ReadWaiting(*link, text)) {
        // Nothing new; a lost link gives up its unterminated tail.
        if (!link->IsConnected()) link->Remainder().clear();
        return;
    }

    // The tail after the last CR LF is settled before any line goes out: a
    // handler may close or replace the link, and nothing here may touch it
    // after that.
    std::string_view all = text;
    std::size_t end = all.rfind("\r\n");
    std::size_t complete = end == std::string_view::npos ? 0 : end + 2;
    std::string_view tail = all.substr(complete);
    bool tail_is_line = tail.size() > kMaxCarry;
    if (!tail_is_line && link->IsConnected()) link->Remainder().assign(tail);

    // A line whose handling throws costs that line only.
    auto dispatch = [](std::string_view line) {
        NoThrow([line] {
            ProcessLine(line);
            return 0;
        });
    };
    std::string_view lines = all.substr(0, complete);
    while (!lines.empty()) {
        std::size_t at = lines.find("\r\n");
        dispatch(lines.substr(0, at));
        lines.remove_prefix(at + 2);
    }
    if (tail_is_line) dispatch(tail);
}
