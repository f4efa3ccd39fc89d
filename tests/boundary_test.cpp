// No C++ exception may reach the host, whatever throws inside the module.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "module_fixture.h"

using ::testing::ElementsAre;

namespace {
class Boundary : public ModuleTest {};
}  // namespace

TEST_F(Boundary, ScriptFunctionsAndEntriesSwallowWhatTheyCannotFinish) {
    host.fail_pushes = true;
    std::vector<std::string> results{"unset"};
    EXPECT_NO_THROW(results = host.CallIrc("GetVersion"));
    EXPECT_TRUE(results.empty());
    RecordingHost other;
    other.fail_pushes = true;
    EXPECT_NO_THROW(gmod_open(&other));
    EXPECT_NO_THROW(gmod_close(other.state));
}

TEST_F(Boundary, EntriesSurviveANullOrThrowingHost) {
    EXPECT_EQ(gmod_open(nullptr), 0);
    RecordingHost failing;
    failing.fail_manager = true;
    int result = -1;
    EXPECT_NO_THROW(result = gmod_open(&failing));
    EXPECT_EQ(result, 0);
}

TEST_F(Boundary, AThrowingHandlerCostsItsOwnLineOnly) {
    LoopbackServer server;
    ConnectToServer(server);
    host.on_hook = [](const HookCall& call) {
        if (call.args.size() > 2 && call.args[2] == "one") throw std::runtime_error("handler failed");
    };
    server.Write("one\r\ntwo\r\nthree\r\n");
    EXPECT_TRUE(PumpUntil([&] { return host.hook_calls.size() == 3; }));
    EXPECT_THAT(host.EventNames(), ElementsAre("IRC_RawData", "IRC_RawData", "IRC_RawData"));
    // The poll goes on with later reads.
    server.Write("four\r\n");
    EXPECT_TRUE(PumpUntil([&] { return host.hook_calls.size() == 4; }));
}
