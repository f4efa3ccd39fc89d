#include "protocol/sasl.h"

#include <string>
#include <vector>

#include "module/globals.h"
#include "net/connection.h"
#include "platform/trace.h"
#include "protocol/tokenize.h"

namespace sasl_detail {
bool pending = false;
}

namespace {

using sasl_detail::pending;

// What AUTHENTICATE may carry in one line; a longer payload goes in pieces.
constexpr std::size_t kPieceSize = 400;

enum class Step { Capabilities, Requested, Mechanism, Verdict };

struct Credentials {
    std::string account;
    std::string password;
};

// Set by scripts, for the next Connect.
Credentials wanted;
// The exchange under way: its own copy, so a script changing the settings
// meanwhile changes only the next Connect.
Credentials current;
Step step = Step::Capabilities;
bool offered = false;      // the capability list named sasl
bool has_plain = false;    // ... and PLAIN among its mechanisms, or none listed
std::string mechanisms;    // what it listed, for the reason when PLAIN is missing
SendQueue::Clock::time_point started{};

// The exchange's lines answer the server one by one while it holds
// registration for them: none may wait on the pace, which would eat into
// the time limit. They are traced as they go, the secret ones masked.
void SendStep(std::string_view line, std::string_view shown) {
    platform::DebuggerTrace("[SASL] > ", shown);
    Globals::SendIRCString(line, LineKind::Urgent);
}
void SendStep(std::string_view line) { SendStep(line, line); }

// Ends the link: once, with QUIT, and the reason for the scripts.
void Fail(std::string_view why) {
    pending = false;
    current = {};
    std::string reason = "SASL login failed: ";
    reason += why;
    platform::DebuggerTrace("[SASL] ", reason);
    Globals::SendIRCString("QUIT :SASL login failed", LineKind::Urgent);
    if (Globals::client) Globals::client->Abandon(std::move(reason));
}

// A received line's parameters after its command: the last one may be the
// trailing text after " :", which may hold spaces.
struct Message {
    std::string_view command;
    std::vector<std::string_view> params;
};

Message Parse(std::string_view line) {
    Message m;
    auto word = [&line] {
        const std::size_t end = line.find(' ');
        std::string_view w = line.substr(0, end);
        line.remove_prefix(end == std::string_view::npos ? line.size() : end + 1);
        return w;
    };
    if (line.starts_with(':')) word();
    m.command = word();
    while (!line.empty()) {
        if (line.starts_with(':')) {
            m.params.push_back(line.substr(1));
            break;
        }
        std::string_view w = word();
        if (!w.empty()) m.params.push_back(w);
    }
    return m;
}

std::string_view Param(const Message& m, std::size_t i) { return i < m.params.size() ? m.params[i] : std::string_view{}; }

// The server's own words where it gave some, else ours.
std::string_view ServerText(const Message& m, std::string_view fallback) {
    return m.params.size() >= 2 && !m.params.back().empty() ? m.params.back() : fallback;
}

bool HasWord(std::string_view list, std::string_view word, char sep) {
    while (!list.empty()) {
        const std::size_t end = list.find(sep);
        if (list.substr(0, end) == word) return true;
        if (end == std::string_view::npos) break;
        list.remove_prefix(end + 1);
    }
    return false;
}

// One line of the capability list; "sasl" may carry its mechanisms as
// "sasl=PLAIN,EXTERNAL" (CAP 302).
void NoteCapabilities(std::string_view caps) {
    while (!caps.empty()) {
        const std::size_t end = caps.find(' ');
        const std::string_view cap = caps.substr(0, end);
        caps.remove_prefix(end == std::string_view::npos ? caps.size() : end + 1);
        if (cap == "sasl") {
            offered = has_plain = true;
        } else if (cap.starts_with("sasl=")) {
            offered = true;
            mechanisms = cap.substr(5);
            has_plain = HasWord(mechanisms, "PLAIN", ',');
        }
    }
}

void SendCredentials() {
    std::string plain = current.account;
    plain.append(1, '\0').append(current.account).append(1, '\0').append(current.password);
    const std::string payload = Base64(plain);
    std::string line;
    for (std::size_t at = 0; at < payload.size(); at += kPieceSize) {
        line.assign("AUTHENTICATE ").append(std::string_view(payload).substr(at, kPieceSize));
        SendStep(line, "AUTHENTICATE ****");
    }
    // A last piece of exactly the full size leaves the server waiting for
    // more: an empty one says there is none.
    if (payload.size() % kPieceSize == 0) SendStep("AUTHENTICATE +");
    current = {};
    step = Step::Verdict;
}

void OnCap(const Message& m) {
    // CAP <nick> <subcommand> [*] :<list>
    const std::string_view sub = Param(m, 1);
    if (sub == "LS" && step == Step::Capabilities) {
        NoteCapabilities(m.params.size() > 2 ? m.params.back() : std::string_view{});
        // "CAP * LS * :..." says more lines follow.
        if (m.params.size() > 3 && Param(m, 2) == "*") return;
        if (!offered) return Fail("the server does not offer SASL");
        if (!has_plain) return Fail("the server does not offer SASL PLAIN (only " + mechanisms + ")");
        SendStep("CAP REQ :sasl");
        step = Step::Requested;
    } else if (sub == "ACK" && step == Step::Requested) {
        if (!HasWord(m.params.size() > 2 ? m.params.back() : std::string_view{}, "sasl", ' '))
            return Fail("the server did not grant the sasl capability");
        SendStep("AUTHENTICATE PLAIN");
        step = Step::Mechanism;
    } else if (sub == "NAK" && step == Step::Requested) {
        Fail("the server refused the sasl capability");
    }
}

}  // namespace

void SetSaslCredentials(std::string_view account, std::string_view password) {
    wanted.account.assign(account);
    wanted.password.assign(account.empty() ? std::string_view{} : password);
}

bool SaslConfigured() { return !wanted.account.empty(); }

void BeginSasl() {
    pending = SaslConfigured();
    if (!pending) {
        current = {};
        return;
    }
    current = wanted;
    step = Step::Capabilities;
    offered = has_plain = false;
    mechanisms.clear();
    started = Connection::pace_clock();
    SendStep("CAP LS 302");
}

void SaslOnLine(std::string_view line, const Tokens& tokens) {
    // Tokens 0 and 1 tell the command at no cost; only lines that matter
    // here are parsed further.
    const std::string_view command = tokens[0].starts_with(':') ? tokens[1] : tokens[0];
    const bool numeric = command.size() == 3 && command[0] >= '0' && command[0] <= '9';
    if (command != "CAP" && command != "AUTHENTICATE" && !numeric) return;
    const Message m = Parse(line);

    if (command == "CAP") return OnCap(m);
    if (command == "AUTHENTICATE") {
        if (step != Step::Mechanism) return;
        if (Param(m, 0) != "+") return Fail("the server sent an unexpected AUTHENTICATE challenge");
        return SendCredentials();
    }
    if (command == "903") {
        pending = false;
        current = {};
        SendStep("CAP END");
    } else if (command == "001") {
        Fail("the server registered the connection before the login");
    } else if (command == "421" && (Param(m, 1) == "CAP" || Param(m, 1) == "AUTHENTICATE")) {
        // Only an old server answers so: it knows nothing of SASL. (A 421
        // for a line a script sent meanwhile is the script's business.)
        std::string why = "the server does not know ";
        why += Param(m, 1);
        Fail(why);
    } else if (command == "902" || command == "904" || command == "905" || command == "906" || command == "907") {
        Fail(ServerText(m, "the server refused the login"));
    } else if (command == "908" && !HasWord(Param(m, 1), "PLAIN", ',')) {
        std::string why = "the server does not take PLAIN (it takes ";
        why += Param(m, 1);
        why += ")";
        Fail(why);
    }
}

void CheckSaslTime() {
    if (!pending) return;
    // The exchange's time starts once the link is up: the connect has a
    // bound of its own.
    if (Globals::client && Globals::client->IsConnecting()) {
        started = Connection::pace_clock();
        return;
    }
    if (!Globals::client || !Globals::client->IsConnected()) {
        // Closed by the script, or lost: the loss is reported as such.
        pending = false;
        current = {};
        return;
    }
    if (Connection::pace_clock() - started > kSaslTimeLimit)
        Fail("the server did not finish the login within 10 s");
}

std::string Base64(std::string_view bytes) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned n = static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[n >> 18 & 63];
        out += kDigits[n >> 12 & 63];
        out += kDigits[n >> 6 & 63];
        out += kDigits[n & 63];
    }
    if (const std::size_t left = bytes.size() - i; left > 0) {
        unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
        if (left == 2) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += kDigits[n >> 18 & 63];
        out += kDigits[n >> 12 & 63];
        out += left == 2 ? kDigits[n >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}
