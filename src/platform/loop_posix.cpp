// The process's message loop: per-thread periodic timers and descriptor
// watches, pumped by qv_loop_dispatch_one, woken through a self-pipe.
#include "platform/loop.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Timer {
    unsigned id;
    std::chrono::milliseconds period;
    Clock::time_point due;
    qv_timer_fn fn;
    void* context;
    std::thread::id owner;
};

struct Watch {
    unsigned id;
    int fd;
    short events;
    qv_timer_fn fn;
    void* context;
    std::thread::id owner;
};

struct Loop {
    std::mutex mutex;
    std::vector<Timer> timers;
    std::vector<Watch> watches;
    unsigned next_id = 1;
    unsigned next_watch_id = 1;
    // Where the search for a ready descriptor starts: after the one that
    // ran last, so a descriptor that stays ready cannot starve the others.
    std::size_t turn = 0;
    int wake_read = -1;
    int wake_write = -1;

    Loop() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            wake_read = fds[0];
            wake_write = fds[1];
        }
    }
};

// Never destroyed: a module unloaded during exit may still stop its timer
// after this library's statics would have run their destructors.
Loop& TheLoop() {
    static Loop* loop = new Loop;  // NOLINT(cppcoreguidelines-owning-memory)
    return *loop;
}

void DrainWakeups(int fd) {
    char buf[64];
    while (read(fd, buf, sizeof buf) > 0) {
    }
}

// The thread's timer that falls due first; the loop's mutex is held.
Timer* EarliestOf(Loop& loop, std::thread::id thread) {
    Timer* best = nullptr;
    for (Timer& t : loop.timers) {
        if (t.owner != thread) continue;
        if (best == nullptr || t.due < best->due) best = &t;
    }
    return best;
}

}  // namespace

extern "C" unsigned qv_loop_set_timer(unsigned period_ms, qv_timer_fn fn, void* context) {
    Loop& loop = TheLoop();
    std::lock_guard lock(loop.mutex);
    unsigned id = loop.next_id++;
    if (loop.next_id == 0) loop.next_id = 1;
    auto period = std::chrono::milliseconds(period_ms);
    loop.timers.push_back({id, period, Clock::now() + period, fn, context, std::this_thread::get_id()});
    return id;
}

extern "C" void qv_loop_set_period(unsigned id, unsigned period_ms) {
    Loop& loop = TheLoop();
    std::lock_guard lock(loop.mutex);
    for (Timer& t : loop.timers) {
        if (t.id != id) continue;
        t.period = std::chrono::milliseconds(period_ms);
        t.due = Clock::now() + t.period;
    }
}

extern "C" void qv_loop_kill_timer(unsigned id) {
    Loop& loop = TheLoop();
    std::lock_guard lock(loop.mutex);
    std::erase_if(loop.timers, [id](const Timer& t) { return t.id == id; });
}

extern "C" unsigned qv_loop_watch_fd(int fd, int want_write, qv_timer_fn fn, void* context) {
    Loop& loop = TheLoop();
    std::lock_guard lock(loop.mutex);
    unsigned id = loop.next_watch_id++;
    if (loop.next_watch_id == 0) loop.next_watch_id = 1;
    const short events = static_cast<short>(POLLIN | (want_write != 0 ? POLLOUT : 0));
    loop.watches.push_back({id, fd, events, fn, context, std::this_thread::get_id()});
    return id;
}

extern "C" void qv_loop_unwatch_fd(unsigned id) {
    Loop& loop = TheLoop();
    std::lock_guard lock(loop.mutex);
    std::erase_if(loop.watches, [id](const Watch& w) { return w.id == id; });
}

extern "C" unsigned qv_loop_watch_count(void) {
    Loop& loop = TheLoop();
    std::lock_guard lock(loop.mutex);
    auto self = std::this_thread::get_id();
    unsigned n = 0;
    for (const Watch& w : loop.watches) n += (w.owner == self);
    return n;
}

extern "C" unsigned qv_loop_timer_count(void) {
    Loop& loop = TheLoop();
    std::lock_guard lock(loop.mutex);
    auto self = std::this_thread::get_id();
    unsigned n = 0;
    for (const Timer& t : loop.timers) n += (t.owner == self);
    return n;
}

extern "C" void qv_loop_wakeup(void) {
    // Only write(2) here: this runs from signal handlers.
    int fd = TheLoop().wake_write;
    if (fd >= 0) {
        int saved = errno;
        ssize_t r = write(fd, "w", 1);
        (void)r;
        errno = saved;
    }
}

namespace {

// The callback of the first ready watch from the loop's turn on, moving
// the turn past it; the loop's mutex is held. Null when none of `ready`
// is still watched.
Watch* TakeTurn(Loop& loop, const std::vector<pollfd>& polled, const std::vector<unsigned>& ids) {
    const std::size_t n = ids.size();
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = (loop.turn + k) % n;
        if (polled[i + 1].revents == 0) continue;
        for (Watch& w : loop.watches) {
            if (w.id != ids[i]) continue;
            loop.turn = i + 1;
            return &w;
        }
    }
    return nullptr;
}

// Waits until one of this thread's timers is due or one of its descriptors
// is ready; with `run`, runs its callback. Returns 1 when one was, 0 at the
// deadline or on a wakeup.
int Pump(int wait_ms, bool run) {
    Loop& loop = TheLoop();
    auto self = std::this_thread::get_id();
    const auto deadline = wait_ms < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(wait_ms);
    // Kept from pump to pump, so a wait allocates nothing once warm. The
    // first entry is the wakeup pipe; then this thread's watches.
    thread_local std::vector<pollfd> polled;
    thread_local std::vector<unsigned> ids;
    bool looked_late = false;
    for (;;) {
        qv_timer_fn fn = nullptr;
        void* context = nullptr;
        bool due = false;
        auto wake_at = deadline;
        {
            std::lock_guard lock(loop.mutex);
            auto now = Clock::now();
            Timer* best = EarliestOf(loop, self);
            if (best != nullptr && best->due <= now) {
                due = true;
                if (run) {
                    // Re-arm from now, not from the missed due time, so a busy
                    // thread sees one late tick rather than a burst.
                    best->due = now + best->period;
                    fn = best->fn;
                    context = best->context;
                }
            } else if (best != nullptr && best->due < wake_at) {
                wake_at = best->due;
            }
            polled.assign(1, pollfd{loop.wake_read, POLLIN, 0});
            ids.clear();
            for (const Watch& w : loop.watches) {
                if (w.owner != self) continue;
                polled.push_back({w.fd, w.events, 0});
                ids.push_back(w.id);
            }
        }
        if (due) {
            if (fn != nullptr) fn(context);
            return 1;
        }
        auto now = Clock::now();
        // Past the deadline the descriptors are still looked at, once.
        if (now >= deadline && (ids.empty() || looked_late)) return 0;
        looked_late = now >= deadline;
        int timeout = -1;
        if (now >= wake_at) {
            timeout = 0;
        } else if (wake_at != Clock::time_point::max()) {
            // Round up: waking a fraction of a millisecond early would spin.
            auto us = std::chrono::duration_cast<std::chrono::microseconds>(wake_at - now).count();
            timeout = static_cast<int>((us + 999) / 1000);
        }
        // A negative descriptor is skipped by poll: the pipe's, if it failed.
        int r = poll(polled.data(), polled.size(), timeout);
        if (r > 0) {
            Watch* ready = nullptr;
            {
                std::lock_guard lock(loop.mutex);
                ready = TakeTurn(loop, polled, ids);
                if (ready != nullptr) {
                    fn = ready->fn;
                    context = ready->context;
                }
            }
            if (ready != nullptr) {
                if (run && fn != nullptr) fn(context);
                return 1;
            }
            if (polled[0].revents != 0) {
                DrainWakeups(loop.wake_read);
                return 0;
            }
            // Only watches stopped meanwhile were ready: look again.
            continue;
        }
        if (r < 0 && errno == EINTR) return 0;
        if (r < 0) {
            // poll itself failed (no memory, a descriptor limit of zero):
            // wait by the clock instead, or this loop would spin. Wakeups
            // are then seen late, by at most one such nap.
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout < 0 || timeout > 50 ? 50 : timeout));
        }
    }
}

}  // namespace

extern "C" int qv_loop_dispatch_one(int wait_ms) { return Pump(wait_ms, true); }

extern "C" int qv_loop_wait(int wait_ms) { return Pump(wait_ms, false); }

extern "C" int qv_loop_next_due_ms(void) {
    Loop& loop = TheLoop();
    std::lock_guard lock(loop.mutex);
    const Timer* best = EarliestOf(loop, std::this_thread::get_id());
    if (best == nullptr) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(best->due - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(left);
}
