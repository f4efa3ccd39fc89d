#include "protocol/caps.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "net/connection.h"
#include "net/frame.h"
#include "platform/trace.h"
#include "protocol/items.h"
#include "protocol/reply.h"
#include "protocol/sasl.h"
#include "protocol/server_password.h"
#include "protocol/sts.h"

namespace {

using Step = CapState::Step;

// What the module asks for when the server lists it, in this order; sasl
// only for a login.
struct Known {
    std::string_view name;
    CapBits bit;
};
constexpr Known kKnown[] = {
    {"server-time", kCapServerTime},
    {"account-tag", kCapAccountTag},
    {"message-tags", kCapMessageTags},
    {"sasl", kCapSasl},
    {"multi-prefix", kCapMultiPrefix},
    {"userhost-in-names", kCapUserhostInNames},
    {"extended-join", kCapExtendedJoin},
    {"account-notify", kCapAccountNotify},
    {"away-notify", kCapAwayNotify},
    {"chghost", kCapChghost},
    {"setname", kCapSetname},
};

CapBits BitOf(std::string_view name) {
    for (const Known& k : kKnown)
        if (k.name == name) return k.bit;
    return 0;
}

// A server that knows CAP answers our LS before it reads NICK. One that
// judges our nick first, or calls us unregistered, passed the CAP over in
// silence, and the script's answer (a new NICK) must not wait for a CAP END
// that means nothing to it.
bool PassedOver(const Reply& r) {
    const std::string_view n = r.Command();
    return n == "451" || n == "432" || n == "433" || n == "436" || n == "437";
}

constexpr std::string_view kTraced = "[CAP] > ";

void Request(Connection& link, CapBits bits) {
    std::string line = "CAP REQ :";
    for (const Known& k : kKnown) {
        if ((bits & k.bit) == 0) continue;
        if (line.back() != ':') line += ' ';
        line += k.name;
    }
    SendNegotiationLine(link, kTraced, line);
    link.session().caps.asked.push_back(bits);
}

// The server no longer holds registration for CAP, which ends at `end`.
// The script's lines still wait for the welcome: a server registers us
// only after its own checks (ident, DNS), and answers 451 until then.
void Release(Connection& link, Step end) {
    CapState& caps = link.session().caps;
    if (caps.Over()) return;
    caps.step = end;
}

// PASS, NICK and USER, where they waited for the server's first word on
// CAP.
void SendWaitingRegistration(Connection& link) {
    CapState& caps = link.session().caps;
    if (!caps.registration_waits) return;
    caps.registration_waits = false;
    const std::string_view all = caps.registration.View();
    link.Send(all.substr(all.find('\n') + 1), LineKind::Script);
}

// Registered: the registration is needed no more, and the script's lines go.
void Welcome(Connection& link) {
    CapState& caps = link.session().caps;
    Release(link, Step::Done);
    caps.welcomed = true;
    caps.registration_waits = false;
    caps.registration.Clear();
    link.ReleaseScriptLines();
}

// CAP END, once every request is answered and the login, if any, is over.
void Conclude(Connection& link) {
    CapState& caps = link.session().caps;
    if (caps.step != Step::Settling || !caps.asked.empty() || link.session().login.Pending() || !link.IsConnected())
        return;
    SendNegotiationLine(link, kTraced, "CAP END");
    Release(link, Step::Done);
}

// The server requires TLS: the same registration, and the login, start
// again on a link of their own, which the script's waiting lines follow.
void MoveToTls(Connection& link, int port) {
    Session next;
    next.login = std::move(link.session().login);
    RestartLogin(next.login);
    next.caps.step = Step::Listing;
    next.caps.password = link.session().caps.password;
    next.caps.registration = std::move(link.session().caps.registration);
    link.RequireTls();
    link.Reopen(port, platform::Security::Tls, std::move(next));
}

void NoteList(Connection& link, std::string_view list) {
    CapState& caps = link.session().caps;
    for (const auto [name, value] : Items(list, ' ')) {
        if (name == "sts") {
            caps.sts_listed = true;
            caps.sts.assign(value.value_or(std::string_view{}));
            continue;
        }
        const CapBits bit = BitOf(name);
        caps.offered |= bit;
        if (bit == kCapSasl && link.session().login.Pending()) NoteSaslOffer(link, value);
    }
}

void OnList(Connection& link, const Reply& r, std::string_view list) {
    CapState& caps = link.session().caps;
    if (caps.step != Step::Listing) {
        // A list nobody waits for (a script's own CAP LS) changes nothing,
        // but in the middle of a login it is a reply out of order.
        if (link.session().login.Pending()) FailLogin(link, kUnexpectedReply);
        return;
    }
    NoteList(link, list);
    // "CAP * LS * :..." says more lines follow.
    if (r.Params() > 3 && r.Param(2) == "*") return;
    if (caps.sts_listed) {
        if (const int port = StsOnList(link, caps.sts)) return MoveToTls(link, port);
    }
    if (link.session().login.Pending() && !LoginFitsOffer(link)) return;
    SendWaitingRegistration(link);
    caps.step = Step::Settling;
    if (const CapBits extras = caps.offered & ~kCapSasl) Request(link, extras);
    if (link.session().login.Pending()) Request(link, kCapSasl);
    Conclude(link);
}

// An ACK (or NAK) answers our oldest request and must name just what it
// asked. With a login at stake any other answer ends the link; without,
// it still answers that request, and only what it acknowledges of ours
// is taken.
void OnAnswer(Connection& link, std::string_view list, bool ack) {
    CapState& caps = link.session().caps;
    CapBits bits = 0;
    bool ours = true;
    for (const auto [name, value] : Items(list, ' ')) {
        const CapBits bit = BitOf(name);
        ours = ours && bit != 0 && !value;
        bits |= bit;
    }
    const bool exact = !caps.asked.empty() && ours && caps.asked.front() == bits;
    const bool login_asked = (bits & kCapSasl) || caps.asked.empty() || (caps.asked.front() & kCapSasl);
    if (!exact && link.session().login.Pending() && login_asked) return FailLogin(link, kUnexpectedReply);
    if (caps.asked.empty()) return;
    const CapBits asked = caps.asked.front();
    caps.asked.pop_front();
    if (ack) caps.enabled |= bits & asked;
    if (exact && (bits & kCapSasl) && link.session().login.Pending()) {
        if (!ack) return FailLogin(link, "the server refused the sasl capability");
        StartAuthenticate(link);
    }
    Conclude(link);
}

void OnNew(Connection& link, std::string_view list) {
    CapState& caps = link.session().caps;
    CapBits added = 0;
    for (const auto [name, value] : Items(list, ' ')) {
        // A policy may be renewed at any time; a move to TLS comes only
        // with the list that opens the registration.
        if (name == "sts" && link.LinkSecurity() != platform::Security::Plain) StsOnList(link, value.value_or(""));
        added |= BitOf(name);
    }
    caps.offered |= added;
    // A login happens at registration or not at all.
    CapBits wanted = added & ~kCapSasl & ~caps.enabled;
    for (const CapBits asked : caps.asked) wanted &= ~asked;
    if (wanted != 0 && (caps.step == Step::Settling || caps.step == Step::Done)) Request(link, wanted);
}

void OnDel(Connection& link, std::string_view list) {
    CapState& caps = link.session().caps;
    CapBits gone = 0;
    for (const Item cap : Items(list, ' ')) gone |= BitOf(cap.name);
    caps.offered &= ~gone;
    caps.enabled &= ~gone;
    if ((gone & kCapSasl) && link.session().login.Pending()) FailLogin(link, "the server withdrew the sasl capability");
}

void OnCap(Connection& link, const Reply& r) {
    // CAP <nick> <subcommand> [*] :<list>
    link.session().caps.answered = true;
    const std::string_view sub = r.Param(1);
    const std::string_view list = r.Params() > 2 ? r.Trailing() : std::string_view{};
    if (sub == "LS") {
        OnList(link, r, list);
    } else if (sub == "ACK" || sub == "NAK") {
        OnAnswer(link, list, sub == "ACK");
    } else if (sub == "NEW") {
        OnNew(link, list);
    } else if (sub == "DEL") {
        OnDel(link, list);
    }
}

}  // namespace

void BeginNegotiation(Connection& link, const Settings& settings, platform::Secret lines, ServerPassword password) {
    PrepareLogin(link, settings);
    CapState& caps = link.session().caps;
    caps = {};
    caps.step = Step::Listing;
    caps.password = password;
    caps.registration_waits =
        password == ServerPassword::Script && link.LinkSecurity() == platform::Security::Plain;
    // CAP LS answers nothing and asks the server to wait for us: like
    // every line of the negotiation it does not count against the pace.
    const std::string_view all = lines.View();
    const std::size_t first = all.find('\n') + 1;
    SendNegotiationLine(link, kTraced, all.substr(0, first));
    link.HoldScriptLines();
    caps.registration = std::move(lines);
    if (!caps.registration_waits) link.Send(caps.registration.View().substr(first), LineKind::Script);
}

void SendNegotiationLine(Connection& link, std::string_view head, std::string_view line, std::string_view shown) {
    platform::DebuggerTrace(head, FirstLine(shown));
    link.SendVerbatim(line, LineKind::Urgent);
}

void NegotiationOnLine(Connection& link, const Tokens& tokens) {
    const Reply r(tokens);
    if (!r.HasParams()) return;  // no command, or nothing after it: nothing of ours
    if (r.Command() == "CAP") return OnCap(link, r);
    CapState& caps = link.session().caps;
    if (caps.welcomed) return;
    if (RetryWithoutFixedPassword(link, r)) return;
    // A server that answers something else first passed the CAP over; 020
    // ("please wait") is what some say to every new link before they read.
    const bool passed_cap = !caps.answered && (r.Command() == "ERROR" || (r.IsNumeric() && r.Command() != "020"));
    if (caps.Negotiating() && !caps.answered && PassedOver(r)) {
        if (link.session().login.Pending()) return FailLogin(link, "the server does not know CAP");
        SendWaitingRegistration(link);
        return Release(link, Step::Ignored);
    }
    if (link.session().login.Pending()) {
        LoginOnLine(link, r);
        return Conclude(link);
    }
    if (passed_cap) SendWaitingRegistration(link);
    if (r.Command() == "001") return Welcome(link);
    if (!caps.Negotiating() || !r.IsNumeric()) return;
    if (r.Command() == "421" && (r.Param(0) == "CAP" || r.Param(1) == "CAP")) {
        // An old server that knows no CAP; it registers us on its own.
        Release(link, Step::Ignored);
    }
}

void EndNegotiationForClose(Connection& link) {
    CapState& caps = link.session().caps;
    if (caps.welcomed || link.session().login.Pending()) return;
    if (caps.Negotiating()) {
        caps.asked.clear();
        caps.step = Step::Settling;
        Conclude(link);
    }
    link.ReleaseScriptLines();
}

void CheckNegotiationTime(Connection& link) {
    if (!link.IsConnected()) return;
    const bool login = link.session().login.Pending();
    const CapState& caps = link.session().caps;
    const bool late = Connection::pace_clock() - link.session().up_since > kNegotiationTimeLimit;
    // A server that says nothing at all to CAP will never speak of STS:
    // the registration goes as the script set it.
    if (!login && late && !caps.answered) SendWaitingRegistration(link);
    if (!login && !(caps.Negotiating() && caps.answered)) return;
    if (!late) return;
    const std::string limit = std::to_string(kNegotiationTimeLimit.count()) + " s";
    if (login) return FailLogin(link, "the server did not finish the login within " + limit);
    std::string reason = "Capability negotiation failed: the server did not finish it within " + limit;
    platform::DebuggerTrace("[CAP] ", reason);
    link.Quit("Capability negotiation timed out");
    link.Abandon(std::move(reason));
}
