// Outgoing lines as the server receives them: framing, the queue behind a
// peer that stops or is slow to read, the end of a link, flood pacing, long
// messages.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <string>
#include <thread>

#include "module/globals.h"
#include "module_fixture.h"
#include "net/connection.h"
#include "net/send_queue.h"
#include "platform/secret.h"
#include "poll/poll.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::chrono_literals;

namespace {

std::string Line(int i) { return "PRIVMSG #c :line " + std::to_string(i) + " " + std::string(900, 'x'); }

class Sending : public ModuleTest {
protected:
    explicit Sending(int receive_buffer = 0) : server(receive_buffer) {}
    void SetUp() override {
        ModuleTest::SetUp();
        ConnectToServer(server);
        Globals::bDebug = false;
        start = server.received().size();
    }
    std::string Sent(std::string_view until, int timeout_ms = 3000) {
        server.ReadUntil(until, timeout_ms, start);
        return server.received().substr(start);
    }
    // Lines received so far after the registration.
    std::vector<std::string> SentLines(int wait_ms) {
        std::string text = server.ReadFor(wait_ms).substr(start);
        std::vector<std::string> lines;
        for (std::size_t at; (at = text.find("\r\n")) != std::string::npos; text.erase(0, at + 2))
            lines.push_back(text.substr(0, at));
        return lines;
    }
    std::size_t Unwritten() { return Globals::client->Outgoing().Unwritten().size(); }
    // The server's lines, each ending in CR LF, handled by the module.
    // Pumps until every line raised its IRC_RawData (a chat line raises
    // more events, so all events would not count lines).
    void Hear(const std::string& lines) {
        const auto raw = [&] {
            return static_cast<std::size_t>(std::count_if(host.hook_calls.begin(), host.hook_calls.end(),
                                                          [](const HookCall& c) { return c.args[0] == "IRC_RawData"; }));
        };
        const std::size_t want = raw() + std::count(lines.begin(), lines.end(), '\n');
        server.Write(lines);
        ASSERT_TRUE(PumpUntil([&] { return raw() >= want; }));
    }
    // Registered as "bot!u@h", so a piece to a short target may carry the
    // most text there is, 400 bytes.
    void Welcome() { Hear(":srv 001 bot :Welcome to the net bot!u@h\r\n"); }
    // The texts of the PRIVMSGs to `target` among `lines`.
    static std::vector<std::string> Pieces(const std::vector<std::string>& lines, const std::string& target = "#c") {
        std::vector<std::string> pieces;
        const std::string head = "PRIVMSG " + target + " :";
        for (const std::string& line : lines)
            if (line.starts_with(head)) pieces.push_back(line.substr(head.size()));
        return pieces;
    }
    // Sends lines the peer does not read until some 100 KB wait in the
    // queue, whatever the system buffers took; gives how many.
    int FillQueue() {
        int n = 0;
        while (Unwritten() < 100'000 && n < 20'000) EXPECT_THAT(host.CallIrc("SendRaw", {Line(n++)}), IsEmpty());
        return n;
    }

    LoopbackServer server;
    std::size_t start = 0;
};

// A peer with a small window, that can stop reading.
class StalledPeer : public Sending {
protected:
    StalledPeer() : Sending(4096) {}
};

// Pacing against a clock the test steps by hand, with a full allowance.
class Paced : public Sending {
protected:
    void SetUp() override {
        Sending::SetUp();
        PaceClock::stopped = true;
        PaceClock::Advance(10s);
    }
    void After(std::chrono::milliseconds wait) {
        PaceClock::Advance(wait);
        MessageCheckTimer();
    }
    std::size_t Waiting() { return Globals::client->Outgoing().PacedBytes(); }
    // Queues lines until exactly `bytes` wait for the pace.
    void FillTo(std::size_t bytes) {
        for (int i = 0; Waiting() + 2000 < bytes; ++i) ASSERT_THAT(host.CallIrc("SendRaw", {Line(i)}), IsEmpty());
        ASSERT_THAT(host.CallIrc("SendRaw", {std::string(bytes - Waiting() - 2, 'f')}), IsEmpty());
        ASSERT_EQ(Waiting(), bytes);
    }
    // Lets the pace release everything and gives all the lines sent.
    std::vector<std::string> Drain() {
        for (int i = 0; i < 200 && Waiting() > 0; ++i) After(2s);
        return SentLines(300);
    }
};

}  // namespace

TEST_F(Sending, FramesWithCrLfAndReducesToSevenBits) {
    Globals::SendIRCString("A\r\nB");
    Globals::SendIRCString("caf\xE9 \x80\xFF\x7F");
    Globals::SendIRCString("");
    EXPECT_EQ(Sent("\x7F\r\n\r\n"), "A\r\nB\r\ncaf? ??\x7F\r\n\r\n");
}

TEST_F(Sending, WithUtf8OnOnlyWellFormedCharactersGoOut) {
    EXPECT_THAT(host.CallIrc("SetUTF8", {true}), IsEmpty());
    // A character each: 2, 3 and 4 bytes; overlong; a surrogate; above
    // U+10FFFF; Windows-1252; cut short by the end of the text.
    Globals::SendIRCString("\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xC0\xAF \xED\xA0\x80 \xF4\x90\x80\x80 \xE9 \xE2\x82");
    host.CallIrc("SetUTF8", {false});
    Globals::SendIRCString("\xC3\xA9");
    EXPECT_EQ(Sent("\r\n??\r\n"), "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 ?? ??? ???? ? ??\r\n??\r\n");
}

TEST_F(Sending, EverySevenBitByteGoesOutUnchanged) {
    std::string all;
    for (int c = 1; c < 0x80; ++c) all.push_back(static_cast<char>(c));
    Globals::SendIRCString(all);
    EXPECT_EQ(Sent("\x7F\r\n"), all + "\r\n");
}

TEST_F(StalledPeer, SendsNeverWaitAndAllArriveInOrderOnceThePeerReads) {
    // A blocking send would hang here, on lines the peer does not read.
    const int sent = FillQueue();
    PumpFor(200);  // the host keeps ticking
    EXPECT_TRUE(Globals::client->IsConnected());

    std::thread reader([&] { server.ReadUntil(Line(sent - 1) + "\r\n", 20000, start); });
    PumpUntil([&] { return Unwritten() == 0; }, 20000);
    reader.join();
    std::vector<std::string> expected;
    for (int i = 0; i < sent; ++i) expected.push_back(Line(i));
    EXPECT_EQ(SentLines(0), expected);
}

TEST_F(StalledPeer, OverAMegabyteThatThePeerNeverTakesDropsTheLink) {
    for (int i = 0; i < 5000 && Globals::client->IsConnected(); ++i) host.CallIrc("SendRaw", {Line(i)});
    EXPECT_EQ(Globals::client->State(), ConnectionState::Dropped);
    ASSERT_TRUE(PumpUntil([&] { return !host.hook_calls.empty(); }));
    EXPECT_THAT(host.EventNames(), ElementsAre("IRC_Disconnected"));
    EXPECT_THAT(host.hook_calls[0].args[2].value_or(""), ::testing::HasSubstr("1 MiB"));
}

TEST_F(StalledPeer, CloseGivesUpOnAPeerThatDoesNotRead) {
    FillQueue();
    host.CallIrc("Close");
    EXPECT_EQ(Globals::client->State(), ConnectionState::Closed);
    PumpFor(250);
    EXPECT_THAT(host.hook_calls, IsEmpty());
}

TEST_F(StalledPeer, CloseWaitsForAPeerThatReadsLateAndEverythingArrives) {
    const int sent = FillQueue();
    // The kernel's buffers are full when the Close begins; the peer starts
    // taking bytes only while it waits.
    std::thread reader([&] {
        std::this_thread::sleep_for(100ms);
        server.ReadUntil("QUIT :Leaving\r\n", 5000, start);
    });
    host.CallIrc("Close");
    reader.join();
    EXPECT_EQ(Globals::client->State(), ConnectionState::Closed);
    std::vector<std::string> expected;
    for (int i = 0; i < sent; ++i) expected.push_back(Line(i));
    expected.push_back("QUIT :Leaving");
    const auto lines = SentLines(0);
    EXPECT_TRUE(lines == expected) << lines.size() << " of " << expected.size() << " lines arrived";
}

TEST_F(StalledPeer, APeerThatResetsTheLinkWhileCloseWaitsEndsItQuietly) {
    FillQueue();
    std::thread resetter([&] {
        std::this_thread::sleep_for(100ms);
        server.ResetClient();
    });
    host.CallIrc("Close");
    resetter.join();
    EXPECT_EQ(Globals::client->State(), ConnectionState::Closed);
    PumpFor(250);
    EXPECT_THAT(host.hook_calls, IsEmpty());  // the script closed it
}

TEST_F(Sending, APeerThatStillReadsKeepsTheLinkWhileOverAMegabyteWaits) {
    // However long the peer takes, it never takes nothing for long: the
    // clock that would tell is stopped.
    PaceClock::stopped = true;
    // One line of 8 MiB: the socket takes some of it at once, and more
    // than 1 MiB is left for a peer that reads it at its own pace. Its
    // socket is full at some ticks and has room at others.
    const std::string line = "PRIVMSG #c :" + std::string(8 * Connection::kMaxUnwritten, 'x') + "!";
    EXPECT_THAT(host.CallIrc("SendRaw", {line}), IsEmpty());
    EXPECT_TRUE(Globals::client->IsConnected());
    ASSERT_GT(Unwritten(), Connection::kMaxUnwritten);
    // Bytes that wait make the poll watch for room; none, for reads only.
    EXPECT_TRUE(Globals::client->Interest().write);

    std::thread reader([&] { server.ReadUntil("!\r\n", 20000, start); });
    PumpUntil([&] { return Unwritten() == 0 || !Globals::client->IsConnected(); }, 20000);
    reader.join();
    EXPECT_TRUE(Globals::client->IsConnected());
    EXPECT_FALSE(Globals::client->Interest().write);
    EXPECT_THAT(host.hook_calls, IsEmpty());
    EXPECT_TRUE(server.received().substr(start) == line + "\r\n");
}

TEST_F(Sending, APeerThatTakesNothingForTenSecondsWhileOverAMegabyteWaitsIsDropped) {
    PaceClock::stopped = true;
    const std::string line = "PRIVMSG #c :" + std::string(24 * Connection::kMaxUnwritten, 'x');
    host.CallIrc("SendRaw", {line});
    // Until then it takes a little at each tick, 6 s apart: over a
    // megabyte waits all the while, and the link stays.
    for (int i = 0; i < 2; ++i) {
        server.ReadFor(20);
        PaceClock::Advance(6s);
        MessageCheckTimer();
        ASSERT_TRUE(Globals::client->IsConnected()) << i;
    }
    // What the system still takes, it takes soon; then the socket is full.
    for (std::size_t before = 0, i = 0; before != Unwritten() && i < 100; ++i) {
        before = Unwritten();
        std::this_thread::sleep_for(20ms);
        MessageCheckTimer();
    }
    ASSERT_GT(Unwritten(), Connection::kMaxUnwritten);
    PaceClock::Advance(std::chrono::milliseconds(Connection::kStallMs) - 1ms);
    MessageCheckTimer();
    EXPECT_TRUE(Globals::client->IsConnected());
    PaceClock::Advance(1ms);
    MessageCheckTimer();
    EXPECT_EQ(Globals::client->State(), ConnectionState::Dropped);
    EXPECT_THAT(host.EventNames(), ElementsAre("IRC_Disconnected"));
}

TEST_F(Sending, CloseReadsOffWhatJustCameSoTheLinkEndsInQuitNotAReset) {
    // Unread bytes at a close make the system answer with a reset, and a
    // peer that gets one may throw away the QUIT before reading it.
    server.Write(":srv NOTICE bot :one more thing\r\n");
    std::this_thread::sleep_for(20ms);  // lands in the module's socket, unread
    host.CallIrc("Close");
    EXPECT_EQ(server.ReadToEnd(), 0) << "0 is an orderly end; " << ECONNRESET << " a reset";
    EXPECT_EQ(server.received().substr(start), "QUIT :Leaving\r\n");
}

TEST_F(Paced, FiveLinesGoAtOnceThenOneEveryTwoSeconds) {
    for (int i = 0; i < 8; ++i) host.CallIrc("SendRaw", {"L" + std::to_string(i)});
    EXPECT_THAT(SentLines(200), ElementsAre("L0", "L1", "L2", "L3", "L4"));
    After(1900ms);
    EXPECT_EQ(SentLines(100).size(), 5u);
    After(100ms);
    EXPECT_EQ(SentLines(200).size(), 6u);
    // A PONG never waits behind them.
    Globals::SendIRCString("PONG :now", LineKind::Urgent);
    EXPECT_EQ(SentLines(200).back(), "PONG :now");
    After(2s);
    After(2s);
    EXPECT_THAT(SentLines(200), ElementsAre("L0", "L1", "L2", "L3", "L4", "L5", "PONG :now", "L6", "L7"));
}

// A line may carry a password: one held by the pace, and one the pace lets
// go at a tick's start, are noted, so that the tick's events wipe the
// registers first.
TEST_F(Paced, ALineQueuedOrWrittenIsNotedForTheRegisterWipe) {
    for (int i = 0; i < 5; ++i) host.CallIrc("SendRaw", {"L" + std::to_string(i)});
    platform::WipeRegisters();
    Globals::SendIRCString("PASS held");
    EXPECT_TRUE(platform::registers_noted) << "queued";
    platform::WipeRegisters();
    After(2s);
    EXPECT_TRUE(platform::registers_noted) << "written";
    EXPECT_EQ(SentLines(200).back(), "PASS held");
}

TEST_F(Paced, AQueryFloodGetsFewRepliesAndThePingInItsMidstIsAnsweredAtOnce) {
    std::string flood;
    for (int i = 0; i < 20; ++i) {
        flood += ":u" + std::to_string(i) + "!x@y PRIVMSG bot :\x01VERSION\x01\r\n";
        if (i == 10) flood += "PING :mid\r\n";
    }
    server.Write(flood);
    ASSERT_TRUE(PumpUntil([&] { return host.EventNames().size() >= 41; }));
    auto sent = SentLines(200);
    ASSERT_EQ(sent.size(), 6u);  // five replies, and the PONG
    EXPECT_EQ(sent.back(), "PONG :mid");
    EXPECT_THAT(sent[0], ::testing::StartsWith("NOTICE u0 :\x01VERSION"));
    // Three more wait their turn; the other queries get no reply at all.
    for (int i = 0; i < 10; ++i) After(2s);
    sent = SentLines(200);
    ASSERT_EQ(sent.size(), 9u);
    EXPECT_THAT(sent[8], ::testing::StartsWith("NOTICE u7 :"));
    // Every query still reached the scripts.
    EXPECT_EQ(host.hook_calls.size(), 41u);
    // Replies a move to TLS drops no longer count: the new link answers.
    SendQueue queue;
    for (int i = 0; i < 5 + SendQueue::kMaxWaitingReplies; ++i)
        queue.Push("NOTICE u :x\r\n", LineKind::Reply, SendQueue::Clock::now());
    EXPECT_FALSE(queue.Accepts(LineKind::Reply));
    queue.Hold();
    queue.Restart("CAP LS 302\r\n");
    EXPECT_TRUE(queue.Accepts(LineKind::Reply));
}

// Queued bytes may be a password's: every copy of them is noted, so that
// the next event clears the registers first, also for a paced line let out
// at a later tick.
TEST(SendQueueNotes, EveryCopyOfQueuedBytesIsNotedForTheWipe) {
    SendQueue queue;
    const auto now = SendQueue::Clock::now();
    for (int i = 0; i < 6; ++i) {
        platform::WipeRegisters();
        queue.Push("PRIVMSG NickServ :IDENTIFY pw\r\n", LineKind::Script, now);
        EXPECT_TRUE(platform::registers_noted) << i;
    }
    ASSERT_GT(queue.PacedBytes(), 0u);
    platform::WipeRegisters();
    queue.Release(now + std::chrono::hours(1));
    EXPECT_EQ(queue.PacedBytes(), 0u);
    EXPECT_TRUE(platform::registers_noted);
}

TEST_F(Paced, ScriptsAreToldWhenTooMuchWaitsAndNothingQueuedIsLost) {
    int accepted = 0;
    std::vector<std::string> result;
    while ((result = host.CallIrc("SendRaw", {Line(accepted)})).empty()) ++accepted;
    EXPECT_EQ(result, std::vector<std::string>{"Send queue full"});
    EXPECT_EQ(host.console, "[quorvane] !! Send queue full\n");
    // Just past 64 KiB of lines of 920 bytes waits.
    EXPECT_EQ(accepted, 5 + 72);
    for (int i = 0; i < accepted; ++i) After(2s);
    auto sent = SentLines(500);
    ASSERT_EQ(sent.size(), static_cast<std::size_t>(accepted));
    EXPECT_EQ(sent.back(), Line(accepted - 1));
}

TEST_F(Paced, CloseSendsWhatWaitsThenQuitWithoutPacing) {
    for (int i = 0; i < 8; ++i) host.CallIrc("SendRaw", {"L" + std::to_string(i)});
    host.CallIrc("Close");
    EXPECT_EQ(Sent("QUIT :Leaving\r\n"), "L0\r\nL1\r\nL2\r\nL3\r\nL4\r\nL5\r\nL6\r\nL7\r\nQUIT :Leaving\r\n");
}

// A tick's sends wait for its end, then go in one write: the PONGs and a
// query's reply in the order their lines came, none left for a later tick.
TEST_F(Sending, WhatATickSendsIsWrittenInOrderWhenItEnds) {
    Hear("PING :a\r\n:u!x@y PRIVMSG bot :\x01TIME\x01\r\nPING :b\r\n");
    EXPECT_THAT(SentLines(200), ElementsAre("PONG :a", "NOTICE u :\x01TIME to get a watch...\x01", "PONG :b"));
    EXPECT_EQ(Unwritten(), 0u);
}

// A server that sends its last lines and shuts its sending side still
// gets the answers to them: the end it sent does not swallow the tick's.
TEST_F(Sending, AnswersToTheLastLinesReachAServerThatShutItsSendingSide) {
    server.Write("PING :last\r\n:u!x@y PRIVMSG bot :\x01VERSION\x01\r\n");
    server.ShutWrite();
    ASSERT_TRUE(PumpUntil([&] { return !Globals::client->IsConnected(); }));
    const std::vector<std::string> lines = SentLines(200);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "PONG :last");
    EXPECT_TRUE(lines[1].starts_with("NOTICE u :\x01VERSION ")) << lines[1];
}

TEST_F(Sending, LongMessagesGoInPiecesCutAtSpaces) {
    Welcome();
    std::string words;
    for (int i = 0; words.size() < 1000; ++i) words += "word" + std::to_string(i) + " ";
    words.pop_back();
    const std::string solid(542, 'z');
    host.CallIrc("SendMessage", {std::string("#c"), words});
    host.CallIrc("SendMessage", {std::string("#c"), solid});
    std::vector<std::string> lines;
    ASSERT_TRUE(PumpUntil([&] { return (lines = SentLines(20)).size() >= 5; }));
    ASSERT_EQ(lines.size(), 5u);
    std::string joined;
    for (int i = 0; i < 3; ++i) {
        ASSERT_THAT(lines[i], ::testing::StartsWith("PRIVMSG #c :"));
        const std::string text = lines[i].substr(12);
        EXPECT_LE(text.size(), 400u);
        EXPECT_NE(text.back(), ' ');
        joined += (i > 0 ? " " : "") + text;
    }
    EXPECT_EQ(joined, words);
    EXPECT_EQ(lines[3], "PRIVMSG #c :" + solid.substr(0, 400));
    EXPECT_EQ(lines[4], "PRIVMSG #c :" + solid.substr(400));
}

TEST_F(Sending, PiecesLeaveRoomForThePrefixTheServerPutsInFront) {
    // What the server relays, ":nick!user@host PRIVMSG target :text", must
    // stay within 510 bytes; each step tells the module more of its prefix.
    const std::string n30(30, 'n'), h63(63, 'h'), t60 = "#" + std::string(59, 't'), t100 = "#" + std::string(99, 't');
    struct Step {
        std::string heard, target;
        std::size_t piece;
        bool reconnect = false;  // on a new link first
    };
    const Step steps[] = {
        {"", "#c", 400},                                       // the welcome's nick (bot), 11 + 63 assumed
        {":srv 001 " + n30 + " :Welcome to the net\r\n", "#c", 390},  // the nick, 30 long
        {":" + n30 + "!~bot@" + h63 + " JOIN #c\r\n", "#c", 397},     // user and host, from our JOIN
        {":srv 396 " + n30 + " cloak.example :is now your displayed host\r\n", t60, 389},
        {"@time=1;account=x :" + n30 + "!~bot@" + h63 + " JOIN #d\r\n", "#c", 397},  // tags are no part of it
        {":" + n30 + "!~bot@cloak.example NICK :bot\r\n", t100, 376},  // our new nick
        {":other!x@y JOIN #c\r\n:other!x@y NICK :zz\r\n", t100, 376},  // not ours: nothing learnt
        {":srv 001 bot :Welcome bot!u@h\r\n", t100, 391},        // a new registration, prefix in its text
        {":srv 001 bot :Welcome to the net\r\n", t100, 319, true},  // a new link knows only its nick
        {"", "#" + std::string(449, 't'), 100},                  // never less than 100
        {"", "#c", 400},                                       // never more than 400
    };
    const std::string solid(1000, 'z');
    for (const Step& step : steps) {
        if (step.reconnect) {
            host.CallIrc("Close");
            ConnectToServer(server);
        }
        if (!step.heard.empty()) Hear(step.heard);
        const std::size_t seen = Pieces(SentLines(0), step.target).size();
        host.CallIrc("SendMessage", {step.target, solid});
        std::vector<std::string> pieces;
        auto all_there = [&] {
            pieces = Pieces(SentLines(5), step.target);
            std::size_t bytes = 0;
            for (std::size_t i = seen; i < pieces.size(); ++i) bytes += pieces[i].size();
            return bytes == solid.size();
        };
        ASSERT_TRUE(PumpUntil(all_there)) << step.heard << step.target;
        EXPECT_EQ(pieces[seen].size(), step.piece) << step.heard << step.target;
    }
}

TEST_F(Sending, PiecesEndAtTheLimitNeverPastItAndNeverEmpty) {
    Welcome();  // pieces of at most 400 bytes to #c
    const std::string a400(400, 'a'), euro = "\xE2\x82\xAC";
    struct Case {
        bool utf8;
        std::string text;
        std::vector<std::string> pieces;
    };
    const Case cases[] = {
        {false, a400 + " b", {a400, "b"}},                  // a space just past the piece
        {false, a400 + "a b", {a400, "a b"}},               // one byte past that: not within reach
        {false, " " + a400 + "a", {" " + a400.substr(1), "aa"}},  // only a leading space: no empty piece
        {true, a400.substr(2) + euro + "b", {a400.substr(2), euro + "b"}},  // a character is not split
        {false, a400.substr(2) + euro + "b", {a400.substr(2) + "??", "?b"}},
    };
    std::size_t seen = 0;
    for (const Case& c : cases) {
        host.CallIrc("SetUTF8", {c.utf8});
        EXPECT_THAT(host.CallIrc("SendMessage", {std::string("#c"), c.text}), IsEmpty());
        std::vector<std::string> pieces;
        ASSERT_TRUE(PumpUntil([&] { return (pieces = Pieces(SentLines(5))).size() >= seen + c.pieces.size(); }));
        EXPECT_EQ(std::vector<std::string>(pieces.begin() + seen, pieces.end()), c.pieces) << c.text.substr(0, 4);
        seen = pieces.size();
    }
}

// A message of three 400-byte pieces, 414 bytes each on the wire, with two
// of them more than the queue has room for, or exactly as much: let in or
// refused whole, never cut short when a later piece would not fit.
TEST_F(Paced, AMessageNearTheQueueLimitIsRefusedWhole) {
    Welcome();
    FillTo(SendQueue::kPacedLimit - 2 * 414 + 1);
    EXPECT_EQ(host.CallIrc("SendMessage", {std::string("#m"), std::string(1200, 'x')}),
              std::vector<std::string>{"Send queue full"});
    EXPECT_THAT(Pieces(Drain(), "#m"), IsEmpty());
}

TEST_F(Paced, AMessageThatJustFitsTheQueueGoesWhole) {
    Welcome();
    FillTo(SendQueue::kPacedLimit - 2 * 414);
    EXPECT_THAT(host.CallIrc("SendMessage", {std::string("#m"), std::string(1200, 'x')}), IsEmpty());
    EXPECT_EQ(Pieces(Drain(), "#m"), std::vector<std::string>(3, std::string(400, 'x')));
}
