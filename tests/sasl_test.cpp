// Logging in: the server password and the SASL exchange, against a
// scripted loopback peer that plays what real servers rarely show.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <new>
#include <optional>
#include <sstream>

#include <stringprep.h>
#include <unistd.h>

#include "module/globals.h"
#include "module_fixture.h"
#include "net/connection.h"
#include "platform/client_cert_openssl.h"
#include "platform/saslprep.h"
#include "platform/saslprep_tables.h"
#include "platform/secret.h"
#include "platform/trace.h"
#include "protocol/base64.h"
#include "protocol/caps.h"
#include "protocol/sasl.h"
#include "protocol/scram.h"

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using namespace std::chrono_literals;

namespace {

const std::string kRegistration = "CAP LS 302\r\nPASS pvrkqo618\r\nNICK bot\r\nUSER u u u :Real Name\r\n";
const std::string kPlainWarning =
    "[quorvane] !! SASL over an unencrypted link: the password can be read on the way\n";

// One turn of the peer: once the module has sent `wait_for` (nothing to
// wait for when empty), the stepped clock moves on by `advance` and the
// peer writes `reply` (kHangUp: closes the link instead; kClose: the
// script closes it; kRaw: the script sends a line).
const std::string kHangUp = "<hang up>", kClose = "<close>";
// A reply that starts so is the script's irc.SendRaw of the rest.
const std::string kRaw = "<raw> ";

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

// RFC 7677's example exchange; the client's nonce is ours through the seam.
const std::string kNonce = "rOprNGfwEbeRWgbNEkqO";
const std::string kServerNonce = kNonce + "%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0";
const std::string kServerFirst = "r=" + kServerNonce + ",s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
const std::string kClientFinal = "c=biws,r=" + kServerNonce + ",p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=";
const std::string kServerFinal = "v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=";

// A client certificate as the login sees it: only its fingerprint counts
// (no link here presents it).
const std::string kCertFingerprint = "5e" + std::string(62, 'f');
std::shared_ptr<const platform::ClientCert> FakeClientCert() {
    return std::make_shared<const platform::ClientCert>("CN=bot", kCertFingerprint,
                                                        std::make_unique<platform::ClientCert::Native>());
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
        // The exchange is timed on the pace clock: it moves only when told,
        // from where the real one stands, as a time left at zero would hide
        // a bound counted from before the link came up.
        PaceClock::stopped = true;
        PaceClock::now = std::chrono::steady_clock::now();
        scram_nonce = [] { return kNonce; };
    }
    void TearDown() override {
        scram_nonce = random_nonce;
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
    std::string (*const random_nonce)() = scram_nonce;
};

}  // namespace

#if defined(__x86_64__) && defined(__linux__)
// Loads ymm0-15 from `in` (16 times 32 bytes), calls `wipe`, stores them to
// `out`: nothing the compiler emits comes between.
extern "C" void qv_probe_vector_wipe(const void* in, void* out, void (*wipe)());
asm(R"(
    .text
    .globl qv_probe_vector_wipe
    .type qv_probe_vector_wipe, @function
qv_probe_vector_wipe:
    push %rbx
    push %r12
    push %r13
    mov %rsi, %rbx
    mov %rdx, %r12
    .irp i,0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15
    vmovdqu (\i*32)(%rdi), %ymm\i
    .endr
    call *%r12
    .irp i,0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15
    vmovdqu %ymm\i, (\i*32)(%rbx)
    .endr
    vzeroupper
    pop %r13
    pop %r12
    pop %rbx
    ret
    .size qv_probe_vector_wipe, .-qv_probe_vector_wipe
)");
#endif

// What held a secret reads back as zeros: memory, and every byte of the
// vector registers it may have passed through.
TEST(Wipe, ClearsTheBytesAndTheVectorRegisters) {
    char bytes[64];
    std::memset(bytes, 'p', sizeof bytes);
    platform::Wipe(bytes + 8, 48);
    EXPECT_EQ(std::string(bytes, 64), std::string(8, 'p') + std::string(48, '\0') + std::string(8, 'p'));
    // A short secret lives inside the object: a move copies it out, and
    // ends the string left behind at its first byte, no more.
    alignas(platform::Secret) unsigned char raw[sizeof(platform::Secret)];
    auto* moved = new (raw) platform::Secret("hunter2");
    const platform::Secret taker(std::move(*moved));
    EXPECT_EQ(std::string_view(reinterpret_cast<char*>(raw), sizeof raw).find("unter2"), std::string_view::npos);
    moved->~Secret();
    // Each way a secret's bytes may pass through the registers is noted,
    // so that the next event wipes them; a wipe clears the note.
    platform::Secret kept("hunter2");
    const std::pair<const char*, std::function<void()>> work[] = {
        {"read", [&] { (void)kept.View(); }},
        {"append", [&] { kept.Append("3"); }},
        {"move", [&] { const platform::Secret taken(std::move(kept)); }},
    };
    for (const auto& [what, step] : work) {
        platform::WipeRegisters();
        EXPECT_FALSE(platform::registers_noted) << what;
        step();
        EXPECT_TRUE(platform::registers_noted) << what;
    }
#if defined(__x86_64__) && defined(__linux__)
    if (!__builtin_cpu_supports("avx")) GTEST_SKIP() << "no AVX here: only the SSE halves exist";
    alignas(32) unsigned char in[16 * 32], out[16 * 32];
    std::memset(in, 0xA5, sizeof in);
    std::memset(out, 0x5A, sizeof out);
    qv_probe_vector_wipe(in, out, &platform::WipeRegisters);
    for (int r = 0; r < 16; ++r)
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out) + 32 * r, 32), std::string(32, '\0')) << "ymm" << r;
#endif
}

TEST(Base64, EncodesAsTheStandardSays) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},           {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {std::string("a\0a\0\xff", 5), "YQBhAP8="},
    };
    platform::Secret back;
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(Base64(in), out) << in;
        EXPECT_TRUE(DecodeBase64(out, back) && back.View() == in) << out;
    }
    // What a server may not pass off as base64: stray or misplaced padding,
    // foreign bytes, a cut group, bits set past the last byte.
    for (const char* bad : {"Zg=", "Zg", "Z===", "====", "=Zm9", "Zg==Zm9v", "Zm 9", "Zm9v\n", "Zh==", "Zm9=", "Zm-v"})
        EXPECT_FALSE(DecodeBase64(bad, back)) << bad;
}

// What a server's first message must hold before anything is computed
// (the exchange itself, and the lies that matter most, are Login rows).
TEST(Scram, AServerFirstMessageIsCheckedBeforeAnyRound) {
    const std::string salt = ",s=W22ZaJ0SNY7soEsUEjb6gQ==", r = "r=" + kServerNonce;
    const std::string malformed = "malformed SCRAM message from the server";
    const std::pair<std::string, std::string> cases[] = {
        {kServerFirst + ",x=an extension of its own", ""},
        {"r=" + kNonce + salt + ",i=4096", "the server's SCRAM nonce adds nothing to ours"},
        {"r=" + kNonce.substr(1) + "x" + salt + ",i=4096", "the server's SCRAM nonce does not start with ours"},
        {r + ",s=W22Z*J0S,i=4096", "the server's SCRAM salt is not base64"},
        {r + ",s=,i=4096", "the server sent no SCRAM salt"},
        {r + salt + ",i=18446744073709551617",
         "the server asks for 18446744073709551617 SCRAM iterations (at most " + std::to_string(kScramMaxIterations) + ")"},
        {r + salt + ",i=1", "the server asks for too few SCRAM iterations: 1 (at least 4096)"},
        {r + salt, malformed},
        {r + salt + ",i=0", malformed},
        {r + salt + ",i=-1", malformed},
        {r + salt + ",i=", malformed},
        {r + "\x01" + salt + ",i=4096", malformed},
        {r + salt + ",i=4096,", malformed},
        {kServerFirst + ",x", malformed},  // a word that is no attribute
        {kServerFirst + ",ex=y", malformed},  // a name longer than a letter: no error attribute
        {"", malformed},
        {"hello", malformed},
        {"m=ext," + kServerFirst, "the server asks for a SCRAM extension we do not know"},
        {kServerFirst + ",e=other-error", "the server refused the SCRAM login: other-error"},
    };
    for (const auto& [server_first, error] : cases)
        EXPECT_EQ(ScramAnswerFirst("pencil", "n=user,r=" + kNonce, kNonce, server_first).error, error) << server_first;
}

// The cap on what a server may make us spend: the cap itself is paid,
// one round more is refused before anything is computed. The floor below
// which our proof would be cheap to guess from holds as exactly.
// libidn's NFKC, for the Windows steps held to libidn's whole profile.
bool IdnNfkc(const platform::CodePoints& in, platform::CodePoints& out) {
    uint32_t* n = stringprep_ucs4_nfkc_normalize(reinterpret_cast<const uint32_t*>(in.data()),
                                                 static_cast<ssize_t>(in.size()));
    if (n == nullptr) return false;
    out.clear();
    for (const uint32_t* c = n; *c != 0; ++c) out.push_back(*c);
    std::free(n);
    return true;
}

// SASLprep: RFC 4013's own examples (section 3), the forms a typed password
// takes that the server's preparation undoes, what is refused and why. The
// same rows hold for the Windows steps (the RFC's tables, with the
// system's NFKC: libidn's here).
TEST(SaslPrep, GivesTheRfcsFormsAndRefusesInWords) {
    using platform::kSaslPrepBidi, platform::kSaslPrepNotUtf8, platform::kSaslPrepProhibited;
    struct Row {
        std::string given;
        std::string prepared;   // when taken
        std::string_view why;   // when refused
    };
    const std::vector<Row> rows = {
        {"I\u00ADX", "IX", {}},           // soft hyphen mapped to nothing
        {"user", "user", {}},             // no change
        {"USER", "USER", {}},             // case kept
        {"\u00AA", "a", {}},              // NFKC
        {"\u2168", "IX", {}},             // NFKC
        {"\a", "", kSaslPrepProhibited},  // U+0007
        {"\u0627\u0031", "", kSaslPrepBidi},  // RandALCat not last
        {"pass\u00A0word", "pass word", {}},  // a no-break space is a space
        {"a\u0308", "\u00E4", {}},        // a letter and its accent as one
        {"\u00E4", "\u00E4", {}},
        {"pw\uFEFF\u034F", "pw", {}},     // BOM, a grapheme joiner: nothing
        {"\u200Bpw", " pw", {}},         // a zero-width space is in both tables: a space
        {"\uFDFA", "\u0635\u0644\u0649 \u0627\u0644\u0644\u0647 \u0639\u0644\u064A\u0647 \u0648\u0633\u0644\u0645", {}},
        {"\u0627\u0628", "\u0627\u0628", {}},  // right-to-left throughout
        {"\u0627a\u0628", "", kSaslPrepBidi},  // with a left-to-right letter
        {"\u0378x", "\u0378x", {}},       // unassigned: taken, as a query
        {"", "", {}},
        {"\u00AD", "", {}},
        {"pw\x7F", "", kSaslPrepProhibited},
        {"\uE000", "", kSaslPrepProhibited},  // private use
        {"\u200Epw", "", kSaslPrepProhibited},  // a bidi control
        {"\U000E0041", "", kSaslPrepProhibited},  // a tag
        {"\uFFFF", "", kSaslPrepProhibited},  // a non-character
        {"p\xC3", "", kSaslPrepNotUtf8},   // cut short
        {"\xC3\xA4\xE9", "", kSaslPrepNotUtf8},  // Latin-1 after UTF-8
        {"\xED\xA0\x80", "", kSaslPrepNotUtf8},  // a surrogate
        {"\xC1\xA1", "", kSaslPrepNotUtf8},  // overlong
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.given);
        for (const bool windows_steps : {false, true}) {
            SCOPED_TRACE(windows_steps ? "the RFC's tables" : "libidn");
            platform::Secret prepared("left over");
            const std::string_view why = windows_steps ? platform::SaslPrepWith(IdnNfkc, r.given, prepared)
                                                       : platform::SaslPrep(r.given, prepared);
            EXPECT_EQ(why, r.why);
            EXPECT_EQ(prepared.View(), r.prepared);
        }
    }
}

// The tables the Windows build prepares with are libidn's, code point for
// code point.
TEST(SaslPrep, TheWindowsTablesAreLibidns) {
    auto Set = [](const Stringprep_table_element* table) {
        std::vector<bool> in(0x110000);
        for (const Stringprep_table_element* e = table; e->start != 0 || e->end != 0; ++e)
            for (uint32_t c = e->start; c <= std::max(e->start, e->end); ++c) in[c] = true;
        return in;
    };
    std::vector<bool> prohibited(0x110000);
    for (const Stringprep_table_element* t :
         {stringprep_rfc3454_C_1_2, stringprep_rfc3454_C_2_1, stringprep_rfc3454_C_2_2, stringprep_rfc3454_C_3,
          stringprep_rfc3454_C_4, stringprep_rfc3454_C_5, stringprep_rfc3454_C_6, stringprep_rfc3454_C_7,
          stringprep_rfc3454_C_8, stringprep_rfc3454_C_9}) {
        const std::vector<bool> one = Set(t);
        for (std::size_t c = 0; c < one.size(); ++c) prohibited[c] = prohibited[c] || one[c];
    }
    const struct {
        const char* name;
        bool (*ours)(char32_t);
        std::vector<bool> idn;
    } tables[] = {
        {"B.1", platform::MappedToNothing, Set(stringprep_rfc3454_B_1)},
        {"C.1.2", platform::NonAsciiSpace, Set(stringprep_rfc3454_C_1_2)},
        {"prohibited", platform::Prohibited, prohibited},
        {"D.1", platform::RandAL, Set(stringprep_rfc3454_D_1)},
        {"D.2", platform::LeftToRight, Set(stringprep_rfc3454_D_2)},
    };
    for (const auto& t : tables) {
        int differ = 0;
        for (char32_t c = 0; c < 0x110000; ++c)
            if (t.ours(c) != t.idn[c] && ++differ <= 3) ADD_FAILURE() << t.name << " differs at U+" << std::hex << +c;
        EXPECT_EQ(differ, 0) << t.name;
    }
}

TEST(Scram, TheIterationCapHoldsExactly) {
    const std::string at_cap = "r=" + kServerNonce + ",s=W22ZaJ0SNY7soEsUEjb6gQ==,i=" + std::to_string(kScramMaxIterations);
    EXPECT_EQ(ScramAnswerFirst("pencil", "n=user,r=" + kNonce, kNonce, at_cap).error, "");
    const std::string over = "r=" + kServerNonce + ",s=W22ZaJ0SNY7soEsUEjb6gQ==,i=" + std::to_string(kScramMaxIterations + 1);
    EXPECT_NE(ScramAnswerFirst("pencil", "n=user,r=" + kNonce, kNonce, over).error, "");
    const std::string at_floor = "r=" + kServerNonce + ",s=W22ZaJ0SNY7soEsUEjb6gQ==,i=" + std::to_string(kScramMinIterations);
    EXPECT_EQ(ScramAnswerFirst("pencil", "n=user,r=" + kNonce, kNonce, at_floor).error, "");
    const std::string under = "r=" + kServerNonce + ",s=W22ZaJ0SNY7soEsUEjb6gQ==,i=" + std::to_string(kScramMinIterations - 1);
    EXPECT_NE(ScramAnswerFirst("pencil", "n=user,r=" + kNonce, kNonce, under).error, "");
}

TEST_F(Login, SaslExchanges) {
    const std::string ls = ":srv CAP * LS :invite-notify sasl\r\n";
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
        std::string console = {};  // a line the console must show
    };
    // A port nothing listens on, for a move to TLS that fails.
    const RefusingPort closed;
    const std::string closed_port = std::to_string(closed.port());
    const std::string unexpected = "SASL login failed: unexpected reply from the server";
    std::vector<Case> cases = {
        {"a capability list in several lines; a payload in three pieces",
         "acct", pw700,
         {{"", ":srv CAP * LS * :invite-notify echo-message\r\n:srv CAP * LS * :sasl=EXTERNAL,PLAIN\r\n"},
          {"", ":srv CAP * LS :batch\r\n"},
          {"CAP REQ :sasl\r\n", ack}, {"AUTHENTICATE PLAIN\r\n", "AUTHENTICATE +\r\n"},
          {"AUTHENTICATE ", ""}, {"\r\nAUTHENTICATE ", ""}, {"\r\nAUTHENTICATE ", ""},
          {"\r\n", success}, {"CAP END\r\n", ":srv 001 bot :Welcome\r\n"}},
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
         "SASL login failed: PLAIN refused by the server: SASL authentication failed"},
        {"mechanisms without PLAIN after the request (908, then 904)",
         "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ack},
          {"AUTHENTICATE PLAIN\r\n", ":srv 908 bot EXTERNAL\x1b :are available SASL mechanisms\r\n:srv 904 bot :SASL authentication failed\r\n"}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + quit,
         "SASL login failed: the server does not take PLAIN (it takes EXTERNAL)"},
        {"a 908 that lists PLAIN among others is no refusal: the 904 after it is",
         "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ack},
          {"AUTHENTICATE PLAIN\r\n", ":srv 908 bot EXTERNAL,PLAIN,SCRAM-SHA-256 :are available SASL mechanisms\r\n"
                                    ":srv 904 bot :SASL authentication failed\r\n"}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + quit,
         "SASL login failed: PLAIN refused by the server: SASL authentication failed"},
        {"a 904 whose text has controls and runs on: one clean line, cut",
         "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ack}, {"AUTHENTICATE PLAIN\r\n", "AUTHENTICATE +\r\n"},
          {Payload("acct", "pw") + "\r\n", ":srv 904 bot :no\x1b[31m\x07 such " + std::string(600, 'x') + "\r\n"}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + Pieces(Payload("acct", "pw")) + quit,
         "SASL login failed: PLAIN refused by the server: no[31m such " + std::string(388, 'x')},
        {"a server that does not know AUTHENTICATE (421)",
         "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ack}, {"AUTHENTICATE PLAIN\r\n", ":srv 421 bot AUTHENTICATE :Unknown command\r\n"}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + quit, "SASL login failed: the server does not know AUTHENTICATE"},
        {"a server that does not know CAP (421)",
         "acct", "pw",
         {{"", ":srv 421 * CAP :Unknown command\r\n:srv 001 bot :Welcome\r\n"}},
         quit, "SASL login failed: the server does not know CAP"},
        {"the server hangs up before our credentials", "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", kHangUp}}, "CAP REQ :sasl\r\n", "Connection closed by the server"},
        {"a server without sasl",
         "acct", "pw",
         {{"", ":srv CAP * LS :invite-notify echo-message\r\n"}},
         quit, "SASL login failed: the server does not offer SASL"},
        {"a mechanism list without PLAIN (the server's words in the reason lose their controls)",
         "acct", "pw",
         {{"", ":srv CAP * LS :sasl=EXTERNAL,\x1bSCRAM-SHA-256\x07 invite-notify\r\n"}},
         quit, "SASL login failed: the server does not offer SASL PLAIN (only EXTERNAL,SCRAM-SHA-256)"},
        {"a mechanism list naming PLAIN=x, which is no mechanism's name",
         "acct", "pw",
         {{"", ":srv CAP * LS :sasl=EXTERNAL,PLAIN=x\r\n"}},
         quit, "SASL login failed: the server does not offer SASL PLAIN (only EXTERNAL,PLAIN=x)"},
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
         "SASL login failed: PLAIN refused by the server: You must use a nick assigned to you"},
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
        {"903 right after AUTHENTICATE PLAIN, before our credentials", "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ack}, {"AUTHENTICATE PLAIN\r\n", ":srv 903 bot :SASL authentication successful\r\n"}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + quit, unexpected, "#early"},
        {"a challenge other than + for PLAIN gets no credentials", "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ack}, {"AUTHENTICATE PLAIN\r\n", "AUTHENTICATE Zm9v\r\n"}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + quit,
         "SASL login failed: the server sent an unexpected AUTHENTICATE challenge"},
        {"900 before our credentials", "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ack}, {"AUTHENTICATE PLAIN\r\n", ":srv 900 bot bot!u@h acct :Logged in\r\n"}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + quit, unexpected},
        {"an AUTHENTICATE challenge before we named a mechanism", "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", "AUTHENTICATE +\r\n"}}, "CAP REQ :sasl\r\n" + quit, unexpected},
        {"a challenge to PLAIN, which takes none", "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ack}, {"AUTHENTICATE PLAIN\r\n", "AUTHENTICATE Zm9v\r\n"}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + quit,
         "SASL login failed: the server sent an unexpected AUTHENTICATE challenge"},
        {"904 before our credentials", "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ":srv 904 bot :SASL authentication failed\r\n"}}, "CAP REQ :sasl\r\n" + quit,
         unexpected},
        {"an ACK nobody asked for", "acct", "pw", {{"", ":srv CAP * ACK :sasl\r\n"}}, quit, unexpected},
        {"an ACK of another capability nobody asked for", "acct", "pw", {{"", ":srv CAP * ACK :server-time\r\n"}}, quit,
         unexpected},
        {"EXTERNAL: our empty response to the server's +", "acct", "unused",
         {{"", ":srv CAP * LS :sasl=PLAIN,EXTERNAL\r\n"}, {"CAP REQ :sasl\r\n", ack},
          {"AUTHENTICATE EXTERNAL\r\n", "AUTHENTICATE +\r\n"}, {"AUTHENTICATE +\r\n", success}, {"CAP END\r\n", ":srv 001 bot :Welcome\r\n"}},
         "CAP REQ :sasl\r\nAUTHENTICATE EXTERNAL\r\nAUTHENTICATE +\r\nCAP END\r\nJOIN #early\r\n", "", "#early", 0ms,
         SaslMechanism::External},
        {"EXTERNAL refused: the reason names the certificate", "acct", "unused",
         {{"", ":srv CAP * LS :sasl=PLAIN,EXTERNAL\r\n"}, {"CAP REQ :sasl\r\n", ack},
          {"AUTHENTICATE EXTERNAL\r\n", "AUTHENTICATE +\r\n"},
          {"AUTHENTICATE +\r\n", ":srv 904 bot :SASL authentication failed\r\n"}},
         "CAP REQ :sasl\r\nAUTHENTICATE EXTERNAL\r\nAUTHENTICATE +\r\n" + quit,
         "SASL login failed: EXTERNAL refused by the server: SASL authentication failed (client certificate SHA-256 "
         "fingerprint " + kCertFingerprint + ")", "", 0ms, SaslMechanism::External},
        {"the script closes during the login: the lines it held stay unsent", "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ack}, {"AUTHENTICATE PLAIN\r\n", kClose}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\nQUIT :Leaving\r\n", "", "#early"},
        {"EXTERNAL where the server lists only PLAIN", "acct", "unused",
         {{"", ":srv CAP * LS :sasl=PLAIN\r\n"}}, quit,
         "SASL login failed: the server does not offer SASL EXTERNAL (only PLAIN)", "", 0ms, SaslMechanism::External},
        {"SCRAM where the server lists only SCRAM-SHA-256-PLUS", "acct", "pw",
         {{"", ":srv CAP * LS :sasl=SCRAM-SHA-256-PLUS\r\n"}}, quit,
         "SASL login failed: the server does not offer SASL SCRAM-SHA-256 (only SCRAM-SHA-256-PLUS)", "", 0ms,
         SaslMechanism::ScramSha256},
        {"an ACK for more than we asked", "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ":srv CAP bot ACK :sasl invite-notify\r\n"}}, "CAP REQ :sasl\r\n" + quit,
         unexpected},

        // Without a login: what the server offers of ours is asked for, and
        // the script's lines follow CAP END, or the sign that the server
        // ignores CAP.
        {"no login: ours are requested, CAP END after the ACK", "", "",
         {{"", ":srv CAP * LS :invite-notify server-time sasl account-tag message-tags\r\n"},
          {"CAP REQ :server-time account-tag message-tags\r\n", ":srv CAP bot ACK :account-tag message-tags server-time\r\n"},
          {"CAP END\r\n", ":srv 001 bot :Welcome\r\n"}},
         "CAP REQ :server-time account-tag message-tags\r\nCAP END\r\nJOIN #early\r\n", "", "#early"},
        {"no login: what keeps the room true is requested with ours", "", "",
         {{"", ":srv CAP * LS :away-notify setname chghost multi-prefix account-notify userhost-in-names extended-join\r\n"},
          {"CAP REQ :multi-prefix userhost-in-names extended-join account-notify away-notify chghost setname\r\n",
           ":srv CAP bot ACK :multi-prefix userhost-in-names extended-join account-notify away-notify chghost setname\r\n"},
          {"CAP END\r\n", ":srv 001 bot :Welcome\r\n"}},
         "CAP REQ :multi-prefix userhost-in-names extended-join account-notify away-notify chghost setname\r\nCAP END\r\nJOIN #early\r\n",
         "", "#early"},
        {"no login: a NAK ends it as well", "", "",
         {{"", ":srv CAP * LS * :server-time\r\n:srv CAP * LS :echo-message\r\n"},
          {"CAP REQ :server-time\r\n", ":srv CAP bot NAK :server-time\r\n"}, {"CAP END\r\n", ":srv 001 bot :Welcome\r\n"}},
         "CAP REQ :server-time\r\nCAP END\r\nJOIN #early\r\n", "", "#early"},
        {"no login: nothing of ours offered, CAP END at once", "", "",
         {{"", ":srv CAP * LS :invite-notify\r\n"}, {"CAP END\r\n", ":srv 001 bot :Welcome\r\n"}}, "CAP END\r\nJOIN #early\r\n", "", "#early"},
        {"a server that knows no CAP (421): no CAP END, the lines go at the welcome", "", "",
         {{"", ":srv 421 * CAP :Unknown command\r\n"}, {"", ":srv 001 bot :Welcome\r\n"}},
         "JOIN #early\r\n", "", "#early"},
        {"a server that passes CAP over in silence and finds our nick taken: the new NICK goes at once", "", "",
         {{"", ":srv 433 * bot :Nickname is already in use\r\n"}, {"", kRaw + "NICK bot_"},
          {"NICK bot_\r\n", ":srv 001 bot_ :Welcome\r\n"}},
         "NICK bot_\r\nJOIN #early\r\n", "", "#early"},
        {"a server that calls CAP unregistered (451), then finds our nick erroneous: the lines go at the welcome", "", "",
         {{"", ":srv 451 * CAP :You have not registered\r\n:srv 432 * bot :Erroneous nickname\r\n"},
          {"", kRaw + "NICK bot2"}, {"NICK bot2\r\n", ":srv 001 bot2 :Welcome\r\n"}},
         "NICK bot2\r\nJOIN #early\r\n", "", "#early"},
        {"a server that calls CAP unregistered (451) and says no more before its welcome: the lines go at the welcome", "", "",
         {{"", ":srv 451 * CAP :You have not registered\r\n"}, {"", ":srv 001 bot :Welcome\r\n"}}, "JOIN #early\r\n", "",
         "#early"},
        {"a login, and a server that passes CAP over in silence", "acct", "pw",
         {{"", ":srv 433 * bot :Nickname is already in use\r\n"}}, quit, "SASL login failed: the server does not know CAP"},
        {"a login, and a nick verdict from a server that answered CAP: the login goes on", "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ":srv 433 * bot :Nickname is already in use\r\n" + ack},
          {"AUTHENTICATE PLAIN\r\n", "AUTHENTICATE +\r\n"}, {Payload("acct", "pw") + "\r\n", success}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + Pieces(Payload("acct", "pw")) + "CAP END\r\n", ""},
        {"a server that ignores CAP and registers us (001)", "", "",
         {{"", ":srv NOTICE * :*** Looking up your hostname\r\n:srv 001 bot :Welcome\r\n"}}, "JOIN #early\r\n", "",
         "#early"},
        {"CAP NEW in the middle is asked for too, and CAP END waits for its answer", "", "",
         {{"", ":srv CAP * LS :server-time\r\n"},
          {"CAP REQ :server-time\r\n", ":srv CAP bot NEW :account-tag echo-message\r\n"},
          {"CAP REQ :account-tag\r\n", ":srv CAP bot ACK :server-time\r\n:srv CAP bot ACK :account-tag\r\n"},
          {"CAP END\r\n", ":srv 001 bot :Welcome\r\n"}},
         "CAP REQ :server-time\r\nCAP REQ :account-tag\r\nCAP END\r\nJOIN #early\r\n", "", "#early"},
        {"CAP NEW after the end: what was refused is asked again; sts over plain TCP moves nothing", "", "",
         {{"", ":srv CAP * LS :server-time\r\n"}, {"CAP REQ :server-time\r\n", ":srv CAP bot NAK :server-time\r\n"},
          {"CAP END\r\n", ":srv 001 bot :Welcome\r\n"}, {"JOIN #early\r\n", ":srv CAP bot NEW :server-time sts=port=6697\r\n"}},
         "CAP REQ :server-time\r\nCAP END\r\nJOIN #early\r\nCAP REQ :server-time\r\n", "", "#early"},
        {"CAP DEL of what was acknowledged, then CAP NEW of it: asked for again", "", "",
         {{"", ":srv CAP * LS :server-time\r\n"}, {"CAP REQ :server-time\r\n", ":srv CAP bot ACK :server-time\r\n"},
          {"CAP END\r\n", ":srv 001 bot :Welcome\r\n"}, {"JOIN #early\r\n", ":srv CAP bot DEL :server-time\r\n:srv CAP bot NEW :server-time\r\n"}},
         "CAP REQ :server-time\r\nCAP END\r\nJOIN #early\r\nCAP REQ :server-time\r\n", "", "#early"},
        {"CAP NEW of what is enabled, and of more: only the more is asked for", "", "",
         {{"", ":srv CAP * LS :server-time\r\n"}, {"CAP REQ :server-time\r\n", ":srv CAP bot ACK :server-time\r\n"},
          {"CAP END\r\n", ":srv 001 bot :Welcome\r\n"}, {"JOIN #early\r\n", ":srv CAP bot NEW :server-time account-tag\r\n"}},
         "CAP REQ :server-time\r\nCAP END\r\nJOIN #early\r\nCAP REQ :account-tag\r\n", "", "#early"},
        {"CAP NEW of what a request still waits for: not asked twice", "", "",
         {{"", ":srv CAP * LS :server-time\r\n"},
          {"CAP REQ :server-time\r\n", ":srv CAP bot NEW :server-time\r\n:srv CAP bot ACK :server-time\r\n"},
          {"CAP END\r\n", ":srv 001 bot :Welcome\r\n"}},
         "CAP REQ :server-time\r\nCAP END\r\nJOIN #early\r\n", "", "#early"},
        {"closed while a request waits: CAP END, the script's lines, then the QUIT", "", "",
         {{"", ":srv CAP * LS :server-time\r\n"}, {"CAP REQ :server-time\r\n", kClose}},
         "CAP REQ :server-time\r\nCAP END\r\nJOIN #early\r\nQUIT :Leaving\r\n", "", "#early"},
        {"a list that never ends: 10 s from link-up, then the link ends", "", "",
         {{"", ":srv CAP * LS * :a\r\n"}, {"", ":srv CAP * LS * :b\r\n", 10s}, {"", "", 1ms}},
         "QUIT :Capability negotiation timed out\r\n",
         "Capability negotiation failed: the server did not finish it within 10 s", "#early"},
        // With a login, ours go in a request of their own before sasl's.
        {"a login among other capabilities", "acct", "pw",
         {{"", ":srv CAP * LS :server-time sasl\r\n"},
          {"CAP REQ :sasl\r\n", ":srv CAP bot ACK :server-time\r\n" + ack},
          {"AUTHENTICATE PLAIN\r\n", "AUTHENTICATE +\r\n"}, {Payload("acct", "pw") + "\r\n", success}, {"CAP END\r\n", ":srv 001 bot :Welcome\r\n"}},
         "CAP REQ :server-time\r\nCAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + Pieces(Payload("acct", "pw")) +
             "CAP END\r\nJOIN #early\r\n",
         "", "#early"},
        {"a login: sasl's ACK before the first request's", "acct", "pw",
         {{"", ":srv CAP * LS :server-time sasl\r\n"}, {"CAP REQ :sasl\r\n", ack}},
         "CAP REQ :server-time\r\nCAP REQ :sasl\r\n" + quit, unexpected},
        {"a login: sasl withdrawn on the way (CAP DEL)", "acct", "pw",
         {{"", ls}, {"CAP REQ :sasl\r\n", ack}, {"AUTHENTICATE PLAIN\r\n", ":srv CAP bot DEL :sasl\r\n"}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + quit, "SASL login failed: the server withdrew the sasl capability"},
        // A server that wants TLS over plain TCP: only a usable port moves
        // the link, and a move that fails never falls back.
        {"sts with a port: not a byte more here, and the TLS connect's failure says why", "acct", "pw",
         {{"", ":srv CAP * LS :sasl sts=port=" + closed_port + ",duration=300\r\n"}}, "",
         "Connect failed: Connection refused (the server requires TLS)", "#early", 0ms, SaslMechanism::Plain,
         "[quorvane] the server requires TLS (STS): reconnecting to 127.0.0.1 on port " + closed_port + "\n"},
        {"sts without a port", "", "", {{"", ":srv CAP * LS :sts=duration=300\r\n"}}, "CAP END\r\n", "", "",
         0ms, SaslMechanism::Plain, "\"duration=300\" names no port: ignored"},
        {"sts with ports, not a port", "", "", {{"", ":srv CAP * LS :sts=ports=6697\r\n"}}, "CAP END\r\n", "", "",
         0ms, SaslMechanism::Plain, "\"ports=6697\" names no port: ignored"},
        {"sts with port 0", "", "", {{"", ":srv CAP * LS :sts=port=0\r\n"}}, "CAP END\r\n", "", "", 0ms,
         SaslMechanism::Plain, "\"port=0\" names no valid port: ignored"},
        {"sts with a port over 65535", "", "", {{"", ":srv CAP * LS :sts=port=65536\r\n"}}, "CAP END\r\n", "", "",
         0ms, SaslMechanism::Plain, "\"port=65536\" names no valid port: ignored"},
        {"sts with a port that is no number", "", "", {{"", ":srv CAP * LS :sts=port=+66,duration=1\r\n"}},
         "CAP END\r\n", "", "", 0ms, SaslMechanism::Plain, "names no valid port: ignored"},
        {"replies with tags, read as the same replies without them", "acct", "wrong",
         {{"", "@time=1 " + ls}, {"CAP REQ :sasl\r\n", "@a=b;c  " + ack}, {"AUTHENTICATE PLAIN\r\n", "@x=y AUTHENTICATE +\r\n"},
          {Payload("acct", "wrong") + "\r\n", "@time=2 :srv 904 bot :SASL authentication failed\r\n"}},
         "CAP REQ :sasl\r\nAUTHENTICATE PLAIN\r\n" + Pieces(Payload("acct", "wrong")) + quit,
         "SASL login failed: PLAIN refused by the server: SASL authentication failed"},
    };

    // SCRAM-SHA-256: RFC 7677's exchange, the same with messages in pieces,
    // and servers that lie in it (each aborts before any CAP END).
    auto Auth = [](const std::string& message) { return "AUTHENTICATE " + Base64(message) + "\r\n"; };
    const std::string first = "n,,n=user,r=" + kNonce;
    const std::vector<Turn> to_first = {{"", ":srv CAP * LS :sasl=PLAIN,SCRAM-SHA-256\r\n"},
                                        {"CAP REQ :sasl\r\n", ack},
                                        {"AUTHENTICATE SCRAM-SHA-256\r\n", "AUTHENTICATE +\r\n"}};
    const std::string asked = "CAP REQ :sasl\r\nAUTHENTICATE SCRAM-SHA-256\r\n" + Auth(first);
    const std::string abort = "AUTHENTICATE *\r\n" + quit;
    auto Scram = [&](const char* name, std::vector<Turn> more, std::string wire, std::string why) {
        std::vector<Turn> turns = to_first;
        turns.insert(turns.end(), more.begin(), more.end());
        return Case{name, "user", "pencil", turns, asked + wire, why.empty() ? why : "SASL login failed: " + why,
                    "", 0ms, SaslMechanism::ScramSha256};
    };
    // A lie (a whole line) for the server's first message, or for its last.
    auto LiesFirst = [&](const char* name, const std::string& line, const std::string& why) {
        return Scram(name, {{Auth(first), line}}, abort, why);
    };
    auto LiesLast = [&](const char* name, const std::string& line, const std::string& why) {
        return Scram(name, {{Auth(first), Auth(kServerFirst)}, {Auth(kClientFinal), line}}, Auth(kClientFinal) + abort, why);
    };
    // A login whose account and server's first message are long enough for
    // pieces: the server's message of `size` bytes of base64, its nonce
    // padded, RFC 7677's salt and count; the proof and signature for it from
    // Python's hashlib.
    auto InPieces = [&](const char* name, const std::string& account, const std::string& escaped, std::size_t size,
                        const std::string& proof, const std::string& signature) {
        std::string server_first = "r=" + kNonce + "%,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096";
        server_first.insert(kNonce.size() + 3, size / 4 * 3 - server_first.size(), 'x');
        const std::string ours = Pieces(Base64("n,,n=" + escaped + ",r=" + kNonce));
        const std::string final = Pieces(Base64("c=biws," + server_first.substr(0, server_first.find(',')) + ",p=" + proof));
        Case c = Scram(name,
                       {{ours, Pieces(Base64(server_first))}, {final, Auth("v=" + signature)},
                        {"AUTHENTICATE +\r\n", success}},
                       "", "");
        c.account = account;
        c.wire = "CAP REQ :sasl\r\nAUTHENTICATE SCRAM-SHA-256\r\n" + ours + final + "AUTHENTICATE +\r\nCAP END\r\n";
        return c;
    };
    // RFC 7677's exchange with a password typed otherwise that SASLprep
    // makes RFC 7677's "pencil".
    auto Prepared = [&](const char* name, const std::string& password) {
        Case c = Scram(name,
                       {{Auth(first), Auth(kServerFirst)}, {Auth(kClientFinal), Auth(kServerFinal)},
                        {"AUTHENTICATE +\r\n", success}},
                       Auth(kClientFinal) + "AUTHENTICATE +\r\nCAP END\r\n", "");
        c.password = password;
        return c;
    };
    const std::string salt = ",s=W22ZaJ0SNY7soEsUEjb6gQ==";
    const std::string count = ",i=4096";
    Case refused = Scram("SCRAM: a password SASLprep refuses, should it come this far", {{Auth(first), Auth(kServerFirst)}},
                         abort, std::string(platform::kSaslPrepProhibited));
    refused.password = "pen\acil";
    // RFC 7677's server signature with one byte changed: every byte counts.
    auto SignatureOffAt = [&](std::size_t at) {
        platform::Secret right;
        EXPECT_TRUE(DecodeBase64(kServerFinal.substr(2), right));
        std::string wrong(right.View());
        wrong.at(at) ^= 0x01;
        return Auth("v=" + Base64(wrong));
    };
    cases.insert(cases.end(), {
        Prepared("SCRAM: the password as SASLprep makes it (a soft hyphen goes)", "pen\u00ADcil"),
        Prepared("SCRAM: the password as SASLprep makes it (full-width letters)", "\uFF50\uFF45\uFF4E\uFF43\uFF49\uFF4C"),
        refused,
        Scram("SCRAM-SHA-256: RFC 7677's own exchange",
              {{Auth(first), Auth(kServerFirst)}, {Auth(kClientFinal), Auth(kServerFinal)}, {"AUTHENTICATE +\r\n", success}},
              Auth(kClientFinal) + "AUTHENTICATE +\r\nCAP END\r\n", ""),
        InPieces("SCRAM: our first message in two pieces, the account escaped; the server's in two",
                 "a,b=c" + std::string(300, 'u'), "a=2Cb=3Dc" + std::string(300, 'u'), 600,
                 "QW82mNEUjWqL/EEfcgsdbg64fS6MHTPjjQR/bs+ORVo=", "Sg4SxifuxypZXgg+eB4LoVxfeldvCdEVhpR3TuUXc4Q="),
        InPieces("SCRAM: the server's first message exactly 400, then +", "user", "user", 400,
                 "JWVOSS/MxEuqb/6HKDu9ye3+4AshmuSuGn3OCrM5E6Q=", "XrlA7QpdzwdpDrcc8fU/JICNsoaMwCw8Rzm2CT7tsDY="),
        LiesLast("SCRAM: a wrong server signature", Auth("v=" + Base64(std::string(32, '\0'))),
                 "the server did not prove it knows the password (wrong SCRAM signature)"),
        LiesLast("SCRAM: a server signature wrong in its first byte only", SignatureOffAt(0),
                 "the server did not prove it knows the password (wrong SCRAM signature)"),
        LiesLast("SCRAM: a server signature wrong in its last byte only", SignatureOffAt(31),
                 "the server did not prove it knows the password (wrong SCRAM signature)"),
        LiesLast("SCRAM: an error for our proof", Auth("e=invalid-proof"),
                 "the server refused the SCRAM login: invalid-proof"),
        LiesLast("SCRAM: an empty last message", "AUTHENTICATE +\r\n", "malformed SCRAM message from the server"),
        LiesLast("SCRAM: an empty signature", Auth("v="),
                 "the server did not prove it knows the password (wrong SCRAM signature)"),
        Scram("SCRAM: logged in without the server's signature",
              {{Auth(first), Auth(kServerFirst)}, {Auth(kClientFinal), success}}, Auth(kClientFinal) + quit,
              "unexpected reply from the server"),
        LiesFirst("SCRAM: a nonce not ours", Auth("r=someone-else" + kServerNonce + salt + count),
                  "the server's SCRAM nonce does not start with ours"),
        LiesFirst("SCRAM: no salt", Auth("r=" + kServerNonce + count), "the server sent no SCRAM salt"),
        LiesFirst("SCRAM: an error at once", Auth("e=unknown-user\x01"), "the server refused the SCRAM login: unknown-user"),
        LiesFirst("SCRAM: one round over the cap", Auth("r=" + kServerNonce + salt + ",i=" + std::to_string(kScramMaxIterations + 1)),
                  "the server asks for " + std::to_string(kScramMaxIterations + 1) + " SCRAM iterations (at most " +
                      std::to_string(kScramMaxIterations) + ")"),
        LiesFirst("SCRAM: one round under the floor", Auth("r=" + kServerNonce + salt + ",i=4095"),
                  "the server asks for too few SCRAM iterations: 4095 (at least 4096)"),
        LiesFirst("SCRAM: a count with a tail", Auth("r=" + kServerNonce + salt + ",i=4096x"), "malformed SCRAM message from the server"),
        LiesFirst("SCRAM: base64 garbage", "AUTHENTICATE cj1y*3Bz\r\n", "the server's SCRAM message is not base64"),
        LiesFirst("SCRAM: a piece over 400", "AUTHENTICATE " + std::string(404, 'A') + "\r\n",
                  "malformed SCRAM message from the server"),
        Scram("SCRAM: pieces without end", {{Auth(first), [] {
                  std::string lines;
                  for (int i = 0; i < 11; ++i) lines += "AUTHENTICATE " + std::string(400, 'A') + "\r\n";
                  return lines;
              }()}}, abort, "the server's SCRAM message is too long"),
    });

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host.ClearRecords();
        LoopbackServer server;
        host.CallIrc("SetSASL", {c.account, c.password});
        Globals::settings.client_cert = FakeClientCert();
        ASSERT_THAT(host.CallIrc("Connect", {std::string("127.0.0.1"), server.port(), std::string("bot"),
                                             std::string("u"), std::string("Real Name")}),
                    IsEmpty());
        Globals::client->session().login.mechanism = c.mechanism;
        // A tick that finds the link still connecting counts nothing against
        // the login: the connect has a bound of its own.
        ASSERT_TRUE(Globals::client->IsConnecting());
        CheckNegotiationTime(*Globals::client);
        if (!c.early.empty()) host.CallIrc("Join", {c.early});
        PaceClock::Advance(c.before_up);
        ASSERT_TRUE(server.Accept());
        ASSERT_TRUE(PumpUntil([] { return Globals::client->IsConnected(); }));
        ASSERT_EQ(server.ReadUntil("Real Name\r\n"), kRegistration);
        const std::size_t start = server.received().size();
        std::size_t from = start;
        for (const Turn& t : c.turns) {
            ASSERT_TRUE(PumpUntilReceived(server, t.wait_for, from)) << "waited for " << t.wait_for;
            from = server.received().find(t.wait_for, from) + t.wait_for.size();
            PaceClock::Advance(t.advance);
            if (t.reply == kHangUp)
                server.CloseClient();
            else if (t.reply == kClose)
                host.CallIrc("Close");
            else if (t.reply.starts_with(kRaw))
                host.CallIrc("SendRaw", {t.reply.substr(kRaw.size())});
            else if (!t.reply.empty())
                server.Write(t.reply);
            // Exactly at the limit the exchange must still be alive.
            if (t.advance == 10s) {
                PumpFor(250);
                ASSERT_TRUE(Connected());
            }
        }
        if (c.outcome.empty()) {
            ASSERT_TRUE(PumpUntilReceived(server, c.wire, start));
            EXPECT_EQ(Connected(), c.turns.back().reply != kClose);
        } else {
            ASSERT_TRUE(PumpUntil([&] { return !Disconnects().empty(); }));
            EXPECT_FALSE(Connected());
            server.ReadFor(100);
        }
        PumpFor(150);
        server.ReadFor(50);
        EXPECT_EQ(server.received().substr(start), c.wire);
        EXPECT_EQ(Disconnects(), c.outcome.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.outcome});
        // The console warns once for a password that goes in the clear,
        // never for one that stays home or goes over TLS.
        const bool in_clear =
            !c.account.empty() && c.wire.find("AUTHENTICATE " + Payload(c.account, c.password).substr(0, 20)) != std::string::npos;
        EXPECT_EQ(host.console.find(kPlainWarning), host.console.rfind(kPlainWarning));
        EXPECT_EQ(host.console.find(kPlainWarning) != std::string::npos, in_clear);
        // The echo stays on throughout: neither it, nor the trace, nor any
        // console line shows the password or what carries it.
        if (!c.console.empty()) {
            EXPECT_THAT(host.console, HasSubstr(c.console));
        }
        // Only a case that moves the link says it does.
        EXPECT_EQ(host.console.find("reconnecting") != std::string::npos,
                  c.console.find("reconnecting") != std::string::npos);
        const std::string trace = Trace();
        for (const std::string& secret : {c.password, Payload(c.account, c.password)}) {
            if (c.account.empty()) break;
            EXPECT_THAT(host.console, Not(HasSubstr(secret)));
            EXPECT_THAT(trace, Not(HasSubstr(secret)));
        }
        if (c.wire.find("AUTHENTICATE " + Payload(c.account, c.password).substr(0, 20)) != std::string::npos) {
            EXPECT_THAT(trace, HasSubstr("[SASL] > AUTHENTICATE ****\n"));
        }
        // The trace shows what we sent to log in with masked, whatever it is.
        std::stringstream traced(trace);
        for (std::string line; std::getline(traced, line);) {
            if (line.starts_with("[SASL] > AUTHENTICATE ")) {
                EXPECT_THAT(line.substr(22), ::testing::AnyOf("****", "+", "*", "PLAIN", "EXTERNAL", "SCRAM-SHA-256"));
            }
        }
        // Sent, refused or lost, the link keeps no copy of the credentials.
        const LoginState& login = Globals::client->session().login;
        EXPECT_TRUE(login.account.Empty() && login.password.Empty());
        EXPECT_TRUE(login.scram.first_bare.Empty() && login.scram.server_signature.Empty());
        // Nor, once it has ended, a line it held or had not written yet.
        if (!c.outcome.empty() || c.turns.back().reply == kClose) {
            EXPECT_EQ(Globals::client->Outgoing().PacedBytes(), 0u);
            EXPECT_TRUE(Globals::client->Outgoing().Unwritten().empty());
        }
        // Nor of the registration, which may hold the server password.
        if (!c.outcome.empty() || Globals::client->session().caps.welcomed) {
            EXPECT_TRUE(Globals::client->session().caps.registration.Empty());
        }
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
        {"never set: the fixed password", {}, kRegistration},
        {"a password", {{"SetPassword", {std::string("s3cret")}}}, "CAP LS 302\r\nPASS s3cret\r\nNICK bot\r\nUSER u u u :Real Name\r\n"},
        {"a password with a space goes as trailing text",
         {{"SetPassword", {std::string("two words")}}},
         "CAP LS 302\r\nPASS :two words\r\nNICK bot\r\nUSER u u u :Real Name\r\n"},
        {"a leading colon goes as trailing text, or the server strips it",
         {{"SetPassword", {std::string(":lead")}}}, "CAP LS 302\r\nPASS ::lead\r\nNICK bot\r\nUSER u u u :Real Name\r\n"},
        {"a password leaves as given, whatever the text rules",
         {{"SetPassword", {std::string("p\xc3\xa4sswort9")}}}, "CAP LS 302\r\nPASS p\xc3\xa4sswort9\r\nNICK bot\r\nUSER u u u :Real Name\r\n"},
        {"a line break cuts it", {{"SetPassword", {std::string("pw\r\nQUIT :x")}}}, "CAP LS 302\r\nPASS pw\r\nNICK bot\r\nUSER u u u :Real Name\r\n"},
        {"nil returns to the fixed one",
         {{"SetPassword", {std::string("s3cret")}}, {"SetPassword", {std::monostate{}}}}, kRegistration},
        {"no argument returns to the fixed one", {{"SetPassword", {std::string("s3cret")}}, {"SetPassword", {}}}, kRegistration},
        {"empty text: no PASS at all", {{"SetPassword", {std::string()}}},
         "CAP LS 302\r\nNICK bot\r\nUSER u u u :Real Name\r\n"},
        {"false, as the host tells it from nil by nothing, returns to the fixed one",
         {{"SetPassword", {std::string()}}, {"SetPassword", {false}}}, kRegistration},
        {"SetSASL() turns the login off",
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
        // The script's password waits for the server's word on CAP.
        if (c.registration.find("\r\nPASS ") != std::string::npos && c.registration != kRegistration) {
            server.ReadUntil("CAP LS 302\r\n");
            PumpFor(50);
            EXPECT_EQ(server.ReadFor(50), "CAP LS 302\r\n");
            server.Write(":srv CAP * LS :invite-notify sasl\r\n");
            EXPECT_TRUE(PumpUntilReceived(server, "Real Name\r\n", 0));
        }
        const std::string& received = server.ReadUntil("Real Name\r\n");
        EXPECT_EQ(received.substr(0, received.find("Real Name\r\n") + 11), c.registration);
        host.CallIrc("Close");
        EXPECT_THAT(host.console, Not(HasSubstr("s3cret")));
        EXPECT_THAT(Trace(), Not(HasSubstr("s3cret")));
    }
}

// A server that wants no password refuses the fixed one: the link is made
// again at once without PASS, once; a script's password is never dropped
// so. A script's password over plain TCP waits for the server's word on
// CAP, so that STS moves the link before it leaves.
TEST_F(Login, TheFixedPasswordRefusedIsLeftOutOnceAndAScriptsWaitsForTheCapList) {
    const RefusingPort closed;
    const std::string sts = ":srv CAP * LS :sts=port=" + std::to_string(closed.port()) + "\r\n";
    const std::string welcome = ":srv 001 bot :Welcome\r\n";
    const std::string bare = "CAP LS 302\r\nNICK bot\r\nUSER u u u :Real Name\r\n";
    const std::string retried = "[quorvane] the server refused the fixed password: connecting to 127.0.0.1 again without PASS\n";
    struct Row {
        const char* name;
        std::optional<std::string> password;  // SetPassword's text, if called
        std::string answer;        // the server's first lines
        std::string registration;  // what it has then
        bool hang = false;         // it closes the link after the first lines
        std::string second = {};   // the retry's answer (none: no retry)
        std::string outcome = {};  // the loss, or none: welcomed, the JOIN goes
        std::string quit = {};     // the script's own QUIT, sent before the answer
    };
    const Row rows[] = {
        {"464 for the fixed password: again without, once", {}, ":srv 464 * :Password incorrect\r\n", kRegistration,
         false, welcome},
        {"ngircd's ERROR for it, and a refusal again: that is the loss", {}, "ERROR :Access denied: Bad password?\r\n",
         kRegistration, true, "ERROR :Access denied\r\n", "Connection closed by the server: Access denied"},
        {"the retry's link keeps nothing of the refused one's ERROR", {}, "ERROR :Access denied: Bad password?\r\n",
         kRegistration, true, ":srv NOTICE * :*** Hello\r\n", "Connection closed by the server"},
        {"after the welcome an ERROR is no refusal", {}, welcome + "ERROR :Closing link\r\n",
         kRegistration + "JOIN #early\r\n", true, "",
         "Connection closed by the server: Closing link"},
        {"the script's password refused: the loss, no retry", std::string("s3cret"),
         ":srv 421 * CAP :Unknown command\r\n:srv 464 * :Password incorrect\r\nERROR :Bad password\r\n",
         "CAP LS 302\r\nPASS s3cret\r\nNICK bot\r\nUSER u u u :Real Name\r\n", true, "",
         "Connection closed by the server: Bad password"},
        {"empty text: no PASS, and nothing to leave out", std::string(""), ":srv 464 * :Password incorrect\r\n" + welcome,
         bare},
        {"a text that a line break makes empty: no PASS", std::string("\r\nPASS x"), welcome, bare},
        {"the script's password after the capability list", std::string("s3cret"),
         ":srv CAP * LS * :invite-notify\r\n:srv CAP * LS :echo-message\r\n",
         "CAP LS 302\r\nPASS s3cret\r\nNICK bot\r\nUSER u u u :Real Name\r\nCAP END\r\n", false, "", ""},
        {"... after a server's please-wait, its 451 for CAP", std::string("s3cret"),
         ":srv 020 * :Please wait while we process your connection.\r\n:srv 451 * CAP :You have not registered\r\n",
         "CAP LS 302\r\nPASS s3cret\r\nNICK bot\r\nUSER u u u :Real Name\r\n"},
        {"a please-wait (020) says nothing of CAP: the sts after it still comes first", std::string("s3cret"),
         ":srv 020 * :Please wait while we process your connection.\r\n" + sts, "CAP LS 302\r\n", false, "",
         "Connect failed: Connection refused (the server requires TLS)"},
        {"sts in the list: the password never goes in the clear", std::string("s3cret"), sts, "CAP LS 302\r\n", false, "",
         "Connect failed: Connection refused (the server requires TLS)"},
        {"the script's own QUIT answered by ERROR: the link it ended stays ended", {},
         "ERROR :Closing link: 127.0.0.1 (Quit: bye)\r\n", kRegistration + "QUIT :bye\r\n", true, "",
         "Connection closed by the server: Closing link: 127.0.0.1 (Quit: bye)", "QUIT :bye"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        host.ClearRecords();
        if (r.password)
            host.CallIrc("SetPassword", {*r.password});
        else
            host.CallIrc("SetPassword");
        LoopbackServer server;
        ASSERT_THAT(host.CallIrc("Connect", {std::string("127.0.0.1"), server.port(), std::string("bot"),
                                             std::string("u"), std::string("Real Name")}),
                    IsEmpty());
        host.CallIrc("Join", {std::string("#early")});
        ASSERT_TRUE(server.Accept());
        ASSERT_TRUE(PumpUntil([] { return Globals::client->IsConnected(); }));
        server.ReadUntil("CAP LS 302\r\n");
        PumpFor(50);
        const bool waits = r.registration.find("PASS s3cret") != std::string::npos || r.registration == "CAP LS 302\r\n";
        EXPECT_EQ(server.ReadFor(50),
                  waits ? "CAP LS 302\r\n" : r.registration.substr(0, r.registration.find("Real Name\r\n") + 11));
        if (!r.quit.empty()) {
            host.CallIrc("SendRaw", {r.quit});
            ASSERT_TRUE(PumpUntilReceived(server, r.quit + "\r\n", 0));
        }
        server.Write(r.answer);
        // Closed once the module has had the lines, as a server closes.
        if (r.hang) {
            PumpFor(100);
            server.ReadFor(50);
            server.CloseClient();
        }
        if (!r.second.empty()) {
            EXPECT_EQ(server.TakeReceived(), r.registration);
            ASSERT_TRUE(PumpUntil([&] { return server.Accept(0); }));
            ASSERT_TRUE(PumpUntil([] { return Globals::client->IsConnected(); }));
            EXPECT_EQ(server.ReadUntil("Real Name\r\n"), bare);
            server.Write(r.second);
            if (!r.outcome.empty()) server.CloseClient();
        }
        if (r.outcome.empty()) {
            if (r.answer.find(" 001 ") == std::string::npos && r.second != welcome) {
                // A server welcomes only a link that has registered.
                EXPECT_TRUE(PumpUntilReceived(server, "Real Name\r\n", 0));
                server.Write(welcome);
            }
            EXPECT_TRUE(PumpUntilReceived(server, "JOIN #early\r\n", 0));
            EXPECT_THAT(server.received(), ::testing::EndsWith(r.registration.substr(r.registration.find("USER")) + "JOIN #early\r\n"));
            EXPECT_TRUE(Connected());
            EXPECT_THAT(Disconnects(), IsEmpty());
        } else {
            ASSERT_TRUE(PumpUntil([&] { return !Disconnects().empty(); }));
            EXPECT_EQ(Disconnects(), std::vector<std::string>{r.outcome});
            PumpFor(50);
            if (r.second.empty()) {
                EXPECT_EQ(server.ReadFor(50), r.registration);
            }
        }
        EXPECT_EQ(host.console.find(retried) != std::string::npos, !r.second.empty());
        EXPECT_FALSE(server.Accept(100)) << "tried once more";
        EXPECT_THAT(Trace(), Not(HasSubstr("s3cret")));
        host.CallIrc("Close");
    }

    // A server that says nothing to CAP gets the script's password once
    // the negotiation's bound has passed: it will not speak of STS.
    host.ClearRecords();
    host.CallIrc("SetPassword", {std::string("s3cret")});
    LoopbackServer server;
    ASSERT_THAT(host.CallIrc("Connect", {std::string("127.0.0.1"), server.port(), std::string("bot"),
                                         std::string("u"), std::string("Real Name")}),
                IsEmpty());
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(PumpUntil([] { return Globals::client->IsConnected(); }));
    server.Write(":srv NOTICE * :*** Looking up your hostname\r\n");
    PaceClock::Advance(kNegotiationTimeLimit);
    PumpFor(150);
    EXPECT_EQ(server.ReadFor(50), "CAP LS 302\r\n");
    PaceClock::Advance(1ms);
    EXPECT_TRUE(PumpUntilReceived(server, "Real Name\r\n", 0));
    EXPECT_EQ(server.received(), "CAP LS 302\r\nPASS s3cret\r\nNICK bot\r\nUSER u u u :Real Name\r\n");
    EXPECT_TRUE(Connected());
    host.CallIrc("Close");

    // The link made again without the fixed password still logs in.
    host.CallIrc("SetPassword");
    host.CallIrc("SetSASL", {std::string("acct"), std::string("pw")});
    LoopbackServer refusing;
    ASSERT_THAT(host.CallIrc("Connect", {std::string("127.0.0.1"), refusing.port(), std::string("bot"),
                                         std::string("u"), std::string("Real Name")}),
                IsEmpty());
    ASSERT_TRUE(refusing.Accept());
    ASSERT_TRUE(PumpUntil([] { return Globals::client->IsConnected(); }));
    EXPECT_EQ(refusing.ReadUntil("Real Name\r\n"), kRegistration);
    refusing.Write(":srv 464 * :Password incorrect\r\n");
    PumpFor(50);
    refusing.TakeReceived();
    ASSERT_TRUE(PumpUntil([&] { return refusing.Accept(0); }));
    ASSERT_TRUE(PumpUntil([] { return Globals::client->IsConnected(); }));
    EXPECT_EQ(refusing.ReadUntil("Real Name\r\n"), bare);
    refusing.Write(":srv CAP * LS :sasl\r\n");
    EXPECT_TRUE(PumpUntilReceived(refusing, "CAP REQ :sasl\r\n", 0));
    host.CallIrc("SetSASL");
}

TEST_F(Login, LoginsThatCannotWorkFailAtOnceAndUnknownMechanismsAreRefused) {
    LoopbackServer server;
    const std::vector<Arg> connect = {std::string("127.0.0.1"), server.port(), std::string("bot"), std::string("u"),
                                      std::string("Real Name")};
    EXPECT_THAT(host.CallIrc("SetSASL", {std::string("acct"), std::string("pw"), std::string("scram-sha-256")}), IsEmpty());
    EXPECT_THAT(host.CallIrc("SetSASL", {std::string("acct"), std::string("pw"), std::string("SCRAM-SHA-1")}),
                ::testing::ElementsAre("SASL: unknown mechanism SCRAM-SHA-1"));
    EXPECT_EQ(Globals::settings.sasl_password.View(), "pw");
    EXPECT_THAT(host.CallIrc("SetSASL", {std::string("acct"), std::string("ignored"), std::string("external")}), IsEmpty());
    EXPECT_THAT(host.CallIrc("SetSASL", {std::string("acct2"), std::string("pw"), std::string("MD5")}), Not(IsEmpty()));
    // EXTERNAL kept, with no certificate: nothing is sent, not even a connect.
    ASSERT_THAT(host.CallIrc("Connect", connect), IsEmpty());
    ASSERT_TRUE(PumpUntil([&] { return !Disconnects().empty(); }));
    EXPECT_EQ(Disconnects(), std::vector<std::string>{"SASL login failed: EXTERNAL needs a client certificate (irc.SetClientCert)"});
    EXPECT_FALSE(server.Accept(200));
    EXPECT_THAT(Trace(), Not(HasSubstr("ignored")));
    // With one, but over plain TCP, which cannot present it: nothing either.
    host.ClearRecords();
    Globals::settings.client_cert = FakeClientCert();
    ASSERT_THAT(host.CallIrc("Connect", connect), IsEmpty());
    ASSERT_TRUE(PumpUntil([&] { return !Disconnects().empty(); }));
    EXPECT_EQ(Disconnects(), std::vector<std::string>{"SASL login failed: EXTERNAL needs a TLS link, which presents the certificate"});
    EXPECT_FALSE(server.Accept(200));
    // A SCRAM password that SASLprep refuses: nothing either.
    host.ClearRecords();
    EXPECT_THAT(host.CallIrc("SetSASL", {std::string("acct"), std::string("pw\a"), std::string("SCRAM-SHA-256")}), IsEmpty());
    ASSERT_THAT(host.CallIrc("Connect", connect), IsEmpty());
    ASSERT_TRUE(PumpUntil([&] { return !Disconnects().empty(); }));
    EXPECT_EQ(Disconnects(), std::vector<std::string>{"SASL login failed: " + std::string(platform::kSaslPrepProhibited)});
    EXPECT_FALSE(server.Accept(200));
}
