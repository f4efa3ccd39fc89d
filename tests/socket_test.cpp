// Opening a link on its own: every step returns at once, failures say why
// in plain words, the attempt is bounded, both IP families are reached.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <filesystem>

#include "loopback.h"
#include "module_fixture.h"
#include "platform/resolve.h"
#include "platform/stream.h"

namespace {

using platform::Opening;
using namespace std::chrono_literals;

// The resolver's answer as a test gives it: these addresses, or (none) a
// lookup that never ends.
class Given final : public platform::Resolution {
public:
    explicit Given(std::vector<platform::Address> addresses) { addresses_ = std::move(addresses); }
    Status Check() override { return addresses_.empty() ? Status::Pending : Status::Done; }
};

platform::Address At(const char* literal, int port) { return platform::Resolve(literal, port)->Addresses().at(0); }

std::size_t OpenFds() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// Openings measure their bound and stagger on the pace clock, stopped: time
// moves only when the test says.
class SteppedOpening : public ::testing::Test {
protected:
    void SetUp() override {
        PaceClock::stopped = true;
        Opening::clock = &PaceClock::Now;
    }
    void TearDown() override {
        Opening::clock = &std::chrono::steady_clock::now;
        PaceClock::stopped = false;
    }
    // Steps `n` times, a few ms apart, so the kernel can answer meanwhile;
    // stops early once it is over.
    static Opening::Status Settle(Opening& opening, int n = 20) {
        Opening::Status s = opening.Step();
        for (int i = 1; i < n && s == Opening::Status::Pending; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            s = opening.Step();
        }
        return s;
    }
};

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
    const RefusingPort refusing;
    const int closed_port = refusing.port();
    EXPECT_EQ(Outcome("127.0.0.1", closed_port), "Connection refused");
    EXPECT_EQ(Outcome("no-such-host.invalid", 6667), "Name not resolved");
    EXPECT_EQ(Outcome("", 6667), "Name not resolved");
    EXPECT_EQ(Outcome("[not-an-address]", 6667), "Name not resolved");
    // Known before anything waits: failed from the start.
    for (int port : {70000, -1, 0}) {
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

// One address that drops packets costs 250 ms, not the attempt: the next
// starts then, or at once when one fails; the families take turns; the
// first to connect wins and every other socket is closed at once.
TEST_F(SteppedOpening, TheNextAddressIsTriedAfter250MsOrAtOnceAfterAFailure) {
    LoopbackServer live;
    SilentListener silent6(true, live.port()), silent6b(true), silent4;
    int refused = 0;
    {
        LoopbackServer gone;
        refused = gone.port();
    }
    const platform::Address live4 = At("127.0.0.1", live.port()), dead = At("127.0.0.1", refused);
    // Its listener goes once our connect is under way: the connect fails
    // later, when the kernel tries its SYN again.
    auto doomed = std::make_unique<SilentListener>();
    const platform::Address doomed4 = At("127.0.0.1", doomed->port());
    struct Case {
        const char* name;
        std::vector<platform::Address> addresses;
        bool staggered;  // the live one is reached only after 250 ms
        bool fails_later = false;  // the second fails after 250 ms, while the first still waits
    };
    const Case cases[] = {
        {"silent ::1, then 127.0.0.1 on the same port", {At("::1", live.port()), live4}, true},
        {"refused, silent, live", {dead, At("127.0.0.1", silent4.port()), live4}, true},
        {"refused, then live", {dead, live4}, false},
        {"two silent IPv6 addresses: IPv4 comes second", {At("::1", live.port()), At("::1", silent6b.port()), live4}, true},
        {"silent, then one that fails once under way: the next at once, not 250 ms on",
         {At("127.0.0.1", silent4.port()), doomed4, live4}, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t fds = OpenFds();
        Opening opening("dual.test", std::make_unique<Given>(c.addresses), platform::Security::Plain, 10000);
        if (c.staggered) {
            EXPECT_EQ(Settle(opening), Opening::Status::Pending);
            PaceClock::Advance(249ms);
            EXPECT_EQ(Settle(opening), Opening::Status::Pending);
            EXPECT_FALSE(live.Accept(0));
            PaceClock::Advance(1ms);
        }
        if (c.fails_later) {
            EXPECT_EQ(Settle(opening), Opening::Status::Pending);
            PaceClock::Advance(250ms);
            EXPECT_EQ(Settle(opening), Opening::Status::Pending);
            const std::size_t with_listener = OpenFds();
            doomed.reset();
            fds -= with_listener - OpenFds();
        }
        ASSERT_EQ(Settle(opening, 2000), Opening::Status::Open);
        EXPECT_EQ(OpenFds(), fds + 1) << "only the winner is left open";
        EXPECT_TRUE(live.Accept(2000));
        live.CloseClient();
    }
}

// The 10 s cover the lookup, the connects and the TLS handshake together.
TEST_F(SteppedOpening, OneBoundCoversTheLookupTheConnectsAndTheHandshake) {
    Opening lookup("slow.test", std::make_unique<Given>(std::vector<platform::Address>{}), platform::Security::Plain,
                   10000);
    PaceClock::Advance(9999ms);
    EXPECT_EQ(lookup.Step(), Opening::Status::Pending);
    PaceClock::Advance(1ms);
    EXPECT_EQ(lookup.Step(), Opening::Status::Failed);
    EXPECT_EQ(lookup.Error(), "Timed out after 10 s");

    // Every address silent: each socket is open at once, none after.
    SilentListener silent6(true), silent4;
    const std::size_t fds = OpenFds();
    Opening silent("dual.test",
                   std::make_unique<Given>(std::vector{At("::1", silent6.port()), At("127.0.0.1", silent4.port())}),
                   platform::Security::Plain, 10000);
    EXPECT_EQ(Settle(silent), Opening::Status::Pending);
    PaceClock::Advance(250ms);
    EXPECT_EQ(Settle(silent), Opening::Status::Pending);
    EXPECT_EQ(OpenFds(), fds + 2);
    PaceClock::Advance(9749ms);
    EXPECT_EQ(Settle(silent), Opening::Status::Pending);
    PaceClock::Advance(1ms);
    EXPECT_EQ(silent.Step(), Opening::Status::Failed);
    EXPECT_EQ(silent.Error(), "Timed out after 10 s");
    EXPECT_EQ(OpenFds(), fds);

    // TCP up late (at 6 s) leaves the handshake what is left of the 10 s.
    LoopbackServer mute;
    Opening tls("127.0.0.1", mute.port(), platform::Security::Tls, 10000);
    PaceClock::Advance(6s);
    EXPECT_EQ(tls.Step(), Opening::Status::Pending);
    ASSERT_TRUE(mute.Accept());
    for (int i = 0; i < 2000 && mute.ReadFor(5).empty(); ++i) ASSERT_EQ(tls.Step(), Opening::Status::Pending);
    ASSERT_FALSE(mute.received().empty()) << "no TLS hello";
    PaceClock::Advance(3999ms);
    EXPECT_EQ(tls.Step(), Opening::Status::Pending);
    PaceClock::Advance(1ms);
    EXPECT_EQ(tls.Step(), Opening::Status::Failed);
    EXPECT_EQ(tls.Error(), "TLS handshake failed: timed out");
}

// A lookup given up while the resolver's thread still works on it is left
// to that thread, never freed under it (valgrind.lookups runs this under
// valgrind, which sees such a write; glibc's thread is not instrumented).
TEST(Opening, ALookupGivenUpIsLeftToTheResolver) {
    for (int i = 0; i < 30; ++i) {
        Opening opening("localhost", 6667, platform::Security::Plain, 1000);
        opening.Step();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}
