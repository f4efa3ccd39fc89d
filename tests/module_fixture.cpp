#include "module_fixture.h"

#include <chrono>

#include "module/globals.h"
#include "net/connection.h"
#include "poll/poll.h"
#include "protocol/sts.h"
#include "protocol/sts_file.h"
#include "platform/loop.h"

int PumpOnce(int wait_ms) { return qv_loop_dispatch_one(wait_ms); }

PaceClock::time_point PaceClock::now{};
bool PaceClock::stopped = false;

PaceClock::time_point PaceClock::Now() {
    if (!stopped) now += std::chrono::hours(1);
    return now;
}

IdleClock::time_point IdleClock::now{};

void IdleClock::Start() {
    now = std::chrono::steady_clock::now();
    Connection::idle_clock = &IdleClock::Now;
}

void ModuleTest::SetUp() {
    PaceClock::stopped = false;
    Connection::pace_clock = &PaceClock::Now;
    tick_clock = &std::chrono::steady_clock::now;
    gmod_open(&host);
    host.ClearRecords();
}

void ModuleTest::TearDown() {
    gmod_close(host.state);
    // The handler runs in the host: it may spill what the registers hold.
    EXPECT_EQ(host.unwiped, 0u) << "events raised without the register wipe";
    StopPollTimer();
    Globals::client.reset();
    Globals::bDebug = true;
    // Settings outlive a link, as they would a script's Connect.
    Globals::settings = {};
    Globals::stsPolicies.clear();
    Globals::stsFile.clear();
    sts_clock = &std::chrono::steady_clock::now;
    sts_wall_clock = &std::chrono::system_clock::now;
    modulemanager = nullptr;
    Connection::pace_clock = &std::chrono::steady_clock::now;
    Connection::idle_clock = &std::chrono::steady_clock::now;
}

void ModuleTest::ConnectToServer(LoopbackServer& server, const std::string& nick) {
    auto result = host.CallIrc("Connect", {std::string("127.0.0.1"), server.port(), nick, std::string("u"), std::string("Real Name")});
    ASSERT_TRUE(result.empty());
    ASSERT_TRUE(server.Accept());
    // The link comes up, and the registration goes out, from the poll.
    ASSERT_TRUE(PumpUntil([] { return Globals::client->IsConnected(); }));
    server.ReadUntil("Real Name\r\n");
    // A server of before capabilities, which registers us: the script's
    // lines need not wait.
    server.Write(":srv 421 " + nick + " CAP :Unknown command\r\n:srv 001 " + nick + " :Welcome\r\n");
    ASSERT_TRUE(PumpUntil([] { return Globals::client->session().caps.welcomed; }));
    host.ClearRecords();
}

void ModuleTest::PumpFor(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) PumpOnce(10);
}
