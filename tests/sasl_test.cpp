// Logging in: the server password and the SASL exchange, against a
// scripted loopback peer that plays what real servers rarely show.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "module/globals.h"
#include "module_fixture.h"
#include "net/connection.h"
#include "platform/secret.h"
#include "platform/trace.h"
#include "protocol/sasl.h"

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using namespace std::chrono_literals;

namespace {

const std::string kRegistration = "PASS pvrkqo618\r\nNICK bot\r\nUSER u u u :Real Name\r\n";
const std::string kPlainWarning =
    "[quorvane] !! SASL over an unencrypted link: the password can be read on the way\n";

// One turn of the peer: once the module has sent `wait_for` (nothing to
// wait for when empty), the stepped clock moves on by `advance` and the
// peer writes `reply` (kHangUp: closes the link instead).
const std::string kHangUp = "<hang up>";

struct Turn {
    std::string wait_for;
    std::string reply;
    std::chrono::milliseconds advance{0};
};

std::string Base64(std::string_view bytes) {
    platform::Secret out;
    AppendBase64(out, bytes);
    return std::string(out.View());
}

std::string Payload(const std::string& account, const std::string& password) {
    std::string plain = account;
    plain.append(1, '\0').append(account).append(1, '\0').append(password);
    return Base64(plain);
}

// What the module sends for a payload: 400-byte pieces, and "+" after a
// last piece of exactly 400.
std::string Pieces(const std::string& payload) {
    std::string out;
    for (std::size_t at = 0; at < payload.size(); at += 400) out += "AUTHENTICATE " + payload.substr(at, 400) + "\r\n";
    if (payload.size() % 400 == 0) out += "AUTHENTICATE +\r\n";
    return out;
}

class Login : public ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        // Traced to a file of our own, read back to look for secrets; one a
        // process, as ctest runs tests side by side.
        trace_path = ::testing::TempDir() + "quorvane_sasl_trace." + std::to_string(getpid()) + ".txt";
        std::remove(trace_path.c_str());
        setenv("QUORVANE_TRACE", trace_path.c_str(), 1);
        platform::ConfigureTrace();
        // The exchange is timed on the pace clock: it moves only when told.
        PaceClock::stopped = true;
    }
    void TearDown() override {
        unsetenv("QUORVANE_TRACE");
        platform::ConfigureTrace();
        std::remove(trace_path.c_str());
        ModuleTest::TearDown();
    }
    std::string Trace() const {
        std::ifstream in(trace_path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::vector<std::string> Disconnects() const {
        std::vector<std::string> reasons;
        for (const HookCall& c : host.hook_calls)
            if (c.args.size() == 3 && c.args[0] == "IRC_Disconnected") reasons.push_back(c.args[2].value_or("<nil>"));
        return reasons;
    }
    bool PumpUntilReceived(LoopbackServer& peer, std::string_view text, std::size_t from) {
        return PumpUntil([&] { return peer.ReadUntil(text, 20, from).find(text, from) != std::string::npos; });
    }
    bool Connected() { return Globals::client && Globals::client->IsConnected(); }

    std::string trace_path;
};

}  // namespace

TEST(Base64, EncodesAsTheStandardSays) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},           {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {std::string("a\0a\0\xff", 5), "YQBhAP8="},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Base64(in), out) << in;
}

TEST_F(Login, SaslExchanges) {
    const std::string ls = ":srv CAP * LS :multi-prefix sasl\r\n";
    const std::string ack = ":srv CAP bot ACK :sasl \r\n";
    const std::string success = ":srv 900 bot bot!u@h acct :You are now logged in as acct\r\n:srv 903 bot :SASL authentication successful\r\n";
    const std::string quit = "QUIT :SASL login failed\r\n";
    const std::string pw700(700, 'p'), pw296(296, 'q'), pw596(596, 'r');

    struct Case {
        const char* name;
        std::string account, password;
        std::vector<Turn> turns;
        std::string wire;     // all the module sends after the registration lines
        std::string outcome;  // the IRC_Disconnected reason, or empty for logged in
        std::string early = {};  // a channel the script joins right after Connect
        std::chrono::milliseconds before_up{0};  // passes between Connect and link-up
        // EXTERNAL is tried over plain TCP here: the link's login is told
        // so directly, as a client certificate would let it.
        SaslMechanism mechanism = SaslMechanism::Plain;
    };
    const std::string unexpected = "SASL login failed: unexpected reply from the server";
    const std::vector<Case> cases = {
        {"a capability list in several lines; a payload in three pieces",
         "acct", pw700,
         {{"", ":srv CAP * LS * :multi-prefix away-notify\r\n:srv CAP * LS * :sasl=EXTERNAL,PLAIN\r\n"},
          {"", ":srv CAP * LS :account-notify\r\n"},
          {"CAP REQ :sasl\r\n", ack}, {"AUTHENTICATE PLAIN\r\n", "AUTHENTICATE +\r\n"},
          {"AUTHENTICATE ", ""}, {"\r\nAUTHENTICATE ", ""}, {"\r\nAUTHENTICATE ", ""},
          {"\r\n", success}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + Pieces(Payload("acct", pw700)) + "CAP END\r\nJOIN #early\r\n", "",
         "#early"},
        {"a payload of exactly 400 is followed by AUTHENTICATE +",
         "a", pw296,
         {{"", ls}, {"CAP REQ :sasl\r\n", ack}, {"AUTHENTICATE PLAIN\r\n", "AUTHENTICATE +\r\n"},
          {"AUTHENTICATE +\r\n", success}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + Pieces(Payload("a", pw296)) + "CAP END\r\n", ""},
        {"a payload of exactly 800",
         "a", pw596,
         {{"", ls}, {"CAP REQ :sasl\r\n", ack}, {"AUTHENTICATE PLAIN\r\n", "AUTHENTICATE +\r\n"},
          {"AUTHENTICATE +\r\n", success}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + Pieces(Payload("a", pw596)) + "CAP END\r\n", ""},
        {"a 421 for some other line leaves the login alone",
         "acct", "pw",
         {{"", ":srv 421 bot FOO :Unknown command\r\n" + ls}, {"CAP REQ :sasl\r\n", ack},
          {"AUTHENTICATE PLAIN\r\n", "AUTHENTICATE :+\r\n"}, {Payload("acct", "pw") + "\r\n", success}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + Pieces(Payload("acct", "pw")) + "CAP END\r\n", ""},
        {"short and odd lines on the way are passed over",
         "acct", "pw",
         {{"", "CAP\r\n:srv CAP\r\n:srv CAP bot\r\nAUTHENTICATE\r\n:\r\n \r\n\r\n:srv 9\r\n:srv CAP * NEW :x\r\n" + ls},
          {"CAP REQ :sasl\r\n", ack}, {"AUTHENTICATE PLAIN\r\n", "AUTHENTICATE +\r\n"},
          {Payload("acct", "pw") + "\r\n", success}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + Pieces(Payload("acct", "pw")) + "CAP END\r\n", ""},
        {"a wrong password (904)",
         "acct", "wrong",
         {{"", ls}, {"CAP REQ :sasl\r\n", ack}, {"AUTHENTICATE PLAIN\r\n", "AUTHENTICATE +\r\n"},
          {Payload("acct", "wrong") + "\r\n", ":srv 904 bot :SASL authentication failed\r\n"}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + Pieces(Payload("acct", "wrong")) + quit,
         "SASL login failed: SASL authentication failed"},
        {"mechanisms without PLAIN after the request (908, then 904)",
         "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ack},
          {"AUTHENTICATE PLAIN\r\n", ":srv 908 bot EXTERNAL\x1b :are available SASL mechanisms\r\n:srv 904 bot :SASL authentication failed\r\n"}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + quit,
         "SASL login failed: the server does not take PLAIN (it takes EXTERNAL)"},
        {"a server that does not know CAP (421)",
         "acct", "pw",
         {{"", ":srv 421 * CAP :Unknown command\r\n:srv 001 bot :Welcome\r\n"}},
         quit, "SASL login failed: the server does not know CAP"},
        {"the server hangs up before our credentials", "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", kHangUp}}, "CAP REQ :sasl\r\n", "Connection closed by the server"},
        {"a server without sasl",
         "acct", "pw",
         {{"", ":srv CAP * LS :multi-prefix away-notify\r\n"}},
         quit, "SASL login failed: the server does not offer SASL"},
        {"a mechanism list without PLAIN (the server's words in the reason lose their controls)",
         "acct", "pw",
         {{"", ":srv CAP * LS :sasl=EXTERNAL,\x1bSCRAM-SHA-256\x07 multi-prefix\r\n"}},
         quit, "SASL login failed: the server does not offer SASL PLAIN (only EXTERNAL,SCRAM-SHA-256)"},
        {"sasl refused (NAK)",
         "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ":srv CAP bot NAK :sasl\r\n"}},
         "CAP REQ :sasl\r\n" + quit, "SASL login failed: the server refused the sasl capability"},
        {"registered before the login (001)",
         "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ":srv 001 bot :Welcome\r\n"}},
         "CAP REQ :sasl\r\n" + quit, "SASL login failed: the server registered the connection before the login"},
        {"a nick held by another account (902)",
         "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ack}, {"AUTHENTICATE PLAIN\r\n", "AUTHENTICATE +\r\n"},
          {Payload("acct", "pw") + "\r\n", ":srv 902 bot :You must use a nick assigned to you\r\n"}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + Pieces(Payload("acct", "pw")) + quit,
         "SASL login failed: You must use a nick assigned to you"},
        {"no answer at all: exactly 10 s from link-up is still in time, a moment more is not",
         "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ack, 10s}, {"AUTHENTICATE PLAIN\r\n", "", 1ms}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + quit,
         "SASL login failed: the server did not finish the login within 10 s", "", 5s},
        // Replies out of order: only a 903 that answers our credentials is a
        // login, and nothing of the script's goes out before it.
        {"903 before anything was asked", "acct", "pw",
         {{"", ":srv 903 bot :SASL authentication successful\r\n"}}, quit, unexpected, "#early"},
        {"903 right after CAP REQ", "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ":srv 903 bot :SASL authentication successful\r\n"}},
         "CAP REQ :sasl\r\n" + quit, unexpected},
        {"900 before our credentials", "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ack}, {"AUTHENTICATE PLAIN\r\n", ":srv 900 bot bot!u@h acct :Logged in\r\n"}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + quit, unexpected},
        {"an AUTHENTICATE challenge before we named a mechanism", "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", "AUTHENTICATE +\r\n"}}, "CAP REQ :sasl\r\n" + quit, unexpected},
        {"an ACK nobody asked for", "acct", "pw", {{"", ":srv CAP * ACK :sasl\r\n"}}, quit, unexpected},
        {"EXTERNAL: our empty response to the server's +", "acct", "unused",
         {{"", ":srv CAP * LS :sasl=PLAIN,EXTERNAL\r\n"}, {"CAP REQ :sasl\r\n", ack},
          {"AUTHENTICATE EXTERNAL\r\n", "AUTHENTICATE +\r\n"}, {"AUTHENTICATE +\r\n", success}},
         "CAP REQ :sasl\r\nAUTHENTICATE EXTERNAL\r\nAUTHENTICATE +\r\nCAP END\r\nJOIN #early\r\n", "", "#early", 0ms,
         SaslMechanism::External},
        {"EXTERNAL where the server lists only PLAIN", "acct", "unused",
         {{"", ":srv CAP * LS :sasl=PLAIN\r\n"}}, quit,
         "SASL login failed: the server does not offer SASL EXTERNAL (only PLAIN)", "", 0ms, SaslMechanism::External},
        {"an ACK for more than we asked", "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ":srv CAP bot ACK :sasl multi-prefix\r\n"}}, "CAP REQ :sasl\r\n" + quit,
         unexpected},
        {"replies with tags, read as the same replies without them", "acct", "wrong",
         {{"", "@time=1 " + ls}, {"CAP REQ :sasl\r\n", "@a=b;c  " + ack}, {"AUTHENTICATE PLAIN\r\n", "@x=y AUTHENTICATE +\r\n"},
          {Payload("acct", "wrong") + "\r\n", "@time=2 :srv 904 bot :SASL authentication failed\r\n"}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + Pieces(Payload("acct", "wrong")) + quit,
         "SASL login failed: SASL authentication failed"},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host.ClearRecords();
        LoopbackServer server;
        host.CallIrc("SetSASL", {c.account, c.password});
        ASSERT_THAT(host.CallIrc("Connect", {std::string("127.0.0.1"), server.port(), std::string("bot"),
                                             std::string("u"), std::string("Real Name")}),
                    IsEmpty());
        Globals::client->session.login.mechanism = c.mechanism;
        if (!c.early.empty()) host.CallIrc("Join", {c.early});
        PaceClock::Advance(c.before_up);
        ASSERT_TRUE(server.Accept());
        ASSERT_TRUE(PumpUntil([] { return Globals::client->IsConnected(); }));
        ASSERT_EQ(server.ReadUntil("Real Name\r\n"), "CAP LS 302\r\n" + kRegistration);
        const std::size_t start = server.received().size();
        std::size_t from = start;
        for (const Turn& t : c.turns) {
            ASSERT_TRUE(PumpUntilReceived(server, t.wait_for, from)) << "waited for " << t.wait_for;
            from = server.received().find(t.wait_for, from) + t.wait_for.size();
            PaceClock::Advance(t.advance);
            if (t.reply == kHangUp)
                server.CloseClient();
            else if (!t.reply.empty())
                server.Write(t.reply);
            // Exactly at the limit the exchange must still be alive.
            if (t.advance == 10s) {
                PumpFor(250);
                ASSERT_TRUE(Connected());
            }
        }
        if (c.outcome.empty()) {
            ASSERT_TRUE(PumpUntilReceived(server, "CAP END\r\n", start));
            EXPECT_TRUE(Connected());
        } else {
            ASSERT_TRUE(PumpUntil([&] { return !Disconnects().empty(); }));
            EXPECT_FALSE(Connected());
            server.ReadFor(100);
        }
        PumpFor(150);
        server.ReadFor(50);
        EXPECT_EQ(server.received().substr(start), c.wire);
        EXPECT_EQ(Disconnects(), c.outcome.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.outcome});
        // The echo stays on throughout: neither it, nor the trace, nor any
        // console line shows the password or what carries it.
        EXPECT_EQ(host.console.find(kPlainWarning), 0u);
        EXPECT_EQ(host.console.rfind(kPlainWarning), 0u);
        const std::string trace = Trace();
        for (const std::string& secret : {c.password, Payload(c.account, c.password)}) {
            EXPECT_THAT(host.console, Not(HasSubstr(secret)));
            EXPECT_THAT(trace, Not(HasSubstr(secret)));
        }
        if (c.wire.find("AUTHENTICATE " + Payload(c.account, c.password).substr(0, 20)) != std::string::npos) {
            EXPECT_THAT(trace, HasSubstr("[SASL] > AUTHENTICATE ****\n"));
        }
        // Sent, refused or lost, the link keeps no copy of the credentials.
        EXPECT_TRUE(Globals::client->session.login.account.Empty() && Globals::client->session.login.password.Empty());
        host.CallIrc("Close");
    }
}

TEST_F(Login, PasswordAndLoginSettingsShapeTheRegistration) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::vector<Arg>>> calls;  // made before Connect
        std::string registration;
    };
    const std::vector<Case> cases = {
        {"never set: the fixed password, no CAP", {}, kRegistration},
        {"a password", {{"SetPassword", {std::string("s3cret")}}}, "PASS s3cret\r\nNICK bot\r\nUSER u u u :Real Name\r\n"},
        {"a password with a space goes as trailing text",
         {{"SetPassword", {std::string("two words")}}},
         "PASS :two words\r\nNICK bot\r\nUSER u u u :Real Name\r\n"},
        {"a leading colon goes as trailing text, or the server strips it",
         {{"SetPassword", {std::string(":lead")}}}, "PASS ::lead\r\nNICK bot\r\nUSER u u u :Real Name\r\n"},
        {"a password leaves as given, whatever the text rules",
         {{"SetPassword", {std::string("p\xc3\xa4sswort9")}}}, "PASS p\xc3\xa4sswort9\r\nNICK bot\r\nUSER u u u :Real Name\r\n"},
        {"a line break cuts it", {{"SetPassword", {std::string("pw\r\nQUIT :x")}}}, "PASS pw\r\nNICK bot\r\nUSER u u u :Real Name\r\n"},
        {"nil returns to the fixed one",
         {{"SetPassword", {std::string("s3cret")}}, {"SetPassword", {std::monostate{}}}}, kRegistration},
        {"no argument returns to the fixed one", {{"SetPassword", {std::string("s3cret")}}, {"SetPassword", {}}}, kRegistration},
        {"SetSASL() turns the login off: no CAP",
         {{"SetSASL", {std::string("acct"), std::string("pw")}}, {"SetSASL", {}}}, kRegistration},
        {"SASL and a password together",
         {{"SetSASL", {std::string("acct"), std::string("pw")}}, {"SetPassword", {std::string("s3cret")}}},
         "CAP LS 302\r\nPASS s3cret\r\nNICK bot\r\nUSER u u u :Real Name\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host.ClearRecords();
        host.CallIrc("SetPassword");
        host.CallIrc("SetSASL");
        for (const auto& [name, args] : c.calls) EXPECT_THAT(host.CallIrc(name, args), IsEmpty());
        LoopbackServer server;
        ASSERT_THAT(host.CallIrc("Connect", {std::string("127.0.0.1"), server.port(), std::string("bot"),
                                             std::string("u"), std::string("Real Name")}),
                    IsEmpty());
        ASSERT_TRUE(server.Accept());
        ASSERT_TRUE(PumpUntil([] { return Globals::client->IsConnected(); }));
        EXPECT_EQ(server.ReadUntil("Real Name\r\n"), c.registration);
        host.CallIrc("Close");
        EXPECT_THAT(host.console, Not(HasSubstr("s3cret")));
        EXPECT_THAT(Trace(), Not(HasSubstr("s3cret")));
    }
}

TEST_F(Login, ExternalWithoutACertificateFailsAtOnceAndUnknownMechanismsAreRefused) {
    LoopbackServer server;
    const std::vector<Arg> connect = {std::string("127.0.0.1"), server.port(), std::string("bot"), std::string("u"),
                                      std::string("Real Name")};
    EXPECT_THAT(host.CallIrc("SetSASL", {std::string("acct"), std::string("pw"), std::string("scram-sha-256")}),
                ::testing::ElementsAre("SASL: unknown mechanism scram-sha-256"));
    EXPECT_THAT(host.CallIrc("SetSASL", {std::string("acct"), std::string("ignored"), std::string("external")}), IsEmpty());
    EXPECT_THAT(host.CallIrc("SetSASL", {std::string("acct2"), std::string("pw"), std::string("MD5")}), Not(IsEmpty()));
    // EXTERNAL kept, with no certificate: nothing is sent, not even a connect.
    ASSERT_THAT(host.CallIrc("Connect", connect), IsEmpty());
    ASSERT_TRUE(PumpUntil([&] { return !Disconnects().empty(); }));
    EXPECT_EQ(Disconnects(), std::vector<std::string>{"SASL login failed: EXTERNAL needs a client certificate (irc.SetClientCert)"});
    EXPECT_FALSE(server.Accept(200));
    EXPECT_THAT(Trace(), Not(HasSubstr("ignored")));
}
