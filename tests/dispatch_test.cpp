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
    EXPECT_THAT(host.EventNames(), ElementsAre("IRC_RawData", "IRC_EndOfMOTD", "IRC_RawData", "IRC_ErroneusNick",
                                               "IRC_RawData", "IRC_NickInUse", "IRC_RawData"));
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
