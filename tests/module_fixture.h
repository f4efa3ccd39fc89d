// A module opened on a recording host, reset to its loaded state afterwards
// so every test starts from a fresh process's view of the module.
#ifndef QV_TESTS_MODULE_FIXTURE_H
#define QV_TESTS_MODULE_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "loopback.h"
#include "recording_host.h"

extern "C" int gmod_open(ILuaInterface* lua);
extern "C" int gmod_close(lua_State* state);

class ModuleTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // irc.Connect to the loopback server, accepted, with the registration
    // lines read off, CAP answered as a server that knows none does (421)
    // and the welcome (001) read; the records start empty afterwards.
    void ConnectToServer(LoopbackServer& server, const std::string& nick = "bot");
    // Pumps the message loop until `done` holds, within a bounded time.
    template <class Done>
    bool PumpUntil(Done done, int timeout_ms = 3000);
    // Pumps for a while whatever happens (for "nothing more arrives").
    void PumpFor(int ms);

    RecordingHost host;
};

int PumpOnce(int wait_ms);

// The clock that paces sending, in the test's hands. Unless a test stops
// it, time leaps ahead at every look, so pacing holds nothing back.
struct PaceClock {
    using time_point = std::chrono::steady_clock::time_point;
    static time_point now;
    static bool stopped;
    static time_point Now();
    static void Advance(std::chrono::milliseconds by) { now += by; }
};

// The clock that measures the server's silence, stepped by hand only; it
// starts where the real one stands, so a link connected before it took
// over keeps its times.
struct IdleClock {
    using time_point = std::chrono::steady_clock::time_point;
    static time_point now;
    static time_point Now() { return now; }
    static void Start();
    static void Advance(std::chrono::seconds by) { now += by; }
};

template <class Done>
bool ModuleTest::PumpUntil(Done done, int timeout_ms) {
    for (int waited = 0; !done(); waited += 10) {
        if (waited >= timeout_ms) return false;
        PumpOnce(10);
    }
    return true;
}

#endif
