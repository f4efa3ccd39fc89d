// Opening, shutting and reopening the module, and what the host can see of
// the shared library itself.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>

#include "module/globals.h"
#include "module_fixture.h"
#include "net/connection.h"
#include "poll/poll.h"
#include "platform/loop.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

const std::vector<std::string> kRegistrationOrder = {
    "SetFunctionMember irc.Connect",  "SetFunctionMember irc.Close",       "SetFunctionMember irc.SendRaw",
    "SetFunctionMember irc.Debug",    "SetFunctionMember irc.SendMessage", "SetFunctionMember irc.Join",
    "SetFunctionMember irc.Part",     "SetFunctionMember irc.NickServ",    "SetFunctionMember irc.GetVersion",
    "SetFunctionMember irc.SetPingTimeout", "SetFunctionMember irc.SetPassword", "SetFunctionMember irc.SetSASL",
    "SetFunctionMember irc.SetUTF8",  "SetFunctionMember irc.SetClientCert", "SetFunctionMember irc.SetStsFile",
    "SetFunctionMember irc.GetNick",  "SetFunctionMember irc.GetChannels", "SetFunctionMember irc.GetUsers",
    "SetFunctionMember irc.GetUser",  "SetFunctionMember irc.GetStatus",   "SetFunctionMember irc.GetTopic",
    "SetFunctionMember irc.ISupport", "SetFunctionMember irc.FoldCase",
};

class Lifecycle : public ModuleTest {};

}  // namespace

TEST_F(Lifecycle, OpeningBindsTheHostAndRegistersItsFunctionsInOrder) {
    gmod_close(host.state);
    RecordingHost fresh;
    gmod_open(&fresh);
    std::vector<std::string> expected = {"ModuleManager", "InterpreterState", "InterfaceFor", "InterfaceFor",
                                         "CreateGlobalTable irc", "InterfaceFor", "FindGlobal irc"};
    expected.insert(expected.end(), kRegistrationOrder.begin(), kRegistrationOrder.end());
    EXPECT_THAT(fresh.ops, ElementsAreArray(expected));
    EXPECT_EQ(gLua, &fresh);
    EXPECT_EQ(fresh.tables["irc"].size(), kRegistrationOrder.size());
    ASSERT_TRUE(Globals::client);
    EXPECT_EQ(Globals::client->State(), ConnectionState::Unconnected);
    gmod_close(fresh.state);
    EXPECT_EQ(gLua, nullptr);
}

TEST_F(Lifecycle, AHostThatCannotFindTheTableItJustMadeGetsNoFunctionsAndNoCrash) {
    gmod_close(host.state);
    RecordingHost lossy;
    lossy.lose_tables = true;
    EXPECT_EQ(gmod_open(&lossy), 0);
    EXPECT_EQ(lossy.ops.back(), "FindGlobal irc");
    EXPECT_TRUE(lossy.tables["irc"].empty());
    EXPECT_EQ(gLua, &lossy);
    // A later opening on a sound host still gets them all.
    gmod_open(&host);
    EXPECT_EQ(host.tables["irc"].size(), kRegistrationOrder.size());
}

TEST_F(Lifecycle, OpeningTwiceKeepsOneConnectionAndOneTable) {
    Connection* first = Globals::client.get();
    gmod_open(&host);
    EXPECT_EQ(Globals::client.get(), first);
    EXPECT_EQ(host.tables.count("irc"), 1u);
    EXPECT_EQ(host.tables["irc"].size(), kRegistrationOrder.size());
}

TEST_F(Lifecycle, ShutDropsOnlyTheHostWhateverStateItIsGiven) {
    Globals::bDebug = false;
    Connection* link = Globals::client.get();
    gmod_close(nullptr);
    EXPECT_EQ(gLua, nullptr);
    EXPECT_EQ(Globals::client.get(), link);
    gmod_open(&host);
    EXPECT_FALSE(Globals::bDebug);  // the script's choice survives a reopen
}

TEST_F(Lifecycle, ReopeningWhileConnectedKeepsTheLinkAndResumesEvents) {
    LoopbackServer server;
    ConnectToServer(server);
    gmod_close(host.state);
    server.Write(":a!b PRIVMSG #c :while shut\r\nPING :1\r\n");
    ASSERT_TRUE(PumpUntil([&] { return server.ReadFor(1).find("PONG :1\r\n") != std::string::npos; }));
    EXPECT_TRUE(host.hook_calls.empty());

    RecordingHost reopened;
    gmod_open(&reopened);
    EXPECT_TRUE(Globals::client->IsConnected());
    reopened.CallIrc("Join", {std::string("#new")});
    EXPECT_NE(server.ReadUntil("JOIN #new\r\n").find("JOIN #new\r\n"), std::string::npos);
    server.Write(":a!b PRIVMSG #c :back\r\n");
    EXPECT_TRUE(PumpUntil([&] { return reopened.hook_calls.size() == 2; }));
    EXPECT_THAT(reopened.EventNames(), ElementsAre("IRC_RawData", "IRC_OnChat"));
    EXPECT_TRUE(host.hook_calls.empty());
    gmod_close(reopened.state);
}

TEST_F(Lifecycle, ScriptFunctionsCalledWhileShutDoNothing) {
    auto connect = host.tables["irc"]["Connect"];
    auto version = host.tables["irc"]["GetVersion"];
    gmod_close(host.state);
    EXPECT_EQ(connect(host.state), 0);
    EXPECT_EQ(version(host.state), 0);
    EXPECT_TRUE(host.stack.empty());
}

namespace {

std::string RunCommand(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string out;
    if (!pipe) return out;
    std::array<char, 256> buf{};
    while (fgets(buf.data(), buf.size(), pipe.get()) != nullptr) out += buf.data();
    return out;
}

}  // namespace

TEST(ModuleLibrary, ExportsExactlyTheTwoEntries) {
    std::string out = RunCommand("nm -D --defined-only '" QV_MODULE_PATH "' | awk '{print $3}' | sort");
    EXPECT_EQ(out, "gmod_close\ngmod_open\n");
}

TEST(ModuleLibrary, UnloadingStopsThePollAndClosesTheLink) {
    void* lib = dlopen(QV_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto open = reinterpret_cast<int (*)(ILuaInterface*)>(dlsym(lib, "gmod_open"));
    auto close = reinterpret_cast<int (*)(lua_State*)>(dlsym(lib, "gmod_close"));
    ASSERT_TRUE(open && close);

    unsigned timers_before = qv_loop_timer_count();
    const unsigned watches_before = qv_loop_watch_count();
    LoopbackServer server;
    {
        RecordingHost host;
        open(&host);
        host.CallIrc("Connect", {std::string("127.0.0.1"), server.port(), std::string("n"), std::string("u"),
                                 std::string("r")});
        ASSERT_TRUE(server.Accept());
        EXPECT_EQ(qv_loop_timer_count(), timers_before + 1);
        for (int i = 0; i < 100 && server.ReadFor(10).find("USER") == std::string::npos; ++i) PumpOnce(10);
        // Shutting keeps the poll: the server's PINGs are still answered.
        close(host.state);
        EXPECT_EQ(qv_loop_timer_count(), timers_before + 1);
        EXPECT_EQ(qv_loop_watch_count(), watches_before + 1);
        // Unloaded with the socket readable: its watch must not call back.
        server.Write("PING :gone\r\n");
        server.ReadFor(50);
    }
    ASSERT_EQ(dlclose(lib), 0);
    EXPECT_EQ(qv_loop_timer_count(), timers_before);
    EXPECT_EQ(qv_loop_watch_count(), watches_before);
    // The link went with the module: the server reads to end of stream.
    server.ReadFor(200);
    EXPECT_NE(server.received().find("USER u u u :r\r\n"), std::string::npos);
    for (int i = 0; i < 5; ++i) PumpOnce(20);  // nothing left to call into
}

TEST(ModuleLibrary, UnloadingDuringAConnectLeavesNothingBehind) {
    SilentListener silent;
    const unsigned timers_before = qv_loop_timer_count();
    const unsigned watches_before = qv_loop_watch_count();
    // By name, so the system's resolver is asked; and with TLS, which a
    // silent server never completes. Unloaded while either is under way.
    for (const char* server : {"localhost", "127.0.0.1"}) {
        void* lib = dlopen(QV_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib, nullptr) << dlerror();
        auto open = reinterpret_cast<int (*)(ILuaInterface*)>(dlsym(lib, "gmod_open"));
        auto close = reinterpret_cast<int (*)(lua_State*)>(dlsym(lib, "gmod_close"));
        RecordingHost host;
        open(&host);
        host.CallIrc("Connect", {std::string(server), silent.port(), std::string("n"), std::string("u"),
                                 std::string("r"), true});
        PumpOnce(10);
        close(host.state);
        ASSERT_EQ(dlclose(lib), 0);
        EXPECT_EQ(qv_loop_timer_count(), timers_before);
        EXPECT_EQ(qv_loop_watch_count(), watches_before);
        for (int i = 0; i < 5; ++i) PumpOnce(20);
        EXPECT_THAT(host.EventNames(), ::testing::IsEmpty()) << server;
    }
}
