// Opening a link on its own: every step returns at once, failures say why
// in plain words, the attempt is bounded, both IP families are reached.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "loopback.h"
#include "platform/stream.h"

namespace {

using platform::Opening;

// Steps the opening until it ends (or a generous bound runs out).
Opening::Status Finish(Opening& opening) {
    for (int i = 0; i < 2000; ++i) {
        const Opening::Status s = opening.Step();
        if (s != Opening::Status::Pending) return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return Opening::Status::Pending;
}

std::string Outcome(const std::string& host, int port, int timeout_ms = 2000) {
    Opening opening(host, port, platform::Security::Plain, timeout_ms);
    const Opening::Status s = Finish(opening);
    return s == Opening::Status::Open ? "open" : s == Opening::Status::Failed ? opening.Error() : "still pending";
}

}  // namespace

TEST(Opening, FailuresSayWhyInPlainWords) {
    int closed_port = 0;
    {
        LoopbackServer gone;
        closed_port = gone.port();
    }
    EXPECT_EQ(Outcome("127.0.0.1", closed_port), "Connection refused");
    EXPECT_EQ(Outcome("no-such-host.invalid", 6667), "Name not resolved");
    EXPECT_EQ(Outcome("", 6667), "Name not resolved");
    EXPECT_EQ(Outcome("[not-an-address]", 6667), "Name not resolved");
    // Known before anything waits: failed from the start.
    for (int port : {70000, -1}) {
        Opening opening("127.0.0.1", port, platform::Security::Plain, 1000);
        EXPECT_EQ(opening.Error(), "Port out of range");
        EXPECT_EQ(opening.Step(), Opening::Status::Failed);
    }
}

TEST(Opening, ASilentServerTimesOutWithoutAnyStepWaiting) {
    SilentListener silent;
    Opening opening("127.0.0.1", silent.port(), platform::Security::Plain, 2500);
    auto longest = std::chrono::steady_clock::duration::zero();
    Opening::Status s = Opening::Status::Pending;
    for (int i = 0; i < 2000 && s == Opening::Status::Pending; ++i) {
        const auto start = std::chrono::steady_clock::now();
        s = opening.Step();
        longest = std::max(longest, std::chrono::steady_clock::now() - start);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(s, Opening::Status::Failed);
    EXPECT_EQ(opening.Error(), "Timed out after 3 s");
    // Generous: only a step that waits on the network comes near it.
    EXPECT_LT(longest, std::chrono::milliseconds(1200));
}

TEST(Opening, ReachesIpv6LoopbackWithOrWithoutBrackets) {
    for (const char* host : {"::1", "[::1]"}) {
        LoopbackServer server(0, true);
        EXPECT_EQ(Outcome(host, server.port()), "open") << host;
        EXPECT_TRUE(server.Accept(2000)) << host;
    }
}

TEST(Opening, ReadsTellAQuietPeerFromOneThatLeft) {
    LoopbackServer server;
    Opening opening("localhost", server.port(), platform::Security::Plain, 2000);
    ASSERT_EQ(Finish(opening), Opening::Status::Open);
    std::unique_ptr<platform::Stream> stream = opening.TakeStream();
    ASSERT_TRUE(server.Accept());
    char buf[8];
    EXPECT_EQ(stream->Read(buf).status, platform::IoStatus::WouldBlock);

    server.Write("abc");
    platform::IoResult r{};
    for (int i = 0; i < 200 && (r = stream->Read(buf)).status == platform::IoStatus::WouldBlock; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(r.status, platform::IoStatus::Ok);
    EXPECT_EQ(r.bytes, 3u);

    server.CloseClient();
    for (int i = 0; i < 200 && (r = stream->Read(buf)).status == platform::IoStatus::WouldBlock; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(r.status, platform::IoStatus::EndOfStream);
}
