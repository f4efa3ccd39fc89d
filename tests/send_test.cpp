// Outgoing lines as the server receives them.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "module/globals.h"
#include "module_fixture.h"
#include "net/connection.h"

namespace {

class Sending : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ConnectToServer(server);
        start = server.received().size();
    }
    std::string Sent(std::string_view until) {
        server.ReadUntil(until, 3000, start);
        return server.received().substr(start);
    }
    LoopbackServer server;
    std::size_t start = 0;
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

TEST_F(Sending, ALineLargerThanTheSocketBufferArrivesWhole) {
    std::string big(4 << 20, 'x');
    std::thread reader([&] { server.ReadUntil("x\r\n", 20000, start); });
    Globals::SendIRCString(big);
    reader.join();
    EXPECT_EQ(server.received().size() - start, big.size() + 2);
    EXPECT_TRUE(Globals::client->IsConnected());
}

TEST_F(Sending, APeerThatHasGoneDropsTheLinkWithoutASignal) {
    server.CloseClient();
    // The first send may still be taken by the kernel; the reset it
    // provokes fails a later one. The process must survive either way.
    for (int i = 0; i < 50 && Globals::client->IsConnected(); ++i) {
        Globals::SendIRCString("PRIVMSG #c :anyone?");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(Globals::client->State(), ConnectionState::Dropped);
    Globals::SendIRCString("dropped quietly");
}

TEST_F(Sending, NothingGoesOutAfterClose) {
    Globals::client->Close();
    Globals::SendIRCString("late");
    EXPECT_EQ(Globals::client->State(), ConnectionState::Closed);
    server.ReadFor(100);
    EXPECT_EQ(server.received().substr(start), "");
}
