// What each server line causes: replies on the wire, events in the scripts,
// the console echo, the trace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "module/globals.h"
#include "net/connection.h"
#include "module_fixture.h"
#include "net/connection.h"
#include "net/line_reader.h"
#include "protocol/dispatch.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Args = std::vector<std::optional<std::string>>;

namespace {

class Dispatch : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ConnectToServer(server);
        Globals::bDebug = false;
    }
    // What the module sent in reply to the lines so far.
    std::string Replies(const char* until) {
        server.ReadUntil(until, 2000, registration_end());
        return server.received().substr(registration_end());
    }
    std::size_t registration_end() { return server.received().find("Real Name\r\n") + 11; }
    std::string RepliesAfterQuietPeriod() { return Replies("\x7f never sent"); }

    LoopbackServer server;
};

const std::optional<std::string> nil;

}  // namespace

TEST_F(Dispatch, PingIsAnsweredAndRaisesRawDataOnly) {
    ProcessLine("PING :abc");
    EXPECT_EQ(Replies("\r\n"), "PONG :abc\r\n");
    ASSERT_EQ(host.hook_calls.size(), 1u);
    EXPECT_EQ(host.hook_calls[0].function, "hook.Call");
    EXPECT_EQ(host.hook_calls[0].args, (Args{"IRC_RawData", nil, "PING :abc", nil}));
}

TEST_F(Dispatch, PingReplyStartsAtTheSixthCharacter) {
    ProcessLine("PINGABC");
    ProcessLine(":srv PING :x");  // a prefix before PING: no ping
    ProcessLine("PING");          // nothing after it: nothing to echo
    ProcessLine("PING ");
    ProcessLine("PIN");
    ProcessLine("");
    ProcessLine("PING 7");  // a one-character token is still echoed
    EXPECT_EQ(Replies("PONG 7\r\n"), "PONG BC\r\nPONG \r\nPONG \r\nPONG 7\r\n");
    EXPECT_THAT(host.EventNames(), ElementsAre("IRC_RawData", "IRC_RawData", "IRC_RawData", "IRC_RawData",
                                               "IRC_RawData", "IRC_RawData", "IRC_RawData"));
}

TEST_F(Dispatch, ChatRaisesRawDataThenOnChat) {
    ProcessLine(":alice!ali PRIVMSG #lobby :hi");
    ASSERT_EQ(host.hook_calls.size(), 2u);
    EXPECT_EQ(host.hook_calls[0].args, (Args{"IRC_RawData", nil, ":alice!ali PRIVMSG #lobby :hi", nil}));
    EXPECT_EQ(host.hook_calls[1].args, (Args{"IRC_OnChat", nil, "alice", "#lobby", "hi", nil, nil}));
    EXPECT_THAT(host.ops, ::testing::Contains("CallFunction 7 1"));
    // The host reads text up to a NUL: a line not followed by one is not
    // read on past its end.
    host.ClearRecords();
    ProcessLine(std::string_view(":a!b PRIVMSG #c :hi!more", 19));
    ASSERT_EQ(host.hook_calls.size(), 2u);
    EXPECT_EQ(host.hook_calls[0].args[2], ":a!b PRIVMSG #c :hi");
    EXPECT_EQ(host.hook_calls[1].args[4], "hi");
}

TEST_F(Dispatch, VersionAndTimeQueriesAreAnsweredBeforeTheirEvents) {
    std::size_t replies_seen_by_handler = 0;
    host.on_hook = [&](const HookCall&) {
        replies_seen_by_handler = Replies("\x01\r\n").size();
    };
    ProcessLine(":a!b PRIVMSG me :\x01VERSION\x01");
    EXPECT_GT(replies_seen_by_handler, 0u);
    host.on_hook = nullptr;
    ProcessLine(":a!b PRIVMSG me :\x01TIME\x01");
    EXPECT_EQ(Replies("watch...\x01\r\n"),
              "NOTICE a :\x01VERSION quorvane, Version 1.2, Build 200, [Windows]\x01\r\n"
              "NOTICE a :\x01TIME to get a watch...\x01\r\n");
    // Queries are delivered too, as chat.
    EXPECT_EQ(host.hook_calls[1].args, (Args{"IRC_OnChat", nil, "a", "me", "\x01VERSION\x01", nil, nil}));
    EXPECT_EQ(host.hook_calls[3].args, (Args{"IRC_OnChat", nil, "a", "me", "\x01TIME\x01", nil, nil}));
}

TEST_F(Dispatch, OnlyExactQueriesAreAnswered) {
    ProcessLine(":a!b PRIVMSG me :\x01VERSION x\x01");
    ProcessLine(":a!b PRIVMSG me :\x01version\x01");
    ProcessLine(":a!b PRIVMSG me :VERSION");
    ProcessLine(":a!b PRIVMSG me :\x01TIME x\x01");
    ProcessLine(":a!b PRIVMSG me :\x01TIMEx\x01");
    ProcessLine(":a!b NOTICE me :\x01VERSION\x01");
    EXPECT_EQ(RepliesAfterQuietPeriod(), "");
}

TEST_F(Dispatch, NickServNoticeRaisesBothNoticeEvents) {
    ProcessLine(":NickServ!svc NOTICE me :hi");
    ProcessLine(":NICKSERV!svc NOTICE me :again");
    EXPECT_THAT(host.EventNames(), ElementsAre("IRC_RawData", "IRC_OnNickServ", "IRC_OnNotice", "IRC_RawData",
                                               "IRC_OnNickServ", "IRC_OnNotice"));
    // The service event carries the raw prefix, the notice the bare nick.
    EXPECT_EQ(host.hook_calls[1].args, (Args{"IRC_OnNickServ", nil, ":NickServ!svc", "me", "hi"}));
    EXPECT_EQ(host.hook_calls[2].args, (Args{"IRC_OnNotice", nil, "NickServ", "me", "hi", nil, nil}));
}

TEST_F(Dispatch, ServerNoticeNamesTheServer) {
    ProcessLine(":srv NOTICE me :hi!");
    ASSERT_EQ(host.hook_calls.size(), 2u);
    EXPECT_EQ(host.hook_calls[1].args, (Args{"IRC_OnNotice", nil, "srv", "me", "hi!", nil, nil}));
}

TEST_F(Dispatch, NumericsRaiseTheirEventsWithoutArguments) {
    ProcessLine(":srv 376 me :End of MOTD");
    ProcessLine(":srv 432 me bad :Erroneous nickname");
    ProcessLine(":srv 433 me bob :Nickname is already in use");
    ProcessLine(":srv 376");  // count 2: raw data only
    // The link was welcomed: its first 376 also ends the welcome.
    EXPECT_THAT(host.EventNames(), ElementsAre("IRC_RawData", "IRC_EndOfMOTD", "IRC_OnRegistered", "IRC_RawData",
                                               "IRC_ErroneusNick", "IRC_RawData", "IRC_NickInUse", "IRC_RawData"));
    EXPECT_EQ(host.hook_calls[1].args, (Args{"IRC_EndOfMOTD", nil}));
    EXPECT_THAT(host.ops, ::testing::Contains("CallFunction 2 1"));
}

// Tags come off before anything reads the line: it raises what the line
// without them raises, and gets the same replies; the raw line's event
// carries the tags' text, the chat events who said it and when.
TEST_F(Dispatch, ATaggedLineActsAsTheLineWithoutItsTags) {
    // Account and time count only while their capability is: `enabled`
    // is what the link has, after the server's lines `before`.
    constexpr std::uint8_t kBoth = kCapAccountTag | kCapServerTime;
    struct Case {
        std::string line;
        std::vector<Args> events;
        std::uint8_t enabled = kBoth;
        std::string before = {};
    };
    const std::string chat = ":alice!a@h PRIVMSG #c :hi", stamp = "2026-12-09T20:00:00.000Z";
    const std::string filler(LineReader::kMaxLine - 1, 'x');
    auto raw = [](std::string line, std::optional<std::string> tags) { return Args{"IRC_RawData", nil, line, tags}; };
    auto said = [](std::optional<std::string> account, std::optional<std::string> time) {
        return Args{"IRC_OnChat", nil, "alice", "#c", "hi", account, time};
    };
    Globals::client->session().caps.enabled = kCapAccountTag | kCapServerTime;
    const Case cases[] = {
        {"@time=" + stamp + ";account=alice " + chat,
         {raw(chat, "time=" + stamp + ";account=alice"), said("alice", stamp)}},
        {"@time=" + stamp + ";account=alice " + chat,
         {raw(chat, "time=" + stamp + ";account=alice"), said("alice", nil)}, kCapAccountTag},
        {"@time=" + stamp + ";account=alice " + chat,
         {raw(chat, "time=" + stamp + ";account=alice"), said(nil, stamp)}, kCapServerTime},
        {"@time=" + stamp + ";account=alice :srv NOTICE me :hi",
         {raw(":srv NOTICE me :hi", "time=" + stamp + ";account=alice"), {"IRC_OnNotice", nil, "srv", "me", "hi", nil, nil}},
         0},
        {"@time=" + stamp + ";account=alice " + chat, {raw(chat, "time=" + stamp + ";account=alice"), said(nil, nil)},
         kBoth, ":srv CAP bot DEL :account-tag server-time"},
        // Anyone can send a client-only tag; names that only contain
        // these are other tags.
        {"@+account=admin;+time=1;example.com/account=x;accounts=y;xtime=z " + chat,
         {raw(chat, "+account=admin;+time=1;example.com/account=x;accounts=y;xtime=z"), said(nil, nil)}},
        // The last tag of a name wins; an empty value says nothing.
        {"@account=mallory;time=1;account=alice;time= " + chat,
         {raw(chat, "account=mallory;time=1;account=alice;time="), said("alice", nil)}},
        {"@account=\\sa\\:b\\\\c\\rd\\ne\\xf\\;time=\\ " + chat,
         {raw(chat, "account=\\sa\\:b\\\\c\\rd\\ne\\xf\\;time=\\"), said(" a;b\\c\rd\nexf", nil)}},
        {"@account=svc   :NickServ!s@h NOTICE me :identify",
         {raw(":NickServ!s@h NOTICE me :identify", "account=svc"), {"IRC_OnNickServ", nil, ":NickServ!s@h", "me", "identify"},
          {"IRC_OnNotice", nil, "NickServ", "me", "identify", "svc", nil}}},
        {"@time=1 :srv 433 me bob :taken", {raw(":srv 433 me bob :taken", "time=1"), {"IRC_NickInUse", nil}}},
        {"@time=1 PING :t", {raw("PING :t", "time=1")}},
        {"@account=a :a!b PRIVMSG me :\x01TIME\x01",
         {raw(":a!b PRIVMSG me :\x01TIME\x01", "account=a"), {"IRC_OnChat", nil, "a", "me", "\x01TIME\x01", "a", nil}}},
        // Broken sections lose no line.
        {"@ " + chat, {raw(chat, nil), said(nil, nil)}},
        {"@;;=;account " + chat, {raw(chat, ";;=;account"), said(nil, nil)}},
        {"@", {raw("", nil)}},
        {"@time=1", {raw("", "time=1")}},
        {"@" + filler, {raw("", filler)}},
        {"@a=" + filler + " " + chat, {raw(chat, "a=" + filler), said(nil, nil)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.substr(0, 100) + " " + c.before);
        Globals::client->session().caps.enabled = c.enabled;
        if (!c.before.empty()) ProcessLine(c.before);
        host.ClearRecords();
        ProcessLine(c.line);
        std::vector<Args> events;
        for (const HookCall& call : host.hook_calls) events.push_back(call.args);
        EXPECT_EQ(events, c.events);
    }
    EXPECT_EQ(Replies("watch...\x01\r\n"), "PONG :t\r\nNOTICE a :\x01TIME to get a watch...\x01\r\n");
}

TEST_F(Dispatch, CommandsMatchInUpperCaseOnly) {
    ProcessLine(":a!b privmsg me :hi");
    ProcessLine(":a!b notice me :hi");
    ProcessLine("ping :x");
    EXPECT_THAT(host.EventNames(), ElementsAre("IRC_RawData", "IRC_RawData", "IRC_RawData"));
    EXPECT_EQ(RepliesAfterQuietPeriod(), "");
}

TEST_F(Dispatch, EchoPrintsCountAndLineVerbatim) {
    Globals::bDebug = true;
    ProcessLine(":srv 376 me :End");
    EXPECT_EQ(host.console, "[Vorsk] Arglen = 4\nLINE: :srv 376 me :End\n");
    host.console.clear();
    ProcessLine("100% %s %n");
    EXPECT_EQ(host.console, "[Vorsk] Arglen = 3\nLINE: 100% %s %n\n");
    host.console.clear();
    // The line as received; the count is that of the line without its tags.
    ProcessLine("@time=1;a=b\\s :srv 376 me :End");
    EXPECT_EQ(host.console, "[Vorsk] Arglen = 4\nLINE: @time=1;a=b\\s :srv 376 me :End\n");
    host.console.clear();
    Globals::bDebug = false;
    ProcessLine("x");
    EXPECT_EQ(host.console, "");
}

TEST_F(Dispatch, ShutModuleStillAnswersButRaisesAndPrintsNothing) {
    Globals::bDebug = true;
    gmod_close(host.state);
    ProcessLine("PING :x");
    ProcessLine(":a!b PRIVMSG me :\x01VERSION\x01");
    EXPECT_EQ(Replies("[Windows]\x01\r\n"),
              "PONG :x\r\nNOTICE a :\x01VERSION quorvane, Version 1.2, Build 200, [Windows]\x01\r\n");
    EXPECT_THAT(host.hook_calls, IsEmpty());
    EXPECT_EQ(host.console, "");
}

TEST_F(Dispatch, AHandlerThatShutsTheModuleStopsTheLinesEvents) {
    host.on_hook = [&](const HookCall&) { gmod_close(host.state); };
    ProcessLine(":a!b PRIVMSG me :hi");
    EXPECT_THAT(host.EventNames(), ElementsAre("IRC_RawData"));
}

TEST_F(Dispatch, ReplacedHookCallReceivesTheNextEvent) {
    ProcessLine("one");
    host.values["hook"]["Call"] = "my.Call";
    ProcessLine("two");
    ASSERT_EQ(host.hook_calls.size(), 2u);
    EXPECT_EQ(host.hook_calls[0].function, "hook.Call");
    EXPECT_EQ(host.hook_calls[1].function, "my.Call");
}

TEST_F(Dispatch, MissingHookTableIsNotAnError) {
    host.values.erase("hook");
    ProcessLine(":a!b PRIVMSG me :hi");
    EXPECT_THAT(host.hook_calls, IsEmpty());
}

TEST_F(Dispatch, ANulByteCutsTheTextScriptsSeeAndTheEchoKeepsItsLineEnd) {
    using namespace std::string_view_literals;
    Globals::bDebug = true;
    ProcessLine(":a!b PRIVMSG #c :x\0y"sv);
    ASSERT_EQ(host.hook_calls.size(), 2u);
    EXPECT_EQ(host.hook_calls[0].args[2], ":a!b PRIVMSG #c :x");
    EXPECT_EQ(host.hook_calls[1].args[4], "x");
    EXPECT_EQ(host.console, "[Vorsk] Arglen = 4\nLINE: :a!b PRIVMSG #c :x\n");
}

TEST_F(Dispatch, RepliesCarryNoLineBreakOrNulFromTheLine) {
    using namespace std::string_view_literals;
    ProcessLine("PING :x\rQUIT"sv);
    ProcessLine("PING :y\nQUIT"sv);
    ProcessLine("PING :z\0QUIT"sv);
    ProcessLine(":a\rQUIT!b PRIVMSG me :\x01VERSION\x01"sv);
    ProcessLine(":a\0!b PRIVMSG me :\x01TIME\x01"sv);
    EXPECT_EQ(RepliesAfterQuietPeriod(), "PONG :x\r\nPONG :y\r\nPONG :z\r\n");
}

TEST_F(Dispatch, AQueryWithNoSendersNickIsNotAnswered) {
    ProcessLine(": PRIVMSG me :\x01VERSION\x01");
    ProcessLine("\x01:a!b PRIVMSG me :\x01TIME\x01");
    ProcessLine(":!b PRIVMSG me :\x01VERSION\x01");
    EXPECT_EQ(RepliesAfterQuietPeriod(), "");
    EXPECT_THAT(host.EventNames(), ElementsAre("IRC_RawData", "IRC_OnChat", "IRC_RawData", "IRC_OnChat",
                                               "IRC_RawData", "IRC_OnChat"));
}

TEST_F(Dispatch, AwkwardLinesNeitherCrashNorThrow) {
    Globals::client->session().caps.enabled = kCapAccountTag | kCapServerTime;
    for (std::string_view line : {"", " ", ":", "::", "  :", ": PRIVMSG", ":a PRIVMSG", ":a PRIVMSG  ", "PRIVMSG a b",
                                  ": NOTICE :", ":! NOTICE x", " PRIVMSG x :\x01VERSION\x01", "\x01\x01\x01", "@@", "@\\",
                                  "@account=\\", "@ ", "@  ", "@;", "@=", "@a=b ", "@time=1 PRIVMSG", "@a :b PRIVMSG"})
        EXPECT_NO_THROW(ProcessLine(line)) << line;
    std::string big(200000, 'A');
    EXPECT_NO_THROW(ProcessLine(":a!b PRIVMSG #c :" + big));
    EXPECT_NO_THROW(ProcessLine("@account=" + big + " :a!b PRIVMSG #c :x"));
    EXPECT_NO_THROW(ProcessLine("@account=" + std::string(200000, '\\') + " :a!b PRIVMSG #c :x"));
}

TEST_F(Dispatch, EveryLineGoesToTheTrace) {
    char path[] = "/tmp/quorvane-trace-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    // Where the trace goes is settled when the module is opened.
    setenv("QUORVANE_TRACE", path, 1);
    gmod_open(&host);
    gmod_close(host.state);  // traced whether open or shut
    ProcessLine("PING :x");
    ProcessLine("");
    ProcessLine("@time=1 :a!b PRIVMSG #c :hi");
    unsetenv("QUORVANE_TRACE");
    gmod_open(&host);
    ProcessLine("untraced");
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(path);
    EXPECT_EQ(text.str(),
              "[PROCESS LINE CALL] PING :x\n[PROCESS LINE CALL] \n[PROCESS LINE CALL] @time=1 :a!b PRIVMSG #c :hi\n");
}

namespace {

// A question to a function of the room, and its whole answer; `any` stands
// for a text that is not known ahead (a time of ours).
struct Ask {
    std::string function;
    std::vector<Arg> args;
    Args answer;
};
const std::optional<std::string> any = "\x01(any text)";

struct RoomCase {
    std::string what;
    std::vector<std::string> lines;
    std::vector<Args> events;  // all but IRC_RawData, in order
    std::vector<Ask> asks;
    CapBits caps = 0;
    std::string sent = {};  // what the lines make the module send, if anything
};

const std::string welcome = ":srv 001 bot :Welcome to the net bot!u@h";

// The welcome, our join of #c, and its names: alice an operator, bob voiced.
std::vector<std::string> InC(std::vector<std::string> more) {
    std::vector<std::string> lines = {welcome, ":bot!u@h JOIN #c", ":srv 353 bot = #c :bot @alice +bob",
                                      ":srv 366 bot #c :End of /NAMES list."};
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

const Args joined = {"IRC_OnJoin", nil, "bot", "#c", nil};

}  // namespace

// Each row starts on a link whose room is new, hears its lines and asks
// the room's functions; a row's events are raised after the room changed.
class RoomLines : public Dispatch {
protected:
    void Run(const std::vector<RoomCase>& cases) {
        for (const RoomCase& c : cases) {
            SCOPED_TRACE(c.what);
            Session& session = Globals::client->session();
            session.room = Room();
            session.caps.enabled = c.caps;
            host.ClearRecords();
            for (const std::string& line : c.lines) ProcessLine(line);
            std::vector<Args> events;
            for (const HookCall& call : host.hook_calls)
                if (call.args[0] != "IRC_RawData") events.push_back(call.args);
            EXPECT_EQ(events, c.events);
            for (const Ask& ask : c.asks) {
                Args answer = host.AskIrc(ask.function, ask.args);
                for (std::size_t i = 0; i < answer.size() && i < ask.answer.size(); ++i)
                    if (ask.answer[i] == any && answer[i]) answer[i] = any;
                EXPECT_EQ(answer, ask.answer) << ask.function;
            }
            if (!c.sent.empty()) {
                EXPECT_THAT(server.ReadUntil(c.sent, 2000), ::testing::EndsWith(c.sent));
            }
        }
    }
};

TEST_F(RoomLines, JoinsPartsKicksQuitsNicksAndModesKeepTheMembers) {
    const Args none = {nil};
    Run({
        {"the welcome names us",
         {welcome},
         {},
         {{"GetNick", {}, {"bot"}}, {"GetChannels", {}, {""}}, {"GetUser", {std::string("BOT")}, {"bot", "u", "h", nil, nil, nil}},
          {"GetUsers", {std::string("#c")}, none}}},
        {"our join and its names",
         InC({}),
         {joined},
         {{"GetChannels", {}, {"#c"}},
          {"GetUsers", {std::string("#C")}, {"@alice +bob bot"}},
          {"GetStatus", {std::string("#c"), std::string("ALICE")}, {"@"}},
          {"GetStatus", {std::string("#c"), std::string("bot")}, {""}},
          {"GetStatus", {std::string("#c"), std::string("carol")}, none},
          {"GetStatus", {std::string("#d"), std::string("alice")}, none},
          {"GetUser", {std::string("alice")}, {"alice", nil, nil, nil, nil, nil}}}},
        {"others come and go",
         InC({":carol!c@h3 JOIN #c", ":bob!b@h2 PART #c :bye", ":alice!a@h1 KICK #c carol :out", ":dave!d@h JOIN :#c",
              ":dave!d@h QUIT :gone"}),
         {joined,
          {"IRC_OnJoin", nil, "carol", "#c", nil},
          {"IRC_OnPart", nil, "bob", "#c", "bye"},
          {"IRC_OnKick", nil, "#c", "carol", "alice", "out"},
          {"IRC_OnJoin", nil, "dave", "#c", nil},
          {"IRC_OnQuit", nil, "dave", "gone", "#c"}},
         {{"GetUsers", {std::string("#c")}, {"@alice bot"}},
          {"GetUser", {std::string("carol")}, none},
          {"GetUser", {std::string("dave")}, none}}},
        {"a names round names who is there; a join within it counts",
         InC({":srv 353 bot = #c :bot alice", ":erin!e@h JOIN #c", ":srv 366 bot #c :End"}),
         {joined, {"IRC_OnJoin", nil, "erin", "#c", nil}},
         {{"GetUsers", {std::string("#c")}, {"alice bot erin"}}, {"GetUser", {std::string("bob")}, none}}},
        {"names without their end add; names of a channel not ours change nothing",
         InC({":srv 353 bot = #c :frank", ":srv 353 bot = #x :zed", ":srv 366 bot #x :End", ":srv 353 bot #c :gina"}),
         {joined},
         {{"GetUsers", {std::string("#c")}, {"@alice +bob bot frank gina"}},
          {"GetUsers", {std::string("#x")}, none},
          {"GetUser", {std::string("zed")}, none}}},
        {"modes change statuses as their parameters say",
         InC({":alice!a@h MODE #c +ov-v bob bob bob", ":alice!a@h MODE #c +b-o+l *!*@x alice 5", ":alice!a@h MODE #c +o",
              ":alice!a@h MODE #c +v bob extra", ":alice!a@h MODE #c -l+v bob", ":srv MODE bot :+i"}),
         {joined,
          {"IRC_OnMode", nil, "#c", "alice", "+ov-v bob bob bob"},
          {"IRC_OnMode", nil, "#c", "alice", "+b-o+l *!*@x alice 5"},
          {"IRC_OnMode", nil, "#c", "alice", "+o"},
          {"IRC_OnMode", nil, "#c", "alice", "+v bob extra"},
          {"IRC_OnMode", nil, "#c", "alice", "-l+v bob"},
          {"IRC_OnMode", nil, "bot", "srv", "+i"}},
         {{"GetUsers", {std::string("#c")}, {"alice @+bob bot"}}, {"GetStatus", {std::string("#c"), std::string("bob")}, {"@+"}}}},
        {"nicks change, ours too; a nick taken over replaces its holder",
         InC({":bob!b@h NICK :Bobby", ":bot!u@h NICK bot2", ":Bobby!b@h NICK alice", ":alice!b@h NICK ALICE"}),
         {joined,
          {"IRC_OnNick", nil, "bob", "Bobby"},
          {"IRC_OnNick", nil, "bot", "bot2"},
          {"IRC_OnNick", nil, "Bobby", "alice"},
          {"IRC_OnNick", nil, "alice", "ALICE"}},
         {{"GetNick", {}, {"bot2"}},
          {"GetUsers", {std::string("#c")}, {"+ALICE bot2"}},
          {"GetUser", {std::string("bobby")}, none},
          {"GetUser", {std::string("bot2")}, {"bot2", "u", "h", nil, nil, nil}}}},
        {"a quit names the channels we shared, in the order we joined them",
         InC({":bot!u@h JOIN #d", ":srv 353 bot = #d :bot bob", ":srv 366 bot #d :End", ":bot!u@h JOIN #e", ":bob!b@h QUIT",
              ":nobody!n@h QUIT :x"}),
         {joined,
          {"IRC_OnJoin", nil, "bot", "#d", nil},
          {"IRC_OnJoin", nil, "bot", "#e", nil},
          {"IRC_OnQuit", nil, "bob", nil, "#c #d"},
          {"IRC_OnQuit", nil, "nobody", "x", ""}},
         {{"GetChannels", {}, {"#c #d #e"}}, {"GetUsers", {std::string("#d")}, {"bot"}}}},
        {"our part and kick end the channel and whoever we shared only it with",
         InC({":bot!u@h JOIN #d", ":alice!a@h JOIN #d", ":carol!c@h JOIN #d", ":bot!u@h PART #c",
              ":alice!a@h KICK #d bot :bye"}),
         {joined,
          {"IRC_OnJoin", nil, "bot", "#d", nil},
          {"IRC_OnJoin", nil, "alice", "#d", nil},
          {"IRC_OnJoin", nil, "carol", "#d", nil},
          {"IRC_OnPart", nil, "bot", "#c", nil},
          {"IRC_OnKick", nil, "#d", "bot", "alice", "bye"}},
         {{"GetChannels", {}, {""}},
          {"GetUsers", {std::string("#c")}, none},
          {"GetUser", {std::string("alice")}, none},
          {"GetUser", {std::string("bot")}, {"bot", "u", "h", nil, nil, nil}}}},
        {"lines of channels we are not in raise their events and change nothing",
         {welcome, ":alice!a@h JOIN #x", ":alice!a@h PART #x", ":alice!a@h KICK #x bob", ":alice!a@h MODE #x +o bob",
          ":srv 366 bot #x :End", ":alice!a@h TOPIC #x :t"},
         {{"IRC_OnJoin", nil, "alice", "#x", nil},
          {"IRC_OnPart", nil, "alice", "#x", nil},
          {"IRC_OnKick", nil, "#x", "bob", "alice", nil},
          {"IRC_OnMode", nil, "#x", "alice", "+o bob"},
          {"IRC_OnTopic", nil, "#x", "t", "alice"}},
         {{"GetChannels", {}, {""}}, {"GetUser", {std::string("alice")}, none}, {"GetTopic", {std::string("#x")}, none}}},
        {"leaving someone not there, and joining twice, keep one member each",
         InC({":zed!z@h PART #c", ":alice!a@h KICK #c zed", ":bob!b@h JOIN #c", ":BOB!b@h JOIN #c"}),
         {joined,
          {"IRC_OnPart", nil, "zed", "#c", nil},
          {"IRC_OnKick", nil, "#c", "zed", "alice", nil},
          {"IRC_OnJoin", nil, "bob", "#c", nil},
          {"IRC_OnJoin", nil, "BOB", "#c", nil}},
         {{"GetUsers", {std::string("#c")}, {"@alice +bob bot"}}}},
        {"a JOIN of ours naming no channel makes no channel",
         InC({":bot!u@h JOIN", ":bot!u@h JOIN x"}),
         {joined, {"IRC_OnJoin", nil, "bot", "", nil}, {"IRC_OnJoin", nil, "bot", "x", nil}},
         {{"GetChannels", {}, {"#c"}}}},
        {"our join again starts the channel afresh",
         InC({":srv 332 bot #c :old", ":bot!u@h JOIN #c"}),
         {joined, {"IRC_OnTopic", nil, "#c", "old", nil}, joined},
         {{"GetUsers", {std::string("#c")}, {"bot"}}, {"GetTopic", {std::string("#c")}, {nil, nil, nil}}}},
    });
    // A handler sees the room as the line left it.
    Globals::client->session().room = Room();
    for (const std::string& line : InC({})) ProcessLine(line);
    Args seen;
    host.on_hook = [&](const HookCall& call) {
        if (call.args[0] == "IRC_OnPart") seen = host.AskIrc("GetUsers", {std::string("#c")});
    };
    ProcessLine(":bob!b@h PART #c");
    EXPECT_EQ(seen, (Args{"@alice bot"}));
}

TEST_F(RoomLines, AccountsHostsAwayAndRealNamesFollowTheServer) {
    const CapBits v3 = kCapExtendedJoin | kCapAccountNotify | kCapAwayNotify | kCapChghost | kCapSetname;
    Run({
        {"names with every status and user@host",
         {welcome, ":bot!u@h JOIN #c", ":srv 353 bot = #c :bot @+alice!a@h1 bob!b@h2", ":srv 366 bot #c :End"},
         {joined},
         {{"GetUsers", {std::string("#c")}, {"@+alice bob bot"}}, {"GetUser", {std::string("alice")}, {"alice", "a", "h1", nil, nil, nil}}},
         kCapMultiPrefix | kCapUserhostInNames},
        {"names showing the highest status keep the lower ones known",
         InC({":alice!a@h MODE #c +v alice", ":srv 353 bot = #c :bot @alice bob", ":srv 366 bot #c :End"}),
         {joined, {"IRC_OnMode", nil, "#c", "alice", "+v alice"}},
         {{"GetUsers", {std::string("#c")}, {"@+alice bob bot"}}}},
        {"joins, logins, absences, hosts and real names",
         InC({":carol!c@h JOIN #c carolacct :Carol C", ":dan!d@h JOIN #c * :Dan", ":bob!b@h ACCOUNT bobacct",
              ":carol!c@h ACCOUNT *", ":bob!b@h AWAY :lunch", ":bob!b@h CHGHOST newb new.host", ":bob!b@h SETNAME :Bob B",
              ":alice!a@h AWAY :x", ":alice!a@h AWAY"}),
         {joined,
          {"IRC_OnJoin", nil, "carol", "#c", "carolacct"},
          {"IRC_OnJoin", nil, "dan", "#c", nil},
          {"IRC_OnAccount", nil, "bob", "bobacct"},
          {"IRC_OnAccount", nil, "carol", nil}},
         {{"GetUser", {std::string("bob")}, {"bob", "newb", "new.host", "bobacct", "Bob B", "lunch"}},
          {"GetUser", {std::string("carol")}, {"carol", "c", "h", nil, "Carol C", nil}},
          {"GetUser", {std::string("alice")}, {"alice", nil, nil, nil, nil, nil}}},
         v3},
        {"ACCOUNT names the account as it stands; only * is none",
         InC({":bob!b@h ACCOUNT 0"}),
         {joined, {"IRC_OnAccount", nil, "bob", "0"}},
         {{"GetUser", {std::string("bob")}, {"bob", nil, nil, "0", nil, nil}}},
         kCapAccountNotify},
        {"while account-tag is on, a message without the tag says its sender is logged in to none",
         InC({":bob!b@h ACCOUNT bobacct", "@account=bobacct :bob!b@h PRIVMSG #c :in", ":bob!b@h PRIVMSG #c :out"}),
         {joined, {"IRC_OnAccount", nil, "bob", "bobacct"}, {"IRC_OnChat", nil, "bob", "#c", "in", "bobacct", nil},
          {"IRC_OnChat", nil, "bob", "#c", "out", nil, nil}},
         {{"GetUser", {std::string("bob")}, {"bob", nil, nil, nil, nil, nil}}},
         kCapAccountTag | kCapAccountNotify},
        {"an account tag is the sender's account only while account-tag is on",
         InC({"@account=al :alice!a@h PRIVMSG #c :hi", "@account=dd :dave!d@h JOIN #c"}),
         {joined, {"IRC_OnChat", nil, "alice", "#c", "hi", nil, nil}, {"IRC_OnJoin", nil, "dave", "#c", nil}},
         {{"GetUser", {std::string("alice")}, {"alice", nil, nil, nil, nil, nil}}}},
        {"with account-tag on",
         InC({"@account=al :alice!a@h PRIVMSG #c :hi", "@account=dd :dave!d@h JOIN #c"}),
         {joined, {"IRC_OnChat", nil, "alice", "#c", "hi", "al", nil}, {"IRC_OnJoin", nil, "dave", "#c", "dd"}},
         {{"GetUser", {std::string("alice")}, {"alice", nil, nil, "al", nil, nil}},
          {"GetUser", {std::string("dave")}, {"dave", "d", "h", "dd", nil, nil}}},
         kCapAccountTag},
        {"our join asks WHOX where the server offers it; our token's replies fill in the rest",
         {welcome, ":srv 005 bot WHOX :are supported", ":bot!u@h JOIN #c", ":srv 353 bot = #c :bot alice bob",
          ":srv 366 bot #c :End", ":srv 354 bot 415 #c ali h1 alice H@ aliacct :Alice A", ":srv 354 bot 415 #c bob h2 bob G 0 :Bob",
          ":srv 354 bot 999 #c x y alice H other :Z", ":srv 352 bot #c bu bh srv bob H :0 Bob Again"},
         {joined},
         {{"GetUser", {std::string("alice")}, {"alice", "ali", "h1", "aliacct", "Alice A", nil}},
          {"GetUser", {std::string("bob")}, {"bob", "bu", "bh", nil, "Bob Again", nil}}},
         0,
         "WHO #c %tcuhnfar,415\r\n"},
        {"topics, who set them and when",
         InC({":srv 332 bot #c :Old topic", ":srv 333 bot #c alice!a@h 1700000000"}),
         {joined, {"IRC_OnTopic", nil, "#c", "Old topic", nil}},
         {{"GetTopic", {std::string("#c")}, {"Old topic", "alice", "1700000000"}}}},
        {"a topic changed",
         InC({":srv 332 bot #c :Old topic", ":alice!a@h TOPIC #c :New topic"}),
         {joined, {"IRC_OnTopic", nil, "#c", "Old topic", nil}, {"IRC_OnTopic", nil, "#c", "New topic", "alice"}},
         {{"GetTopic", {std::string("#c")}, {"New topic", "alice", any}}}},
        {"our own login and logout",
         {welcome, ":srv 900 bot bot!u@h botacct :You are now logged in as botacct", ":srv 396 bot cloak/bot :is now your host"},
         {},
         {{"GetUser", {std::string("bot")}, {"bot", "u", "cloak/bot", "botacct", nil, nil}}}},
        {"a login while registering, then out",
         {":srv 900 bot bot!u@h botacct :in", welcome, ":srv 901 bot bot!u@h :You are now logged out"},
         {},
         {{"GetUser", {std::string("bot")}, {"bot", "u", "h", nil, nil, nil}}}},
        {"a login while registering",
         {":srv 900 bot bot!u@h botacct :in", welcome},
         {},
         {{"GetUser", {std::string("bot")}, {"bot", "u", "h", "botacct", nil, nil}}}},
        {"an invitation for us",
         {welcome, ":alice!a@h INVITE bot #secret", ":alice!a@h INVITE carol #secret"},
         {{"IRC_OnInvite", nil, "alice", "#secret"}},
         {}},
        {"registered once, at the end of the welcome",
         {welcome, ":srv 005 bot NETWORK=Test :are supported", ":srv 422 bot :MOTD File is missing", ":srv 376 bot :End"},
         {{"IRC_OnRegistered", nil, "bot"}, {"IRC_EndOfMOTD", nil}},
         {}},
    });
    // A link that ended is in no channel.
    host.CallIrc("Close");
    EXPECT_EQ(host.AskIrc("GetChannels"), (Args{nil}));
    EXPECT_EQ(host.AskIrc("GetNick"), (Args{nil}));
}

TEST_F(RoomLines, TheServersRulesAreKeptAndFollowed) {
    auto fold = [](std::string text) { return Ask{"FoldCase", {std::move(text)}, {}}; };
    auto folded = [&](std::string text, std::string want) {
        Ask a = fold(std::move(text));
        a.answer = {std::move(want)};
        return a;
    };
    Run({
        {"tokens, their values unescaped; none for what the server did not send",
         {welcome, ":srv 005 bot NETWORK=Test\\x20Net\\x2 WHOX PREFIX=(qaohv)~&@%+ :are supported"},
         {},
         {{"ISupport", {std::string("NETWORK")}, {"Test Net\\x2"}},
          {"ISupport", {std::string("WHOX")}, {""}},
          {"ISupport", {std::string("CHANMODES")}, {nil}},
          folded("[Bot]^", "{bot}~")}},
        {"the last word on a token wins; -TOKEN withdraws it",
         {welcome, ":srv 005 bot NETWORK=A WHOX :are supported", ":srv 005 bot NETWORK=B -WHOX :are supported",
          ":srv 005 bot -NOSUCH X=1"},
         {},
         {{"ISupport", {std::string("NETWORK")}, {"B"}}, {"ISupport", {std::string("WHOX")}, {nil}}, {"ISupport", {std::string("X")}, {"1"}}}},
        {"PREFIX names the statuses and their signs",
         {welcome, ":srv 005 bot PREFIX=(qov)~@+ :are supported", ":bot!u@h JOIN #c",
          ":srv 353 bot = #c :bot ~alice @bob +carol", ":srv 366 bot #c :End", ":alice!a@h MODE #c +q-o carol bob"},
         {joined, {"IRC_OnMode", nil, "#c", "alice", "+q-o carol bob"}},
         {{"GetUsers", {std::string("#c")}, {"~alice bob bot ~+carol"}}}},
        {"a malformed PREFIX leaves the usual one",
         {welcome, ":srv 005 bot PREFIX=(ov)@ :are supported", ":bot!u@h JOIN #c", ":srv 353 bot = #c :bot @alice +bob",
          ":srv 366 bot #c :End"},
         {joined},
         {{"GetUsers", {std::string("#c")}, {"@alice +bob bot"}}}},
        {"a PREFIX changed mid-link keeps every status it still has",
         InC({":srv 005 bot PREFIX=(qv)~+ :are supported"}),
         {joined},
         {{"GetUsers", {std::string("#c")}, {"alice +bob bot"}}}},
        {"a CHANMODES of fewer than four lists leaves the usual ones",
         InC({":srv 005 bot CHANMODES=b :are supported", ":alice!a@h MODE #c +l-o 10 alice"}),
         {joined, {"IRC_OnMode", nil, "#c", "alice", "+l-o 10 alice"}},
         {{"GetUsers", {std::string("#c")}, {"alice +bob bot"}}}},
        {"CHANMODES says which modes take a parameter",
         InC({":srv 005 bot CHANMODES=eIbq,k,flj,CFimnpst :are supported", ":alice!a@h MODE #c +qfi-o m 5 alice",
              ":alice!a@h MODE #c -f+v bob"}),
         {joined,
          {"IRC_OnMode", nil, "#c", "alice", "+qfi-o m 5 alice"},
          {"IRC_OnMode", nil, "#c", "alice", "-f+v bob"}},
         {{"GetUsers", {std::string("#c")}, {"alice +bob bot"}}}},
        {"ascii folds letters only",
         {welcome, ":srv 005 bot CASEMAPPING=ascii :are supported"},
         {},
         {folded("[Bot]^", "[bot]^")}},
        {"strict-rfc1459 leaves ^ and ~ apart",
         {welcome, ":srv 005 bot CASEMAPPING=strict-rfc1459 :are supported"},
         {},
         {folded("[Bot]^\\", "{bot}^|")}},
        {"an unknown CASEMAPPING is rfc1459",
         {welcome, ":srv 005 bot CASEMAPPING=rfc7613 :are supported"},
         {},
         {folded("[Bot]^", "{bot}~")}},
        {"once the welcome is over the link keeps its CASEMAPPING, as the line's last word on it",
         {welcome, ":srv 005 bot CASEMAPPING=ascii CASEMAPPING=rfc1459 CASEMAPPING=ascii :are supported",
          ":srv 376 bot :End", ":srv 005 bot CASEMAPPING=rfc1459 :are supported"},
         {{"IRC_EndOfMOTD", nil}, {"IRC_OnRegistered", nil, "bot"}},
         {folded("[Bot]^", "[bot]^"), {"ISupport", {std::string("CASEMAPPING")}, {"rfc1459"}}}},
        {"a CASEMAPPING changed mid-link finds every name by the new one",
         {welcome, ":srv 005 bot CASEMAPPING=ascii :are supported", ":bot!u@h JOIN #c[x]",
          ":srv 353 bot = #c[x] :bot [alice] bob", ":srv 366 bot #c[x] :End", ":srv 005 bot CASEMAPPING=rfc1459 :are supported"},
         {{"IRC_OnJoin", nil, "bot", "#c[x]", nil}},
         {{"GetUser", {std::string("{ALICE}")}, {"[alice]", nil, nil, nil, nil, nil}},
          {"GetUsers", {std::string("#C{X}")}, {"bob bot [alice]"}}}},
    });
}

// The WHOX of our channels goes one at a time, each after the last one's
// 315, and only while none of the script's lines waits for the pace.
TEST_F(RoomLines, WhoxQueriesGoOneAtATimeBehindTheScriptsLines) {
    using namespace std::chrono_literals;
    const std::size_t start = server.received().size();
    for (const char* line : {":srv 001 bot :Welcome", ":srv 005 bot WHOX :are supported"}) ProcessLine(line);
    PaceClock::stopped = true;
    PaceClock::Advance(10s);
    for (int i = 0; i < 5; ++i) host.CallIrc("SendRaw", {"PRIVMSG x :" + std::to_string(i)});  // the allowance spent
    ProcessLine(":bot!u@h JOIN #a");
    ProcessLine(":bot!u@h JOIN #b");
    ProcessLine(":bot!u@h JOIN #c");
    host.CallIrc("SendRaw", {std::string("PRIVMSG x :waits")});
    for (int i = 0; i < 4; ++i) {
        PaceClock::Advance(2s);
        Globals::client->Flush();
    }
    ProcessLine(":srv 315 bot #a :End of /WHO list.");  // only its own 315 lets the next go
    ProcessLine(":srv 315 bot #x :End of /WHO list.");
    PaceClock::Advance(2s);
    Globals::client->Flush();
    ProcessLine(":bot!u@h PART #c");
    ProcessLine(":srv 315 bot #B :End of /WHO list.");  // #c, left, is not asked
    PaceClock::Advance(2s);
    Globals::client->Flush();
    PaceClock::stopped = false;
    ProcessLine("PING :end");
    server.ReadUntil("PONG :end\r\n", 2000, start);
    std::string wire = server.received().substr(start);
    wire.erase(0, wire.find("PRIVMSG x :4\r\n") + 14);
    EXPECT_EQ(wire, "PRIVMSG x :waits\r\nWHO #a %tcuhnfar,415\r\nWHO #b %tcuhnfar,415\r\nPONG :end\r\n");
}
