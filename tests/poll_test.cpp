// The receive poll, driven by the message loop's ticks against a loopback
// server that writes chosen bytes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "module/globals.h"
#include "module_fixture.h"
#include "net/connection.h"
#include "poll/poll.h"
#include "platform/loop.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Args = std::vector<std::optional<std::string>>;

namespace {

const std::optional<std::string> nil;

bool IsRawLine(const HookCall& call, std::string_view line) {
    return call.args.size() == 4 && call.args[0] == "IRC_RawData" && call.args[2] == line;
}

std::vector<Arg> ConnectArgs(const LoopbackServer& server, std::string realname = "Real Name") {
    return {std::string("127.0.0.1"), server.port(), std::string("bot"), std::string("u"), std::move(realname)};
}

class Ticked : public ModuleTest {
protected:
    bool PumpUntilReceived(LoopbackServer& peer, std::string_view text) {
        return PumpUntil([&] { return peer.ReadUntil(text, 20).find(text) != std::string::npos; });
    }
    bool PumpUntilEvents(std::size_t n, int timeout_ms = 3000) {
        return PumpUntil([&] { return host.hook_calls.size() >= n; }, timeout_ms);
    }
    // The lines the scripts saw, from the IRC_RawData events.
    std::vector<std::string> RawLines() const {
        std::vector<std::string> lines;
        for (const HookCall& c : host.hook_calls)
            if (c.args.size() == 4 && c.args[0] == "IRC_RawData") lines.push_back(c.args[2].value_or("<nil>"));
        return lines;
    }
};

class Poll : public Ticked {
protected:
    void SetUp() override {
        Ticked::SetUp();
        ConnectToServer(server);
        Globals::bDebug = false;
    }
    std::size_t Buffered() { return Globals::client->Input().Buffered(); }

    LoopbackServer server;
};

}  // namespace

TEST_F(Poll, ThreeLinesOfOneReadGoOutInOrderWithinOneTick) {
    server.Write("one\r\ntwo\r\nthree\r\n");
    std::vector<std::size_t> per_tick;
    for (int i = 0; i < 300 && host.hook_calls.size() < 3; ++i) {
        std::size_t before = host.hook_calls.size();
        PumpOnce(10);
        if (host.hook_calls.size() != before) per_tick.push_back(host.hook_calls.size() - before);
    }
    EXPECT_THAT(per_tick, ElementsAre(3u));
    EXPECT_THAT(RawLines(), ElementsAre("one", "two", "three"));
}

TEST_F(Poll, ALineIsHandledWhenItArrivesNotAtTheNextTick) {
    ASSERT_TRUE(SocketWatched());
    // Right after a tick, so the next one is a whole period away.
    const unsigned long ticks = PollRunCount().ticks;
    ASSERT_TRUE(PumpUntil([&] { return PollRunCount().ticks > ticks; }));
    const PollRuns before = PollRunCount();
    PollRuns seen;
    host.on_hook = [&](const HookCall&) { seen = PollRunCount(); };
    server.Write("PING :now\r\n");
    ASSERT_TRUE(PumpUntilEvents(1));
    EXPECT_EQ(seen.ticks, before.ticks);
    EXPECT_EQ(seen.wakes, before.wakes + 1);
    // The answer goes out in the same wake.
    EXPECT_EQ(PollRunCount().ticks, before.ticks);
    EXPECT_NE(server.ReadUntil("PONG :now\r\n", 200).find("PONG :now\r\n"), std::string::npos);
    EXPECT_TRUE(SocketWatched());
}

TEST_F(Poll, OnlyCrLfEndsALineAndHighBytesArriveAsQuestionMarks) {
    server.Write("PING :x\r\n\r\na\rb\nc\r\ncaf\xE9\x7F\x80\xFF\r\n");
    ASSERT_TRUE(PumpUntilEvents(4));
    EXPECT_THAT(RawLines(), ElementsAre("PING :x", "", "a\rb\nc", "caf?\x7F??"));
    std::size_t from = server.received().size();
    EXPECT_EQ(server.ReadUntil("\r\n", 2000, from).substr(from), "PONG :x\r\n");
}

TEST_F(Poll, ALineSplitAcrossReadsArrivesWhole) {
    server.Write(":alice!ali PRIVMSG #lo");
    ASSERT_TRUE(PumpUntil([&] { return Buffered() > 0; }));
    EXPECT_THAT(host.hook_calls, IsEmpty());
    server.Write("bby :hi\r\n");
    ASSERT_TRUE(PumpUntilEvents(2));
    EXPECT_THAT(RawLines(), ElementsAre(":alice!ali PRIVMSG #lobby :hi"));
    EXPECT_EQ(host.hook_calls[1].args, (Args{"IRC_OnChat", nil, "alice", "#lobby", "hi", nil, nil}));

    // Even the CR LF itself may be split.
    server.Write("x\r");
    ASSERT_TRUE(PumpUntil([&] { return Buffered() == 2; }));
    server.Write("\ny\r\n");
    ASSERT_TRUE(PumpUntilEvents(4));
    EXPECT_THAT(RawLines(), ElementsAre(":alice!ali PRIVMSG #lobby :hi", "x", "y"));
    EXPECT_EQ(Buffered(), 0u);
}

TEST_F(Poll, ALineLongerThan64KiBGoesOnIn64KiBPieces) {
    const std::string big(100 * 1024, 'A');
    std::atomic<bool> written = false;
    // Written from another thread: the socket buffers may not hold it all
    // until the poll reads.
    std::thread writer([&] {
        server.Write(big + "\r\n");
        written = true;
    });
    bool arrived = PumpUntil([&] { return written && host.hook_calls.size() >= 2; }, 20000);
    writer.join();
    ASSERT_TRUE(arrived);
    auto lines = RawLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), 65536u);
    EXPECT_EQ(lines[0] + lines[1], big);
    EXPECT_EQ(Buffered(), 0u);
}

TEST_F(Poll, AFloodIsHandledInBoundedTicksInOrder) {
    // Each line costs its handler more than a tick's budget, so every tick
    // may handle one line only, and the poll comes back soon while lines wait.
    std::vector<std::size_t> per_tick;
    std::vector<unsigned> periods;
    host.on_hook = [&](const HookCall&) { std::this_thread::sleep_for(std::chrono::milliseconds(5)); };
    std::string burst;
    for (int i = 0; i < 20; ++i) burst += "line " + std::to_string(i) + "\r\n";
    server.Write(burst);
    const unsigned long wakes = PollRunCount().wakes;
    bool watched_with_backlog = false;
    for (int i = 0; i < 2000 && host.hook_calls.size() < 20; ++i) {
        std::size_t before = host.hook_calls.size();
        PumpOnce(10);
        if (host.hook_calls.size() == before) continue;
        per_tick.push_back(host.hook_calls.size() - before);
        periods.push_back(PollPeriodMs());
        if (host.hook_calls.size() < 20 && SocketWatched()) watched_with_backlog = true;
    }
    // While lines wait the socket wakes nobody: the backlog's timer has
    // them, so a flood gets no more of the host's thread than it would
    // without wakes.
    EXPECT_FALSE(watched_with_backlog);
    EXPECT_LE(PollRunCount().wakes, wakes + 1);
    std::vector<std::string> expected;
    for (int i = 0; i < 20; ++i) expected.push_back("line " + std::to_string(i));
    EXPECT_EQ(RawLines(), expected);
    EXPECT_EQ(per_tick, std::vector<std::size_t>(20, 1));
    EXPECT_EQ(periods.front(), 10u);
    PumpFor(100);
    EXPECT_EQ(PollPeriodMs(), 100u);
    EXPECT_TRUE(SocketWatched());
}

TEST_F(Poll, SlowLinesAfterQuickOnesStillEndTheTickAtTheBudget) {
    // Quick lines first, then lines whose handler costs more than a tick's
    // budget, or half of it, so that a second one would not fit: no tick
    // may run on for more than one slow line.
    for (const int cost_ms : {5, 2}) {
        std::vector<std::size_t> slow_per_tick;
        std::size_t slow = 0;
        host.on_hook = [&](const HookCall& c) {
            if (c.args.size() != 4 || c.args[0] != "IRC_RawData" || !c.args[2]->starts_with("slow")) return;
            ++slow;
            std::this_thread::sleep_for(std::chrono::milliseconds(cost_ms));
        };
        std::string burst;
        for (int i = 0; i < 3; ++i) burst += "quick " + std::to_string(i) + "\r\n";
        for (int i = 0; i < 16; ++i) burst += "slow " + std::to_string(i) + "\r\n";
        server.Write(burst);
        for (int i = 0; i < 2000 && slow < 16; ++i) {
            const std::size_t before = slow;
            PumpOnce(10);
            if (slow != before) slow_per_tick.push_back(slow - before);
        }
        ASSERT_EQ(slow, 16u) << cost_ms;
        EXPECT_LE(*std::max_element(slow_per_tick.begin(), slow_per_tick.end()), 1u)
            << cost_ms << " ms: " << slow_per_tick.size() << " ticks";
    }
}

TEST_F(Poll, QuickLinesFillATickToItsBudgetOnTheSteppedClock) {
    // Each line costs 100 us on a clock stepped by hand: a tick takes a line
    // while one more still fits in 4 ms less the 100 us kept for its end,
    // 38 lines, never one more and never a tick cut short.
    static std::chrono::steady_clock::time_point now{};
    tick_clock = [] { return now; };
    host.on_hook = [&](const HookCall& c) {
        if (c.args[0] == "IRC_RawData") now += std::chrono::microseconds(100);
    };
    std::string burst;
    for (int i = 0; i < 100; ++i) burst += "line " + std::to_string(i) + "\r\n";
    server.Write(burst);
    std::vector<std::size_t> per_tick;
    for (int i = 0; i < 200 && host.hook_calls.size() < 100; ++i) {
        const std::size_t before = host.hook_calls.size();
        PumpOnce(10);
        if (host.hook_calls.size() != before) per_tick.push_back(host.hook_calls.size() - before);
    }
    EXPECT_EQ(per_tick, (std::vector<std::size_t>{38, 38, 24}));
}

TEST_F(Poll, APeerThatClosesIsReportedOnceAndConnectStartsAfresh) {
    const std::string x399(399, 'x');
    struct Case {
        std::string last;    // what the server says before it closes
        bool utf8;
        std::string reason;  // after "Connection closed by the server"
        bool reset = false;  // closes with a reset, as a server does with our bytes unread
    };
    // The server's own words, from its ERROR line, clean and on one line.
    const Case cases[] = {
        {"last\r\n", false, ""},
        {"ERROR :Closing Link: 127.0.0.1 (Bad password)\r\n", false, ": Closing Link: 127.0.0.1 (Bad password)"},
        {"ERROR :\r\n", false, ""},
        {"ERROR\r\n", false, ""},
        {":srv ERROR :K-lined\r\n:srv NOTICE bot :more\r\n", false, ": K-lined"},
        {"@time=1;a=b :srv ERROR :Banned\r\n", false, ": Banned"},
        // Our PONG to the PING ahead of it fails on the reset: the ERROR is
        // still read and told.
        {"PING :x\r\nERROR :Closing Link: 127.0.0.1 (Excess Flood)\r\n", false, ": Closing Link: 127.0.0.1 (Excess Flood)",
         true},
        // Line and paragraph separators, bidi embeddings, overrides and
        // isolates (U+2028-202E, U+2066-2069) are dropped; U+2027 and U+206A
        // around them are plain characters and stay.
        {"ERROR :a\xE2\x80\xA8" "b\xE2\x80\xA9" "c\xE2\x80\xAA" "d\xE2\x80\xAE" "e\xE2\x81\xA6" "f\xE2\x81\xA9"
         "g\xE2\x80\xA7\xE2\x81\xAA\r\n",
         true, ": abcdefg\xE2\x80\xA7\xE2\x81\xAA"},
        {"ERROR :a\x01" "b\tc\x7f\rd\nx\xC2\x9B" + x399 + "\r\n", true, ": abcdx" + x399.substr(0, 395)},
        {"ERROR :" + x399 + "\xE2\x82\xAC\r\n", true, ": " + x399},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.last);
        if (!Globals::client->IsConnected()) {
            server.TakeReceived();
            ConnectToServer(server);
        }
        host.ClearRecords();
        Globals::settings.utf8 = c.utf8;
        server.Write(c.last);
        if (c.reset)
            server.ResetClient();
        else
            server.CloseClient();
        ASSERT_TRUE(PumpUntil([&] { return Globals::client->State() == ConnectionState::Dropped; }));
        PumpFor(150);
        const std::vector<std::string> names = host.EventNames();
        ASSERT_EQ(names.back(), "IRC_Disconnected");
        EXPECT_EQ(std::count(names.begin(), names.end(), "IRC_Disconnected"), 1);
        EXPECT_EQ(host.hook_calls.back().args, (Args{"IRC_Disconnected", nil, "Connection closed by the server" + c.reason}));
        EXPECT_EQ(host.console.find("!! Connection closed by the server" + c.reason + "\n") != std::string::npos,
                  !c.reason.empty());
    }
    EXPECT_THAT(RawLines(), ElementsAre(std::string("ERROR :") + x399 + "\xE2\x82\xAC"));

    LoopbackServer next;
    EXPECT_THAT(host.CallIrc("Connect", ConnectArgs(next)), IsEmpty());
    ASSERT_TRUE(next.Accept());
    EXPECT_TRUE(PumpUntil([] { return Globals::client->IsConnected(); }));
    next.ReadUntil("Real Name\r\n");
    next.Write("PING :back\r\n");
    EXPECT_TRUE(PumpUntilReceived(next, "PONG :back\r\n"));
    EXPECT_EQ(qv_loop_timer_count(), 1u);
}

TEST_F(Poll, APeerThatResetsIsReportedWithTheSystemsReason) {
    // Also when our PONG is the write that finds the reset.
    for (const char* last : {"", "PING :x\r\n"}) {
        SCOPED_TRACE(last);
        if (!Globals::client->IsConnected()) {
            server.TakeReceived();
            ConnectToServer(server);
        }
        host.ClearRecords();
        server.Write(last);
        server.ResetClient();
        ASSERT_TRUE(PumpUntil([] { return Globals::client->State() == ConnectionState::Dropped; }));
        PumpFor(250);
        const std::vector<std::string> names = host.EventNames();
        ASSERT_EQ(std::count(names.begin(), names.end(), "IRC_Disconnected"), 1);
        EXPECT_EQ(host.hook_calls.back().args, (Args{"IRC_Disconnected", nil, "Connection reset by peer"}));
    }
}

TEST_F(Poll, ALinkLostWhileTheModuleIsShutIsReportedOnceItOpensAgain) {
    gmod_close(host.state);
    host.ClearRecords();
    server.ResetClient();
    ASSERT_TRUE(PumpUntil([] { return Globals::client->State() == ConnectionState::Dropped; }));
    PumpFor(250);
    EXPECT_THAT(host.EventNames(), IsEmpty());
    gmod_open(&host);
    PumpFor(250);
    EXPECT_THAT(host.EventNames(), ElementsAre("IRC_Disconnected"));
    EXPECT_EQ(host.hook_calls.back().args, (Args{"IRC_Disconnected", nil, "Connection reset by peer"}));
}

TEST_F(Poll, AnIdleLinkIsPolledTenTimesASecond) {
    // Generous bounds on a shared machine; a period of 1 s or 10 ms fails.
    int ticks = 0;
    const unsigned long wakes = PollRunCount().wakes;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < end) ticks += PumpOnce(10);
    EXPECT_GE(ticks, 4);
    EXPECT_LE(ticks, 12);
    // A watched socket with nothing on it wakes nobody.
    EXPECT_TRUE(SocketWatched());
    EXPECT_EQ(PollRunCount().wakes, wakes);
}

TEST_F(Poll, AHandlerClosingTheLinkDropsTheRestOfItsRead) {
    host.on_hook = [&](const HookCall& call) {
        if (IsRawLine(call, "one")) host.CallIrc("Close");
    };
    std::size_t from = server.received().size();
    server.Write("one\r\nPING :two\r\nthree\r\n");
    ASSERT_TRUE(PumpUntilEvents(1));
    PumpFor(300);
    EXPECT_THAT(RawLines(), ElementsAre("one"));
    EXPECT_EQ(Globals::client->State(), ConnectionState::Closed);
    // No PONG, and no IRC_Disconnected for a link the script closed.
    EXPECT_EQ(host.hook_calls.size(), 1u);
    EXPECT_EQ(server.ReadFor(300).substr(from), "QUIT :Leaving\r\n");
}

TEST_F(Poll, AHandlerReconnectingMidReadSendsNothingOfTheOldLinkToTheNewOne) {
    LoopbackServer next;
    host.on_hook = [&](const HookCall& call) {
        if (!IsRawLine(call, "one")) return;
        host.CallIrc("Close");
        host.CallIrc("Connect", ConnectArgs(next));
    };
    server.Write("one\r\nPING :old-server\r\n:a!b PRIVMSG bot :\x01VERSION\x01\r\npart");
    ASSERT_TRUE(PumpUntilEvents(1));
    ASSERT_TRUE(next.Accept());
    next.Write("new\r\n");
    ASSERT_TRUE(PumpUntilEvents(2));
    EXPECT_THAT(RawLines(), ElementsAre("one", "new"));
    EXPECT_EQ(next.ReadFor(300), "CAP LS 302\r\nPASS pvrkqo618\r\nNICK bot\r\nUSER u u u :Real Name\r\n");
}

TEST_F(Poll, AHandlerThatPumpsTheLoopDoesNotReorderLines) {
    host.on_hook = [&](const HookCall& call) {
        if (!IsRawLine(call, "a")) return;
        server.Write("d\r\n");
        PumpFor(300);
    };
    server.Write("a\r\nb\r\nc\r\n");
    const unsigned long wakes = PollRunCount().wakes;
    ASSERT_TRUE(PumpUntilEvents(4));
    EXPECT_THAT(RawLines(), ElementsAre("a", "b", "c", "d"));
    // The nested loop's first wake found the tick below it and stopped the
    // watch; else every nested pump would be woken by the unread "d".
    EXPECT_LE(PollRunCount().wakes, wakes + 4);
    // The nested ticks waited: none was taken for a new one after a lost tick.
    EXPECT_THAT(host.console, Not(HasSubstr("ended abnormally")));
}

TEST_F(Poll, ASilentServerIsProbedAtHalfItsTimeoutAndDroppedAtAllOfIt) {
    using std::chrono::seconds;
    IdleClock::Start();
    server.TakeReceived();
    // Each step: seconds of silence passed, then what the server does.
    auto after = [&](int s, std::string_view say = {}) {
        IdleClock::Advance(seconds(s));
        if (!say.empty()) server.Write(say);
        PumpFor(120);
        return server.ReadFor(20).empty() ? std::string() : server.TakeReceived();
    };
    // A busy link is never probed; bytes waiting when the tick comes count.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(after(100, ":srv NOTICE bot :busy\r\n"), "");
    EXPECT_EQ(after(240, ":srv NOTICE bot :just in time\r\n"), "");
    EXPECT_EQ(after(119), "");
    EXPECT_EQ(after(1), "PING :quorvane\r\n");
    EXPECT_EQ(after(60), "") << "one probe per silence";
    // An answer late but in time keeps the link; silence starts anew.
    EXPECT_EQ(after(20, "PONG :quorvane\r\n"), "");
    // The probe does not wait behind a script's backlog of paced lines.
    PaceClock::stopped = true;
    for (int i = 0; i < 30; ++i) host.CallIrc("SendRaw", {std::string("PRIVMSG #c :waits")});
    server.ReadFor(50);
    server.TakeReceived();
    EXPECT_EQ(after(119), "");
    EXPECT_EQ(after(1), "PING :quorvane\r\n");
    EXPECT_EQ(after(119), "");
    EXPECT_TRUE(Globals::client->IsConnected());
    EXPECT_THAT(host.EventNames(), ::testing::Not(::testing::Contains("IRC_Disconnected")));
    after(1);
    PaceClock::stopped = false;
    EXPECT_FALSE(Globals::client->IsConnected());
    ASSERT_FALSE(host.hook_calls.empty());
    EXPECT_EQ(host.hook_calls.back().args,
              (Args{"IRC_Disconnected", nil, "Ping timeout: nothing from the server for 240 s"}));

    // The next link takes the script's own timeout; 0 turns the check off.
    for (int timeout : {10, 0}) {
        host.ClearRecords();
        LoopbackServer next;
        EXPECT_THAT(host.CallIrc("SetPingTimeout", {timeout}), IsEmpty());
        ConnectToServer(next);
        next.TakeReceived();
        IdleClock::Advance(seconds(5));
        PumpFor(120);
        EXPECT_EQ(next.ReadFor(20), timeout ? "PING :quorvane\r\n" : "");
        IdleClock::Advance(seconds(100000));
        PumpFor(120);
        EXPECT_EQ(Globals::client->IsConnected(), timeout == 0) << timeout;
    }
}

TEST_F(Poll, NothingIsReadWhileNotConnected) {
    server.Write("unread\r\n");
    host.CallIrc("Close");  // before any tick saw the line
    // Its socket closed, outside any tick: no watch is left on what its
    // number may come to stand for.
    EXPECT_FALSE(SocketWatched());
    EXPECT_EQ(qv_loop_watch_count(), 0u);
    const unsigned long wakes = PollRunCount().wakes;
    PumpFor(300);
    EXPECT_THAT(host.hook_calls, IsEmpty());
    EXPECT_EQ(PollRunCount().wakes, wakes);
}

class EndToEnd : public Ticked {};

TEST_F(EndToEnd, RegistersAnswersPingAndDeliversChatOnTicks) {
    LoopbackServer server;
    EXPECT_THAT(host.CallIrc("Connect", ConnectArgs(server, "Ann Lee")), IsEmpty());
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(PumpUntilReceived(server, "Ann Lee\r\n"));
    EXPECT_EQ(server.received(), "CAP LS 302\r\nPASS pvrkqo618\r\nNICK bot\r\nUSER u u u :Ann Lee\r\n");

    server.Write("PING :irc.example\r\n");
    EXPECT_TRUE(PumpUntilReceived(server, "PONG :irc.example\r\n"));

    server.Write(":alice!ali PRIVMSG #lobby :hi\r\n");
    ASSERT_TRUE(PumpUntilEvents(3));
    ASSERT_EQ(host.hook_calls.size(), 3u);
    EXPECT_EQ(host.hook_calls[0].args, (Args{"IRC_RawData", nil, "PING :irc.example", nil}));
    EXPECT_EQ(host.hook_calls[1].args, (Args{"IRC_RawData", nil, ":alice!ali PRIVMSG #lobby :hi", nil}));
    EXPECT_EQ(host.hook_calls[2].args, (Args{"IRC_OnChat", nil, "alice", "#lobby", "hi", nil, nil}));
    EXPECT_EQ(host.hook_calls[2].function, "hook.Call");
}
