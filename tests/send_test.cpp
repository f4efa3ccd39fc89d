// Outgoing lines as the server receives them: framing, the queue behind a
// peer that stops or is slow to read, the end of a link, flood pacing, long
// messages.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>

#include "module/globals.h"
#include "module_fixture.h"
#include "net/connection.h"
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
};

}  // namespace

TEST_F(Sending, FramesWithCrLfAndReducesToSevenBits) {
    Globals::SendIRCString("A\r\nB");
    Globals::SendIRCString("caf\xE9 \x80\xFF\x7F");
    Globals::SendIRCString("");
    EXPECT_EQ(Sent("\x7F\r\n\r\n"), "A\r\nB\r\ncaf? ??\x7F\r\n\r\n");
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

    std::thread reader([&] { server.ReadUntil("!\r\n", 20000, start); });
    PumpUntil([&] { return Unwritten() == 0 || !Globals::client->IsConnected(); }, 20000);
    reader.join();
    EXPECT_TRUE(Globals::client->IsConnected());
    EXPECT_THAT(host.hook_calls, IsEmpty());
    EXPECT_TRUE(server.received().substr(start) == line + "\r\n");
}

TEST_F(Sending, APeerThatTakesNothingForTenSecondsWhileOverAMegabyteWaitsIsDropped) {
    PaceClock::stopped = true;
    const std::string line = "PRIVMSG #c :" + std::string(8 * Connection::kMaxUnwritten, 'x');
    host.CallIrc("SendRaw", {line});
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

TEST_F(Sending, LongMessagesGoInPiecesCutAtSpaces) {
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
