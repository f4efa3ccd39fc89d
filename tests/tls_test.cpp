// TLS links against a scripted Python peer with certificates made for the
// run: verified and unverified handshakes, refused certificates, broken
// handshakes, records that cut a line, close_notify, a lost TLS link, the
// server's name checked and sent when the link is made by name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "module/globals.h"
#include "module_fixture.h"
#include "net/connection.h"
#include "poll/poll.h"

extern char** environ;

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using Results = std::vector<std::string>;

namespace {

std::string cert_dir;

// tests/tls/tls_server.py in one of its modes, stopped when this goes.
class TlsPeer {
public:
    TlsPeer(const std::string& mode, const std::string& cert, bool ipv6 = false) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        const std::string script = QV_SOURCE_DIR "/tests/tls/tls_server.py";
        const std::string crt = cert_dir + "/" + cert + ".pem", key = cert_dir + "/" + cert + ".key";
        const char* argv[] = {"python3", script.c_str(), mode.c_str(), crt.c_str(), key.c_str(), ipv6 ? "ipv6" : nullptr,
                              nullptr};
        if (posix_spawnp(&pid_, "python3", &actions, nullptr, const_cast<char**>(argv), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fdopen(fds[0], "r");
        const std::string first = NextLine();
        if (first.starts_with("PORT ")) port_ = std::atoi(first.c_str() + 5);
    }
    ~TlsPeer() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ != nullptr) std::fclose(out_);
    }
    TlsPeer(const TlsPeer&) = delete;
    TlsPeer& operator=(const TlsPeer&) = delete;

    int port() const { return port_; }
    // The peer's next report; blocks until it comes (the peer is bounded).
    std::string NextLine() {
        char buf[4096];
        if (out_ == nullptr || std::fgets(buf, sizeof buf, out_) == nullptr) return "<end>";
        std::string line(buf);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        return line;
    }
    // Reports up to and including the first that starts with `prefix`.
    std::vector<std::string> LinesUntil(std::string_view prefix) {
        std::vector<std::string> seen;
        for (std::string l; (l = NextLine()) != "<end>";) {
            seen.push_back(l);
            if (l.starts_with(prefix)) break;
        }
        return seen;
    }

private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
    int port_ = 0;
};

class Tls : public ModuleTest {
protected:
    static void SetUpTestSuite() {
        char dir[] = "/tmp/quorvane-tls-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        cert_dir = dir;
        const std::string make = "bash " QV_SOURCE_DIR "/tests/tls/make_certs.sh " + cert_dir;
        ASSERT_EQ(std::system(make.c_str()), 0);
        // OpenSSL's system roots, as a test may set them: the test CA only.
        setenv("SSL_CERT_FILE", (cert_dir + "/ca.pem").c_str(), 1);
        setenv("SSL_CERT_DIR", cert_dir.c_str(), 1);
    }
    static void TearDownTestSuite() { std::system(("rm -rf " + cert_dir).c_str()); }

    Results Connect(int port, std::vector<Arg> tls, const std::string& server = "127.0.0.1") {
        std::vector<Arg> args{server, port, std::string("bot"), std::string("u"), std::string("Real Name")};
        args.insert(args.end(), tls.begin(), tls.end());
        return host.CallIrc("Connect", args);
    }
    // A connect that must fail: it returns at once and the reason arrives
    // from the poll, once, as IRC_Disconnected.
    std::string Failure(int port, std::vector<Arg> tls, const std::string& server = "127.0.0.1") {
        EXPECT_THAT(Connect(port, std::move(tls), server), IsEmpty());
        if (!PumpUntil([&] { return !host.hook_calls.empty(); }, 15000)) return "<no event>";
        PumpFor(50);
        EXPECT_EQ(host.hook_calls.size(), 1u);
        EXPECT_FALSE(Globals::client->IsConnected());
        const HookCall call = host.hook_calls.front();
        EXPECT_EQ(host.console, "[quorvane] !! " + call.args[2].value_or("") + "\n");
        host.ClearRecords();
        return call.args[0] == "IRC_Disconnected" ? call.args[2].value_or("") : "<" + *call.args[0] + ">";
    }
    bool Connected() {
        return PumpUntil([] { return Globals::client->IsConnected(); });
    }
    std::vector<std::string> RawLines() const {
        std::vector<std::string> lines;
        for (const HookCall& c : host.hook_calls)
            if (c.args[0] == "IRC_RawData") lines.push_back(c.args[2].value_or(""));
        return lines;
    }
};

}  // namespace

TEST_F(Tls, AVerifiedLinkRegistersChatsAndClosesWithCloseNotify) {
    TlsPeer peer("irc", "server");
    Globals::bDebug = false;
    ASSERT_THAT(Connect(peer.port(), {true}), IsEmpty());
    ASSERT_TRUE(Connected());
    EXPECT_EQ(peer.NextLine(), "HANDSHAKE OK");
    EXPECT_THAT(peer.LinesUntil("GOT USER"),
                ElementsAre("GOT PASS pvrkqo618", "GOT NICK bot", "GOT USER u u u :Real Name"));
    ASSERT_TRUE(PumpUntil([&] { return RawLines().size() >= 3; }));
    EXPECT_THAT(RawLines(), ElementsAre(":srv 376 bot :End of MOTD", "PING :tls", ":alice!a@h PRIVMSG #c :hello over tls"));
    EXPECT_EQ(peer.NextLine(), "GOT PONG :tls");
    host.CallIrc("SendMessage", {std::string("#c"), std::string("hi")});
    host.CallIrc("Close");
    EXPECT_THAT(peer.LinesUntil("CLOSE_NOTIFY"), ElementsAre("GOT PRIVMSG #c :hi", "GOT QUIT :Leaving", "CLOSE_NOTIFY"));
    PumpFor(200);
    EXPECT_THAT(host.EventNames(), ::testing::Not(::testing::Contains("IRC_Disconnected")));
}

TEST_F(Tls, ASelfSignedCertificateIsRefusedUnlessInsecureIsAsked) {
    {
        TlsPeer peer("irc", "self");
        EXPECT_EQ(Failure(peer.port(), {true}), "Connect failed: certificate not trusted");
    }
    TlsPeer peer("irc", "self");
    host.console.clear();
    EXPECT_THAT(Connect(peer.port(), {std::string("insecure")}), IsEmpty());
    EXPECT_EQ(host.console, "[quorvane] !! TLS without a certificate check: the link to 127.0.0.1 is not verified\n");
    ASSERT_TRUE(Connected());
    EXPECT_EQ(peer.NextLine(), "HANDSHAKE OK");
}

TEST_F(Tls, ACertificateForAnotherNameIsRefused) {
    {
        TlsPeer peer("irc", "other");
        EXPECT_EQ(Failure(peer.port(), {true}), "Connect failed: certificate name mismatch");
    }
    // A name is checked as well as an address: a certificate the trusted CA
    // signed for other.example does not vouch for localhost.
    TlsPeer peer("irc", "other");
    EXPECT_EQ(Failure(peer.port(), {true}, "localhost"), "Connect failed: certificate name mismatch");
}

TEST_F(Tls, TheServerNameGoesInTheHelloForANameNotForAnAddress) {
    {
        TlsPeer peer("sni", "server");
        ASSERT_THAT(Connect(peer.port(), {true}, "localhost"), IsEmpty());
        ASSERT_TRUE(Connected());
        EXPECT_EQ(peer.NextLine(), "HANDSHAKE OK");
        EXPECT_EQ(peer.NextLine(), "SNI localhost");
        host.CallIrc("Close");
    }
    // An IPv6 address is checked, and left out of the hello, without its
    // brackets.
    for (const char* address : {"127.0.0.1", "[::1]"}) {
        TlsPeer peer("sni", "server", address[0] == '[');
        ASSERT_THAT(Connect(peer.port(), {true}, address), IsEmpty());
        ASSERT_TRUE(Connected()) << address;
        EXPECT_EQ(peer.NextLine(), "HANDSHAKE OK");
        EXPECT_EQ(peer.NextLine(), "SNI none");
        host.CallIrc("Close");
    }
}

TEST_F(Tls, BrokenHandshakesFailTheConnectWithAReason) {
    {
        TlsPeer peer("close", "server");
        EXPECT_EQ(Failure(peer.port(), {true}), "Connect failed: TLS handshake failed: the server closed the connection");
    }
    {
        TlsPeer peer("garbage", "server");
        EXPECT_THAT(Failure(peer.port(), {true}), StartsWith("Connect failed: TLS handshake failed: "));
    }
    // One that never answers is bounded like any connect, and the host
    // keeps its thread meanwhile.
    TlsPeer peer("silent", "server");
    auto longest = std::chrono::steady_clock::duration::zero();
    EXPECT_THAT(Connect(peer.port(), {true}), IsEmpty());
    const auto start = std::chrono::steady_clock::now();
    while (host.hook_calls.empty() && std::chrono::steady_clock::now() - start < std::chrono::seconds(15)) {
        const auto tick = std::chrono::steady_clock::now();
        PumpOnce(10);
        longest = std::max(longest, std::chrono::steady_clock::now() - tick);
    }
    ASSERT_EQ(host.hook_calls.size(), 1u);
    EXPECT_EQ(host.hook_calls[0].args[2], "Connect failed: TLS handshake failed: timed out");
    // Generous: a handshake that waits holds the host for all of its 10 s.
    EXPECT_LT(longest, std::chrono::seconds(2));
}

TEST_F(Tls, ALostTlsLinkIsReportedLikeAPlainOne) {
    TlsPeer peer("drop", "server");
    Globals::bDebug = false;
    ASSERT_THAT(Connect(peer.port(), {true}), IsEmpty());
    ASSERT_TRUE(Connected());
    ASSERT_TRUE(PumpUntil([&] { return host.EventNames().size() >= 3; }));
    EXPECT_THAT(host.EventNames(), ElementsAre("IRC_RawData", "IRC_EndOfMOTD", "IRC_Disconnected"));
    EXPECT_EQ(host.hook_calls.back().args[2], "Connection closed by the server");
}
