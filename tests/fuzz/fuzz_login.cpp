// The server's side of a registration with a SASL login, against a fresh
// link each input. Whatever the server says, in whatever order:
// - no CAP END goes out before a 903 that followed all of our credentials,
//   and no line of the script's goes out before CAP END;
// - our credentials start out only in answer to the server's AUTHENTICATE +;
// - the link is reported lost at most once;
// - neither password nor its base64 reaches the console or the trace.
//
// - with SCRAM, no CAP END but after our proof for RFC 7677's exchange and
//   the server's signature of it (no other exchange can be signed without
//   the password's sums), and no AUTHENTICATE * after it.
//
// Input: a first byte of settings (bit 0: the script joins #early right
// after Connect; bit 1: a password long enough for three AUTHENTICATE
// pieces; bit 2: a server password too; bit 3: EXTERNAL, set on the
// link's login as a client certificate would allow; bit 4, without bit 3:
// SCRAM-SHA-256 as "user" with "pencil", our nonce RFC 7677's), then the server's lines, each
// ended by LF (a CR LF is added; bytes above 0x7F read as '?', as the line
// reader hands them on). A line of the one byte FF lets 11 s pass instead.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "linked_module.h"
#include "module/globals.h"
#include "net/connection.h"
#include "platform/secret.h"
#include "platform/trace.h"
#include "poll/poll.h"
#include "protocol/dispatch.h"
#include "protocol/base64.h"
#include "protocol/sasl.h"
#include "protocol/scram.h"

namespace {

// The login's 10 s are counted on the pace clock; here it moves only when
// the input says so. Registration and one early line fit the allowance.
SendQueue::Clock::time_point clock_now{};
SendQueue::Clock::time_point StoppedClock() { return clock_now; }

const std::string kAccount = "acct";
const std::string kShortPassword = "S3cret-pw";
const std::string kServerPassword = "Srv-Pa55";
// RFC 7677's example exchange, from our side.
const std::string kScramFirst = "n,,n=user,r=rOprNGfwEbeRWgbNEkqO";
const std::string kScramFinal =
    "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=";
std::string trace_path;

std::string Base64(std::string_view bytes) {
    platform::Secret out;
    AppendBase64(out, bytes);
    return std::string(out.View());
}

// What the trace holds now.
std::string TraceText() {
    std::ifstream in(trace_path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string_view CommandOf(std::string_view line) {
    if (line.starts_with(':')) {
        const std::size_t space = line.find(' ');
        line.remove_prefix(space == std::string_view::npos ? line.size() : space + 1);
    }
    return line.substr(0, line.find(' '));
}

// Whether a server line is AUTHENTICATE with "+" for its first parameter
// (tags and a prefix before it, as IRC frames them).
bool IsPlus(std::string_view line) {
    for (const char lead : {'@', ':'}) {
        if (!line.starts_with(lead)) continue;
        const std::size_t space = line.find(' ');
        if (space == std::string_view::npos) return false;
        line.remove_prefix(space + 1);
        if (lead == '@') line.remove_prefix(std::min(line.size(), line.find_first_not_of(' ')));
    }
    if (!line.starts_with("AUTHENTICATE ")) return false;
    line.remove_prefix(13);
    if (line.starts_with(':')) return line == ":+";
    return line.substr(0, line.find(' ')) == "+";
}

// Follows the module's side of the wire line by line.
struct Watch {
    std::vector<std::string> credentials;  // the lines that carry them, in order
    std::size_t credentials_seen = 0;
    bool logged_in = false;  // a 903 came after all of them
    bool cap_end = false;

    void Check(std::string_view wire, bool after_903, bool after_plus = false) {
        if (after_903 && credentials_seen == credentials.size()) logged_in = true;
        for (std::string_view line : WireLines(wire)) {
            if (credentials_seen < credentials.size() && line == credentials[credentials_seen]) {
                if (credentials_seen == 0 && !after_plus) Fail("credentials sent without the server's +", wire);
                ++credentials_seen;
            }
            if (line == "CAP END") {
                if (cap_end) Fail("CAP END twice", wire);
                if (!logged_in) Fail("CAP END without a 903 that followed our credentials", wire);
                cap_end = true;
            }
            if (line == "JOIN #early" && !cap_end) Fail("a script's line before CAP END", wire);
            if (line == "AUTHENTICATE *" && cap_end) Fail("AUTHENTICATE * after CAP END", wire);
        }
    }
};

// Everything the module wrote: up to a marker while the link is up, to
// its end once the module has closed it.
std::string Written() {
    if (Globals::client && Globals::client->IsConnected()) return WrittenByModule();
    LoopbackServer& peer = LinkModule();
    if (peer.ReadToEnd(5000) == -1) Fail("a dropped link was not closed");
    return peer.TakeReceived();
}

int Disconnects(const RecordingHost& host) {
    int n = 0;
    for (const HookCall& c : host.hook_calls) n += !c.args.empty() && c.args[0] == "IRC_Disconnected";
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    trace_path = "/tmp/quorvane_fuzz_login_trace." + std::to_string(getpid());
    setenv("QUORVANE_TRACE", trace_path.c_str(), 1);
    std::atexit([] { std::remove(trace_path.c_str()); });
    LinkModule();
    Connection::pace_clock = &StoppedClock;
    scram_nonce = [] { return std::string("rOprNGfwEbeRWgbNEkqO"); };
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t flags = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const bool external = flags & 8, scram = !external && (flags & 16);
    const std::string account = scram ? "user" : kAccount;
    const std::string password = scram ? "pencil" : flags & 2 ? std::string(700, 'p') + kShortPassword : kShortPassword;

    RecordingHost host;
    gmod_open(&host);
    std::remove(trace_path.c_str());
    platform::ConfigureTrace();
    LoopbackServer& peer = LinkModule();
    // The link left by the last input goes first.
    host.CallIrc("Close");
    peer.ReadToEnd(5000);
    peer.TakeReceived();

    host.CallIrc("Debug", {false});
    host.CallIrc("SetSASL", {account, password, std::string(scram ? "SCRAM-SHA-256" : "PLAIN")});
    host.CallIrc("SetPassword", {flags & 4 ? Arg(kServerPassword) : Arg(std::monostate{})});
    ConnectModule(host, {std::string("127.0.0.1"), 0, std::string("fuzz"), std::string("u"), std::string("r")});
    if (external) Globals::client->session().login.mechanism = SaslMechanism::External;
    if (flags & 1) host.CallIrc("Join", {std::string("#early")});

    std::string plain = account;
    plain.append(1, '\0').append(account).append(1, '\0').append(password);
    const std::string payload = Base64(plain);
    Watch watch;
    if (scram) {
        // Each fits one piece; the + follows only a signature that holds.
        watch.credentials = {"AUTHENTICATE " + Base64(kScramFirst), "AUTHENTICATE " + Base64(kScramFinal),
                             "AUTHENTICATE +"};
    } else {
        for (std::size_t at = 0; !external && at < payload.size(); at += 400)
            watch.credentials.push_back("AUTHENTICATE " + payload.substr(at, 400));
        if (external || payload.size() % 400 == 0) watch.credentials.push_back("AUTHENTICATE +");
    }
    watch.Check(Written(), false);

    for (int lines = 0; !rest.empty() && lines < 64 && Globals::client->IsConnected(); ++lines) {
        const std::size_t end = rest.find('\n');
        const std::string line = SevenBit(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (line == "?") {  // the byte FF
            clock_now += std::chrono::seconds(11);
        } else {
            ProcessLine(line);
        }
        MessageCheckTimer();
        watch.Check(Written(), line != "?" && CommandOf(line) == "903", IsPlus(line));
    }
    host.CallIrc("Close");
    watch.Check(Written(), false);
    MessageCheckTimer();

    if (Disconnects(host) > 1) Fail("the link was reported lost more than once");
    // The server's own lines are traced: a secret the input itself holds
    // may show there.
    const std::string trace = TraceText();
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> secrets = {password, kServerPassword};
    for (const std::string& line : watch.credentials)
        if (line != "AUTHENTICATE +") secrets.push_back(line.substr(13));
    for (const std::string& secret : secrets) {
        if (input.find(secret) != std::string_view::npos) continue;
        if (host.console.find(secret) != std::string::npos) Fail("a secret on the console", secret);
        if (trace.find(secret) != std::string::npos) Fail("a secret in the trace", secret);
    }
    gmod_close(host.state);
    return 0;
}
