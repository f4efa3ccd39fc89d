#include "module_fixture.h"

#include <chrono>

#include "module/globals.h"
#include "net/connection.h"
#include "commands/registration.h"
#include "poll/poll.h"
#include "protocol/sasl.h"
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
    gmod_open(&host);
    host.ClearRecords();
}

void ModuleTest::TearDown() {
    gmod_close(host.state);
    StopPollTimer();
    Globals::client.reset();
    Globals::bDebug = true;
    Globals::pingTimeout = Connection::kDefaultPingTimeoutS;
    Globals::bUTF8 = false;
    Globals::self = {};
    Globals::clientCert.reset();
    // Login settings outlive a link, as they would a script's Connect.
    SetServerPassword({});
    SetSaslCredentials({}, {});
    BeginSasl();
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
    host.ClearRecords();
}

void ModuleTest::PumpFor(int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) PumpOnce(10);
}
