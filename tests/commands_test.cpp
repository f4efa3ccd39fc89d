// The nine script functions, called as a script would, with the bytes the
// server receives.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <tuple>

#include "module/globals.h"
#include "module_fixture.h"
#include "net/connection.h"
#include "poll/poll.h"

using ::testing::IsEmpty;
using Results = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

class Commands : public ModuleTest {
protected:
    Results Connect(const std::string& server, int port, const std::string& nick = "x", const std::string& user = "u",
                    const std::string& realname = "Ann Lee") {
        return host.CallIrc("Connect", {server, port, nick, user, realname});
    }
    // Connects with the given names and gives what the server received
    // through the end of the registration; unless told not to, the server
    // then answers CAP as one that knows none (421), and welcomes us.
    std::string Register(LoopbackServer& server, const std::string& nick, const std::string& user,
                         const std::string& realname, const std::string& host_name = "127.0.0.1",
                         bool answer_cap = true) {
        EXPECT_THAT(Connect(host_name, server.port(), nick, user, realname), IsEmpty());
        EXPECT_TRUE(server.Accept());
        EXPECT_TRUE(PumpUntil([] { return !Globals::client->IsConnecting(); }));
        server.ReadUntil("USER ");
        std::size_t at = server.received().find("USER ");
        if (at != std::string::npos) server.ReadUntil("\r\n", 3000, at);
        if (answer_cap) {
            server.Write(":srv 421 * CAP :Unknown command\r\n:srv 001 " + nick + " :Welcome\r\n");
            EXPECT_TRUE(PumpUntil([] { return Globals::client->session().caps.welcomed; }));
        }
        return server.received();
    }
    // Everything after the registration, once the peer has seen `until`.
    std::string After(LoopbackServer& server, std::size_t from, std::string_view until) {
        return server.ReadUntil(until, 3000, from).substr(from);
    }
    bool Connected() { return Globals::client && Globals::client->IsConnected(); }
};

}  // namespace

TEST_F(Commands, EveryCommandSendsItsLine) {
    LoopbackServer server;
    // The server has not answered CAP yet: the script's lines wait.
    EXPECT_EQ(Register(server, "x", "u", "Ann Lee", "127.0.0.1", false),
              "CAP LS 302\r\nPASS pvrkqo618\r\nNICK x\r\nUSER u u u :Ann Lee\r\n");
    std::size_t from = server.received().size();
    for (auto [name, arg] : std::vector<std::pair<std::string, std::string>>{
             {"Join", "#a,#b"}, {"Part", "#c"}, {"NickServ", "identify pw"}, {"SendRaw", "A\r\nB"},
             {"SendRaw", "caf\xE9"}})
        EXPECT_THAT(host.CallIrc(name, {arg}), IsEmpty()) << name;
    EXPECT_THAT(host.CallIrc("SendMessage", {std::string("#c"), std::string("a b")}), IsEmpty());
    EXPECT_EQ(server.ReadFor(100).substr(from), "");
    // Closing ends the negotiation, so that they go out before the QUIT.
    EXPECT_THAT(host.CallIrc("Close"), IsEmpty());
    EXPECT_EQ(After(server, from, "QUIT :Leaving\r\n"),
              "CAP END\r\nJOIN #a,#b\r\nPART #c\r\nNICKSERV identify pw\r\nA\r\nB\r\ncaf?\r\n"
              "PRIVMSG #c :a b\r\nQUIT :Leaving\r\n");
    EXPECT_EQ(Globals::client->State(), ConnectionState::Closed);
}

// Until the welcome only what registration needs leaves (a server answers
// 451 to the rest and drops it), in order; the rest follows the 001, in
// order.
TEST_F(Commands, BeforeTheWelcomeOnlyWhatRegistersGoesOut) {
    using Call = std::pair<std::string, std::vector<Arg>>;
    struct Row {
        const char* name;
        std::string heard;  // the server's line before the calls
        std::vector<Call> calls;
        std::string before, after;
    };
    auto Raw = [](const char* line) { return Call{"SendRaw", {std::string(line)}}; };
    const Row rows[] = {
        {"a NICK after 433 goes at once, past the JOIN that waits", ":srv 433 * x :Nickname is already in use\r\n",
         {{"Join", {std::string("#a")}}, Raw("NICK x_"), {"SendMessage", {std::string("#a"), std::string("hi")}}},
         "NICK x_\r\n", "JOIN #a\r\nPRIVMSG #a :hi\r\n"},
        {"each line of a raw text on its own; the command in any case", "",
         {Raw("PING :a"), Raw("pong :x\r\nWHO #b\r\nUser a b c :d"), {"NickServ", {std::string("identify pw")}},
          Raw("Authenticate +"), Raw("cap req :x")},
         "pong :x\r\nUser a b c :d\r\nAuthenticate +\r\ncap req :x\r\n",
         "PING :a\r\nWHO #b\r\nNICKSERV identify pw\r\n"},
        {"only the whole command counts", "", {Raw("NICKNAME x"), Raw("PASSWORD y"), Raw("QUIT")},
         "QUIT\r\n", "NICKNAME x\r\nPASSWORD y\r\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        LoopbackServer server;
        Register(server, "x", "u", "Ann Lee", "127.0.0.1", false);
        server.Write(":srv CAP * LS :invite-notify\r\n" + r.heard);
        ASSERT_TRUE(PumpUntil([&] { return server.ReadUntil("CAP END\r\n", 20).ends_with("CAP END\r\n"); }));
        PumpFor(50);
        const std::size_t from = server.received().size();
        for (const auto& [name, args] : r.calls) EXPECT_THAT(host.CallIrc(name, args), IsEmpty()) << name;
        PumpFor(100);
        EXPECT_EQ(server.ReadFor(100).substr(from), r.before);
        const PollRuns welcome = PollRunCount();
        server.Write(":srv 001 x :Welcome\r\n");
        const std::string all = r.before + r.after;
        EXPECT_TRUE(PumpUntil([&] { return server.ReadUntil(all, 20, from).size() >= from + all.size(); }));
        // The held lines go out from the very run that reads the welcome.
        const PollRuns released = PollRunCount();
        EXPECT_EQ(released.ticks + released.wakes, welcome.ticks + welcome.wakes + 1);
        EXPECT_EQ(server.received().substr(from), all);
        host.CallIrc("Close");
    }
}

TEST_F(Commands, EmptyOrMissingNamesStayEmpty) {
    LoopbackServer server;
    EXPECT_THAT(host.CallIrc("Connect", {std::string("127.0.0.1"), server.port(), std::string("")}), IsEmpty());
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(PumpUntil([&] { return Connected(); }));
    EXPECT_EQ(server.ReadUntil(":\r\n"), "CAP LS 302\r\nPASS pvrkqo618\r\nNICK \r\nUSER    :\r\n");
}

TEST_F(Commands, ConnectWhileConnectedIsRefusedAndChangesNothing) {
    LoopbackServer server;
    ConnectToServer(server);
    std::size_t from = server.received().size();
    EXPECT_EQ(Connect("127.0.0.1", server.port()), Results{"Invalid Socket!"});
    EXPECT_EQ(host.console, "[quorvane] !! Globals::client is invalid!!\n");
    EXPECT_FALSE(server.Accept(300));  // no second connection was tried
    EXPECT_TRUE(Connected());
    host.CallIrc("SendRaw", {std::string("still here")});
    EXPECT_EQ(After(server, from, "\r\n"), "still here\r\n");
}

TEST_F(Commands, DebugSwitchesTheEchoOfReceivedLines) {
    LoopbackServer server;
    ConnectToServer(server);
    EXPECT_THAT(host.CallIrc("Debug", {false}), IsEmpty());
    server.Write("quiet\r\n");
    ASSERT_TRUE(PumpUntil([&] { return host.hook_calls.size() == 1; }));
    EXPECT_EQ(host.console, "");
    host.CallIrc("Debug", {true});
    server.Write("loud\r\n");
    ASSERT_TRUE(PumpUntil([&] { return host.hook_calls.size() == 2; }));
    EXPECT_EQ(host.console, "[Vorsk] Arglen = 1\nLINE: loud\n");
}

TEST_F(Commands, GetVersionConnectedOrNot) {
    EXPECT_EQ(host.CallIrc("GetVersion"), Results{"Ver 1.2 BUILD 200"});
    LoopbackServer server;
    ConnectToServer(server);
    EXPECT_EQ(host.CallIrc("GetVersion"), Results{"Ver 1.2 BUILD 200"});
}

TEST_F(Commands, LinesAreDroppedWhileNotConnected) {
    host.CallIrc("SendRaw", {std::string("early")});
    host.CallIrc("Join", {std::string("#early")});
    LoopbackServer server;
    ConnectToServer(server);
    EXPECT_EQ(server.received().rfind("CAP LS 302\r\nPASS pvrkqo618\r\n", 0), 0u);

    host.CallIrc("Close");
    host.CallIrc("SendRaw", {std::string("late")});
    host.CallIrc("SendMessage", {std::string("#c"), std::string("late")});
    EXPECT_EQ(server.ReadFor(300).substr(server.received().find("Real Name\r\n") + 11), "QUIT :Leaving\r\n");
}

TEST_F(Commands, SendingToAPeerThatHasGoneDropsTheLinkNotTheProcess) {
    LoopbackServer server;
    ConnectToServer(server);
    server.CloseClient();
    // The first sends may still be taken by the platform; after a failed
    // one the next tick's read ends the link. A SIGPIPE would end the test
    // process here.
    for (int i = 0; i < 200 && Connected(); ++i) {
        host.CallIrc("SendMessage", {std::string("#c"), std::string("anyone?")});
        PumpFor(10);
    }
    EXPECT_EQ(Globals::client->State(), ConnectionState::Dropped);
    host.CallIrc("SendRaw", {std::string("still gone")});
    host.CallIrc("Close");
    EXPECT_EQ(Globals::client->State(), ConnectionState::Closed);
}

TEST_F(Commands, AFailedConnectIsToldOnceAndTheNextMayStartFromItsHandler) {
    const RefusingPort refusing;
    const int closed_port = refusing.port();
    // Known before anything waits: the call itself says so. A port that
    // is no number reads as 0.
    for (const Arg& port : {Arg(70000), Arg(0), Arg(std::string("six"))}) {
        host.ClearRecords();
        EXPECT_EQ(host.CallIrc("Connect", {std::string("127.0.0.1"), port, std::string("x"), std::string("u"),
                                           std::string("Ann Lee")}),
                  Results{"Connect failed: Port out of range"});
        EXPECT_EQ(host.console, "[quorvane] !! Connect failed: Port out of range\n");
    }
    // So is a TLS argument that names no kind of link: a word, a number, a
    // fingerprint of another length (SHA-1's, or a pair too many) or
    // damaged; nothing is tried.
    const std::string hex64(64, 'a');
    std::string joined = "AB";
    while (joined.size() < 95) joined += ":AB";
    const std::string bad_tls = "Connect failed: the TLS argument must be true, \"insecure\" or the server "
                                "certificate's SHA-256 fingerprint (64 hex digits, colons optional)";
    for (const Arg& tls : {Arg(std::string("tls")), Arg(std::string()), Arg(std::string("Insecure")), Arg(1),
                           Arg(joined.substr(0, 59)), Arg(hex64.substr(1) + "g"), Arg(hex64 + ":"),
                           Arg(joined.substr(0, 2) + joined.substr(3, 1) + ":" + joined.substr(4)),
                           Arg(std::string(joined).replace(2, 1, "-")), Arg(joined + ":AB")}) {
        host.ClearRecords();
        EXPECT_EQ(host.CallIrc("Connect", {std::string("127.0.0.1"), 6667, std::string("x"), std::string("u"),
                                           std::string("Ann Lee"), tls}),
                  Results{bad_tls});
        EXPECT_EQ(host.console, "[quorvane] !! " + bad_tls + "\n");
    }
    EXPECT_FALSE(PollTimerRunning());

    // Everything else returns at once and arrives from the poll, once; lines
    // sent meanwhile go nowhere. A handler's new Connect is under way at once.
    LoopbackServer server;
    for (auto [name, port, why] : std::vector<std::tuple<std::string, int, std::string>>{
             {"127.0.0.1", closed_port, "Connection refused"},
             {"no-such-host.invalid", 6667, "Name not resolved"}}) {
        host.ClearRecords();
        EXPECT_THAT(Connect(name, port), IsEmpty());
        EXPECT_EQ(Connect("127.0.0.1", server.port()), Results{"Invalid Socket!"}) << "still connecting";
        EXPECT_THAT(host.CallIrc("Join", {std::string("#lost")}), IsEmpty());
        host.on_hook = [&](const HookCall&) { EXPECT_THAT(Connect("127.0.0.1", server.port()), IsEmpty()); };
        ASSERT_TRUE(PumpUntil([&] { return !host.hook_calls.empty(); })) << why;
        host.on_hook = nullptr;
        EXPECT_EQ(host.hook_calls[0].args,
                  (std::vector<std::optional<std::string>>{"IRC_Disconnected", std::nullopt, "Connect failed: " + why}));
        EXPECT_THAT(host.console, ::testing::EndsWith("[quorvane] !! Connect failed: " + why + "\n"));
        ASSERT_TRUE(server.Accept());
        ASSERT_TRUE(PumpUntil([&] { return Connected(); }));
        EXPECT_EQ(server.ReadUntil("Ann Lee\r\n"), "CAP LS 302\r\nPASS pvrkqo618\r\nNICK x\r\nUSER u u u :Ann Lee\r\n");
        server.TakeReceived();
        EXPECT_EQ(host.hook_calls.size(), 1u);
        EXPECT_THAT(host.CallIrc("Close"), IsEmpty());
    }
}

TEST_F(Commands, LinesSentWhileConnectingFollowTheRegistrationAndCloseEndsTheAttemptQuietly) {
    LoopbackServer server;
    EXPECT_THAT(Connect("localhost", server.port()), IsEmpty());
    EXPECT_THAT(host.CallIrc("Join", {std::string("#early")}), IsEmpty());
    EXPECT_THAT(host.CallIrc("SendMessage", {std::string("#early"), std::string("hi")}), IsEmpty());
    ASSERT_TRUE(PumpUntil([&] { return server.Accept(0); }));
    ASSERT_TRUE(PumpUntil([&] { return Connected(); }));
    // They wait behind the registration, past the negotiation's end, until
    // the server has registered us.
    EXPECT_EQ(server.ReadUntil("Ann Lee\r\n"), "CAP LS 302\r\nPASS pvrkqo618\r\nNICK x\r\nUSER u u u :Ann Lee\r\n");
    server.Write(":srv CAP * LS :invite-notify\r\n");
    ASSERT_TRUE(PumpUntil([&] { return server.ReadUntil("CAP END\r\n", 20).ends_with("CAP END\r\n"); }));
    EXPECT_EQ(server.ReadFor(100).substr(server.received().find("Ann Lee\r\n") + 9), "CAP END\r\n");
    server.Write(":srv 001 x :Welcome\r\n");
    ASSERT_TRUE(PumpUntil([&] { return server.ReadUntil("hi\r\n", 20).ends_with("hi\r\n"); }));
    EXPECT_EQ(server.received().substr(server.received().find("Ann Lee\r\n") + 9),
              "CAP END\r\nJOIN #early\r\nPRIVMSG #early :hi\r\n");
    EXPECT_THAT(host.CallIrc("Close"), IsEmpty());
    host.ClearRecords();

    SilentListener silent;
    EXPECT_THAT(Connect("127.0.0.1", silent.port()), IsEmpty());
    EXPECT_TRUE(Globals::client->IsConnecting());
    // The connect under way wakes the poll when it is done, not a tick later.
    EXPECT_TRUE(SocketWatched());
    EXPECT_THAT(host.CallIrc("Close"), IsEmpty());
    EXPECT_EQ(Globals::client->State(), ConnectionState::Closed);
    PumpFor(100);
    EXPECT_THAT(host.EventNames(), IsEmpty());
}

TEST_F(Commands, AConnectThatGetsNoAnswerGivesUpAfterTenSecondsWithoutHoldingTheHost) {
    SilentListener silent;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THAT(Connect("127.0.0.1", silent.port()), IsEmpty());
    auto longest = std::chrono::steady_clock::now() - start;
    while (host.hook_calls.empty() && std::chrono::steady_clock::now() - start < 15s) {
        const auto tick = std::chrono::steady_clock::now();
        PumpOnce(10);
        longest = std::max(longest, std::chrono::steady_clock::now() - tick);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 9s);
    ASSERT_EQ(host.hook_calls.size(), 1u);
    EXPECT_EQ(host.hook_calls[0].args[2], "Connect failed: Timed out after 10 s");
    // Generous: a connect that waits holds the host for the whole 10 s.
    EXPECT_LT(longest, 2s);
}

TEST_F(Commands, LineBreaksInArgumentsCannotStartACommand) {
    LoopbackServer server;
    EXPECT_EQ(Register(server, "bot\r\nJOIN #evil", "u\nQUIT", "Ann\rQUIT", "127.0.0.1\r\nJOIN #evil"),
              "CAP LS 302\r\nPASS pvrkqo618\r\nNICK bot\r\nUSER u u u :Ann\r\n");
    std::size_t from = server.received().size();
    auto send = [&](const char* name, std::vector<Arg> args) {
        EXPECT_THAT(host.CallIrc(name, std::move(args)), IsEmpty()) << name;
    };
    send("SendMessage", {std::string("#c"), std::string("hi\r\nQUIT :x")});
    send("SendMessage", {std::string("#c\r\nQUIT :t"), std::string("m")});
    send("SendMessage", {std::string("#c"), std::string("\na\n\r\nb\r")});
    send("SendMessage", {std::string("#c"), std::string("")});
    send("Join", {std::string("#a\r\nPRIVMSG x :y")});
    send("Part", {std::string("#c\nQUIT")});
    send("NickServ", {std::string("identify pw\rQUIT")});
    send("SendRaw", {std::string("RAW\r\nQUIT :raw")});
    EXPECT_EQ(After(server, from, "QUIT :raw\r\n"),
              "PRIVMSG #c :hi\r\nPRIVMSG #c :QUIT :x\r\n"
              "PRIVMSG #c :m\r\n"
              "PRIVMSG #c :a\r\nPRIVMSG #c :b\r\n"
              "JOIN #a\r\n"
              "PART #c\r\n"
              "NICKSERV identify pw\r\n"
              "RAW\r\nQUIT :raw\r\n");
}

TEST_F(Commands, CloseBeforeConnectSendsNothingAndLeavesItClosed) {
    EXPECT_THAT(host.CallIrc("Close"), IsEmpty());
    EXPECT_EQ(Globals::client->State(), ConnectionState::Closed);
    LoopbackServer server;
    ConnectToServer(server);
    EXPECT_TRUE(Connected());
}

TEST_F(Commands, CallsWhileTheModuleIsShutDoNotCrash) {
    LoopbackServer server;
    ConnectToServer(server);
    gmod_close(host.state);
    for (const char* name : {"Connect", "SendRaw", "Debug", "SendMessage", "Join", "Part", "NickServ", "GetVersion",
                             "SetPassword", "SetSASL", "Close", "Connect"})
        EXPECT_NO_THROW(host.CallIrc(name, {std::string("#c"), std::string("text")})) << name;
    EXPECT_EQ(host.console, "");
}
