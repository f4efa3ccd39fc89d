// The process message loop and the poll timer on it: which thread runs a
// callback, how missed ticks are paid back, and that the module never holds
// more than one timer.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>
#include <chrono>
#include <thread>

#include "module/globals.h"
#include "module_fixture.h"
#include "net/connection.h"
#include "poll/poll.h"
#include "platform/loop.h"
#include "platform/timer.h"

using namespace std::chrono_literals;

namespace {

struct Ticks {
    int runs = 0;
    std::thread::id thread;
    unsigned kill_on_run[2] = {0, 0};
};

void CountTick(void* context) {
    auto* t = static_cast<Ticks*>(context);
    ++t->runs;
    t->thread = std::this_thread::get_id();
    for (unsigned id : t->kill_on_run)
        if (id != 0) qv_loop_kill_timer(id);
}

// Kills the timer however the test ends, so no later test runs a callback
// whose context is gone.
struct LoopTimer {
    explicit LoopTimer(unsigned period_ms, Ticks& t) : id(qv_loop_set_timer(period_ms, CountTick, &t)) {}
    ~LoopTimer() { qv_loop_kill_timer(id); }
    unsigned id;
};

// Both ends of a local stream, closed however the test ends.
struct SocketPair {
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd), 0); }
    ~SocketPair() {
        close(fd[0]);
        close(fd[1]);
    }
    void Send(const char* text) const { EXPECT_GT(write(fd[1], text, std::strlen(text)), 0); }
    void Fill() const {
        static const char block[4096] = {};
        while (write(fd[0], block, sizeof block) > 0) {
        }
    }
    int fd[2] = {-1, -1};
};

struct FdRuns {
    int runs = 0;
    unsigned unwatch_on_run = 0;
};

void CountReady(void* context) {
    auto* r = static_cast<FdRuns*>(context);
    ++r->runs;
    if (r->unwatch_on_run != 0) qv_loop_unwatch_fd(r->unwatch_on_run);
}

// Stops the watch however the test ends.
struct LoopWatch {
    LoopWatch(int fd, bool write, FdRuns& r) : id(qv_loop_watch_fd(fd, write ? 1 : 0, CountReady, &r)) {}
    ~LoopWatch() { qv_loop_unwatch_fd(id); }
    unsigned id;
};

}  // namespace

TEST(MessageLoop, ATimerRunsOnlyWhenItsOwnThreadPumps) {
    Ticks ticks;
    LoopTimer timer(10, ticks);
    EXPECT_NE(timer.id, 0u);

    unsigned seen_by_other = 99;
    int dispatched_by_other = -1;
    std::thread other([&] {
        seen_by_other = qv_loop_timer_count();
        dispatched_by_other = qv_loop_dispatch_one(200);
    });
    other.join();
    EXPECT_EQ(seen_by_other, 0u);
    EXPECT_EQ(dispatched_by_other, 0);
    EXPECT_EQ(ticks.runs, 0);

    for (int i = 0; i < 100 && ticks.runs == 0; ++i) qv_loop_dispatch_one(50);
    EXPECT_EQ(ticks.runs, 1);
    EXPECT_EQ(ticks.thread, std::this_thread::get_id());
}

TEST(MessageLoop, MissedTicksRunOnceLateNotAsABurst) {
    Ticks ticks;
    LoopTimer timer(200, ticks);
    std::this_thread::sleep_for(1500ms);  // several periods missed
    int ran = 0;
    for (int i = 0; i < 20; ++i) ran += qv_loop_dispatch_one(0);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(ticks.runs, 1);
}

TEST(MessageLoop, ACallbackMayKillItselfAndAnotherDueTimer) {
    Ticks first, second;
    LoopTimer a(10, first);
    LoopTimer b(10, second);
    first.kill_on_run[0] = a.id;
    first.kill_on_run[1] = b.id;
    std::this_thread::sleep_for(50ms);  // both due; a the most overdue
    EXPECT_EQ(qv_loop_dispatch_one(1000), 1);
    EXPECT_EQ(qv_loop_timer_count(), 0u);
    EXPECT_EQ(qv_loop_dispatch_one(100), 0);
    EXPECT_EQ(first.runs, 1);
    EXPECT_EQ(second.runs, 0);
}

TEST(MessageLoop, WakeupEndsAWait) {
    std::thread waker([] {
        std::this_thread::sleep_for(100ms);
        qv_loop_wakeup();
    });
    auto start = std::chrono::steady_clock::now();
    int r = qv_loop_dispatch_one(30000);
    auto waited = std::chrono::steady_clock::now() - start;
    waker.join();
    EXPECT_EQ(r, 0);
    EXPECT_LT(waited, 5s);
}

// The host times a callback apart from its wait: waiting must run nothing
// and leave the due timer for the dispatch that follows.
TEST(MessageLoop, WaitRunsNothingAndLeavesTheDueTimer) {
    EXPECT_EQ(qv_loop_next_due_ms(), -1);
    Ticks ticks;
    LoopTimer timer(20, ticks);
    int left = qv_loop_next_due_ms();
    EXPECT_GE(left, 0);
    EXPECT_LE(left, 20);
    EXPECT_EQ(qv_loop_wait(30000), 1);
    EXPECT_EQ(ticks.runs, 0);
    EXPECT_EQ(qv_loop_next_due_ms(), 0);
    EXPECT_EQ(qv_loop_dispatch_one(0), 1);
    EXPECT_EQ(ticks.runs, 1);
}

TEST(MessageLoop, AWatchedDescriptorRunsWhileReadyAndOnlyOnItsThread) {
    SocketPair pair;
    FdRuns ready;
    LoopWatch watch(pair.fd[0], false, ready);
    EXPECT_NE(watch.id, 0u);
    EXPECT_EQ(qv_loop_watch_count(), 1u);
    EXPECT_EQ(qv_loop_dispatch_one(0), 0);  // nothing to read yet
    pair.Send("x");
    int other_saw = -1, other_ran = -1;
    std::thread other([&] {
        other_saw = static_cast<int>(qv_loop_watch_count());
        other_ran = qv_loop_dispatch_one(0);
    });
    other.join();
    EXPECT_EQ(other_saw, 0);
    EXPECT_EQ(other_ran, 0);
    // Waiting runs nothing and leaves the descriptor to the dispatch after.
    EXPECT_EQ(qv_loop_wait(30000), 1);
    EXPECT_EQ(ready.runs, 0);
    EXPECT_EQ(qv_loop_dispatch_one(0), 1);
    // Level-triggered: unread bytes call again.
    EXPECT_EQ(qv_loop_dispatch_one(0), 1);
    EXPECT_EQ(ready.runs, 2);
    char c;
    EXPECT_EQ(read(pair.fd[0], &c, 1), 1);
    EXPECT_EQ(qv_loop_dispatch_one(0), 0);
    // The peer's end counts as ready: the reader learns of it at once.
    close(std::exchange(pair.fd[1], -1));
    EXPECT_EQ(qv_loop_dispatch_one(0), 1);
    EXPECT_EQ(ready.runs, 3);
}

TEST(MessageLoop, AWatchMayStopItselfAndADueTimerRunsFirst) {
    SocketPair pair;
    FdRuns ready;
    LoopWatch watch(pair.fd[0], false, ready);
    ready.unwatch_on_run = watch.id;
    Ticks ticks;
    LoopTimer timer(10, ticks);
    ticks.kill_on_run[0] = timer.id;
    pair.Send("x");
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(qv_loop_dispatch_one(0), 1);
    EXPECT_EQ(ticks.runs, 1);
    EXPECT_EQ(ready.runs, 0);
    EXPECT_EQ(qv_loop_dispatch_one(0), 1);
    EXPECT_EQ(ready.runs, 1);
    EXPECT_EQ(qv_loop_watch_count(), 0u);
    EXPECT_EQ(qv_loop_dispatch_one(0), 0);
    EXPECT_EQ(ready.runs, 1);
}

TEST(MessageLoop, ManyReadyDescriptorsTakeTurns) {
    constexpr int kPairs = 40;
    std::vector<std::unique_ptr<SocketPair>> pairs;
    std::vector<FdRuns> runs(kPairs);
    std::vector<std::unique_ptr<LoopWatch>> watches;
    for (int i = 0; i < kPairs; ++i) {
        pairs.push_back(std::make_unique<SocketPair>());
        watches.push_back(std::make_unique<LoopWatch>(pairs.back()->fd[0], false, runs[i]));
        pairs.back()->Send("x");  // and never read: each stays ready
    }
    for (int i = 0; i < 2 * kPairs; ++i) EXPECT_EQ(qv_loop_dispatch_one(0), 1);
    for (const FdRuns& r : runs) EXPECT_EQ(r.runs, 2);
}

TEST(MessageLoop, WriteInterestWakesOnlyWhenAskedAndWhenThereIsRoom) {
    SocketPair pair;
    FdRuns read_only, writing;
    {
        LoopWatch watch(pair.fd[0], false, read_only);
        EXPECT_EQ(qv_loop_dispatch_one(0), 0);
    }
    pair.Fill();
    LoopWatch watch(pair.fd[0], true, writing);
    EXPECT_EQ(qv_loop_dispatch_one(0), 0);  // full: no room yet
    std::vector<char> sink(1 << 20);
    while (read(pair.fd[1], sink.data(), sink.size()) > 0) {
    }
    EXPECT_EQ(qv_loop_dispatch_one(1000), 1);
    EXPECT_EQ(read_only.runs, 0);
    EXPECT_EQ(writing.runs, 1);
}

TEST(MessageLoop, PeriodicTimerStartsOnceAndStopsWhenDestroyed) {
    {
        platform::PeriodicTimer timer;
        EXPECT_TRUE(timer.Start(10, OnTimer));
        EXPECT_TRUE(timer.Start(10, OnTimer));
        EXPECT_EQ(qv_loop_timer_count(), 1u);
    }
    EXPECT_EQ(qv_loop_timer_count(), 0u);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(qv_loop_dispatch_one(0), 0);
}

class PollTimer : public ModuleTest {};

TEST_F(PollTimer, OneTimerWhateverTheScriptsDo) {
    EXPECT_FALSE(PollTimerRunning());
    LoopbackServer first;
    ConnectToServer(first);
    EXPECT_EQ(qv_loop_timer_count(), 1u);

    EXPECT_EQ(host.CallIrc("Connect", {std::string("127.0.0.1"), first.port(), std::string("b"), std::string("u"),
                                       std::string("r")}),
              std::vector<std::string>{"Invalid Socket!"});
    EXPECT_EQ(qv_loop_timer_count(), 1u);

    host.CallIrc("Close");
    LoopbackServer second;
    ConnectToServer(second);
    EXPECT_EQ(qv_loop_timer_count(), 1u);

    // The one timer polls the new link.
    second.Write("PING :2\r\n");
    EXPECT_TRUE(PumpUntil([&] { return !host.hook_calls.empty(); }));
    EXPECT_EQ(qv_loop_timer_count(), 1u);
}

TEST(MessageLoop, AFailingPollWaitsInsteadOfSpinning) {
    // poll fails at once when asked for more descriptors than the limit.
    qv_loop_timer_count();  // the loop and its wakeup pipe exist before that
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit none{0, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    const auto start = std::chrono::steady_clock::now();
    const int ran = qv_loop_dispatch_one(300);
    const auto wall = std::chrono::steady_clock::now() - start;
    getrusage(RUSAGE_THREAD, &after);
    setrlimit(RLIMIT_NOFILE, &saved);
    auto cpu = [](const rusage& u) {
        return std::chrono::seconds(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               std::chrono::microseconds(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
    };
    EXPECT_EQ(ran, 0);
    EXPECT_GE(wall, 250ms);
    EXPECT_LT(cpu(after) - cpu(before), wall / 4);
}
