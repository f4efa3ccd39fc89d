#include "protocol/sasl.h"

#include <string>

#include "module/console.h"
#include "net/connection.h"
#include "net/server_text.h"
#include "platform/trace.h"
#include "protocol/base64.h"
#include "protocol/caps.h"
#include "protocol/items.h"
#include "protocol/scram.h"

namespace {

using Step = LoginState::Step;

// What AUTHENTICATE may carry in one line; a longer payload goes in pieces.
constexpr std::size_t kPieceSize = 400;

std::string_view MechanismName(SaslMechanism m) {
    switch (m) {
        case SaslMechanism::External: return "EXTERNAL";
        case SaslMechanism::ScramSha256: return "SCRAM-SHA-256";
        case SaslMechanism::Plain: break;
    }
    return "PLAIN";
}

// Where every login starts, starts over or ends: from its first step with
// `account` (waiting for the capability list), or off without one.
// Whatever `login` held goes, cleared.
void ResetLogin(LoginState& login, SaslMechanism mechanism, platform::Secret account, platform::Secret password,
                std::string certificate) {
    LoginState fresh;
    if (!account.Empty()) {
        fresh.mechanism = mechanism;
        fresh.account = std::move(account);
        fresh.password = std::move(password);
        fresh.certificate = std::move(certificate);
        fresh.step = Step::Waiting;
    }
    login = std::move(fresh);
}

// The exchange's lines, one by one, each answering the server.
constexpr std::string_view kTraced = "[SASL] > ";

// Whether a comma-separated list of mechanisms names `m`.
bool Lists(std::string_view list, SaslMechanism m) {
    for (const auto [name, value] : Items(list, ','))
        if (name == MechanismName(m) && !value) return true;
    return false;
}

// Sends `message` in base64, in AUTHENTICATE pieces; the trace shows them
// masked.
void SendPayload(Connection& link, std::string_view message) {
    platform::Secret payload;
    AppendBase64(payload, message);
    platform::Secret line;
    line.Reserve(13 + kPieceSize);
    for (std::size_t at = 0; at < payload.Size(); at += kPieceSize) {
        line.Assign("AUTHENTICATE ");
        line.Append(payload.View().substr(at, kPieceSize));
        SendNegotiationLine(link, kTraced, line.View(), "AUTHENTICATE ****");
    }
    // A last piece of exactly the full size leaves the server waiting
    // for more: an empty one says there is none.
    if (payload.Size() % kPieceSize == 0) SendNegotiationLine(link, kTraced, "AUTHENTICATE +");
}

// Ends a SCRAM login that must not go on: the server hears so first.
void Abort(Connection& link, std::string_view why) {
    SendNegotiationLine(link, kTraced, "AUTHENTICATE *");
    FailLogin(link, why);
}

// SCRAM's first message names the account; the password stays until the
// server's answer salts it.
void SendScramFirst(Connection& link) {
    LoginState& login = link.session().login;
    login.scram.nonce = scram_nonce();
    if (login.scram.nonce.empty()) return Abort(link, "the system gave no random bytes for the SCRAM nonce");
    platform::Secret first;
    ScramFirst(login.account.View(), login.scram.nonce, first, login.scram.first_bare);
    login.account.Clear();
    SendPayload(link, first.View());
    login.step = Step::ServerFirst;
}

void SendCredentials(Connection& link) {
    LoginState& login = link.session().login;
    if (login.mechanism == SaslMechanism::ScramSha256) return SendScramFirst(link);
    if (login.mechanism == SaslMechanism::External) {
        // The certificate is the credential; an empty response says we
        // take the identity it proves.
        SendNegotiationLine(link, kTraced, "AUTHENTICATE +");
    } else {
        // Said as it happens: a link that STS moves to TLS first sends it
        // there.
        if (link.LinkSecurity() == platform::Security::Plain)
            ConsoleWarning("SASL over an unencrypted link: the password can be read on the way");
        platform::Secret plain;
        plain.Reserve(2 * login.account.Size() + login.password.Size() + 2);
        plain.Append(login.account.View());
        plain.Append(1, '\0');
        plain.Append(login.account.View());
        plain.Append(1, '\0');
        plain.Append(login.password.View());
        SendPayload(link, plain.View());
    }
    login.account.Clear();
    login.password.Clear();
    login.step = Step::Verdict;
}

// One AUTHENTICATE piece of the server's SCRAM message. A piece of exactly
// the full size says more follows; "+" is an empty one.
void OnScramPiece(Connection& link, const Reply& r) {
    LoginState& login = link.session().login;
    std::string_view piece = r.Param(0);
    if (r.Params() != 1 || piece.empty() || piece.size() > kPieceSize) return Abort(link, kScramMalformed);
    if (piece == "+") piece = {};
    login.scram.received += piece;
    if (login.scram.received.size() > kScramMaxMessage) return Abort(link, "the server's SCRAM message is too long");
    if (piece.size() == kPieceSize) return;
    platform::Secret message;
    const bool base64 = DecodeBase64(login.scram.received, message);
    login.scram.received.clear();
    if (!base64) return Abort(link, "the server's SCRAM message is not base64");
    if (login.step == Step::ServerFirst) {
        ScramAnswer answer =
            ScramAnswerFirst(login.password.View(), login.scram.first_bare.View(), login.scram.nonce, message.View());
        login.password.Clear();
        if (!answer.error.empty()) return Abort(link, answer.error);
        login.scram.server_signature = std::move(answer.server_signature);
        SendPayload(link, answer.final.View());
        login.step = Step::ServerFinal;
        return;
    }
    // Only a server that knows the password can sign the exchange: until
    // it has, nothing counts as logged in.
    const std::string wrong = ScramCheckFinal(message.View(), login.scram.server_signature.View());
    if (!wrong.empty()) return Abort(link, wrong);
    login.scram = {};
    SendNegotiationLine(link, kTraced, "AUTHENTICATE +");
    login.step = Step::Verdict;
}

// A refusal names what was refused, so that a bot set up with several
// logins knows which to mend: the mechanism, the server's words if any,
// and for EXTERNAL the certificate the account must list.
std::string Refusal(const LoginState& login, const Reply& r) {
    std::string why(MechanismName(login.mechanism));
    why += " refused by the server";
    const std::string text = ServerText(r.Params() >= 2 ? r.Trailing() : std::string_view{});
    if (!text.empty()) why.append(": ").append(text);
    if (login.mechanism == SaslMechanism::External && !login.certificate.empty())
        why.append(" (client certificate SHA-256 fingerprint ").append(login.certificate).append(")");
    return why;
}

void OnNumeric(Connection& link, const Reply& r) {
    LoginState& login = link.session().login;
    const std::string_view n = r.Command();
    // Replies to the mechanism we named or to our credentials.
    const bool answering = login.step == Step::Mechanism || login.step == Step::ServerFirst ||
                           login.step == Step::ServerFinal || login.step == Step::Verdict;
    if (n == "001") {
        FailLogin(link, "the server registered the connection before the login");
    } else if (n == "421") {
        // Only an old server answers so: it knows nothing of SASL. (A 421
        // for a line a script sent meanwhile is the script's business.)
        const std::string_view what = r.Param(1);
        if (what == "CAP" || what == "AUTHENTICATE") FailLogin(link, "the server does not know " + std::string(what));
    } else if (n == "900") {
        // Logged in; success is the 903 that follows.
        if (login.step != Step::Verdict) FailLogin(link, kUnexpectedReply);
    } else if (n == "903") {
        if (login.step != Step::Verdict) return FailLogin(link, kUnexpectedReply);
        login.step = Step::Done;
    } else if (n == "908") {
        const std::string_view mechanisms = r.Param(1);
        if (!answering) return FailLogin(link, kUnexpectedReply);
        if (Lists(mechanisms, login.mechanism)) return;
        std::string why = "the server does not take ";
        why.append(MechanismName(login.mechanism)).append(" (it takes ").append(ServerText(mechanisms)).append(")");
        FailLogin(link, why);
    } else if (n == "902" || n == "904" || n == "905" || n == "906" || n == "907") {
        FailLogin(link, answering ? Refusal(login, r) : std::string(kUnexpectedReply));
    }
}

}  // namespace

std::string_view LoginObstacle(const Settings& settings, bool tls) {
    if (settings.sasl_account.Empty()) return {};
    if (settings.sasl_mechanism == SaslMechanism::ScramSha256) return ScramPasswordRefused(settings.sasl_password.View());
    // EXTERNAL proves who we are by the certificate the TLS link presented.
    if (settings.sasl_mechanism != SaslMechanism::External) return {};
    if (!settings.client_cert) return "EXTERNAL needs a client certificate (irc.SetClientCert)";
    if (!tls) return "EXTERNAL needs a TLS link, which presents the certificate";
    return {};
}

void PrepareLogin(Connection& link, const Settings& settings) {
    ResetLogin(link.session().login, settings.sasl_mechanism, settings.sasl_account, settings.sasl_password,
               settings.client_cert ? settings.client_cert->Fingerprint() : std::string());
}

void RestartLogin(LoginState& login) {
    if (login.Pending())
        ResetLogin(login, login.mechanism, std::move(login.account), std::move(login.password),
                   std::move(login.certificate));
}

void NoteSaslOffer(Connection& link, std::optional<std::string_view> mechanisms) {
    LoginState& login = link.session().login;
    login.offered = true;
    if (!mechanisms) {
        login.takes_ours = true;
        return;
    }
    login.mechanisms = *mechanisms;
    login.takes_ours = Lists(login.mechanisms, login.mechanism);
}

bool LoginFitsOffer(Connection& link) {
    const LoginState& login = link.session().login;
    if (!login.offered) {
        FailLogin(link, "the server does not offer SASL");
        return false;
    }
    if (!login.takes_ours) {
        std::string why = "the server does not offer SASL ";
        why.append(MechanismName(login.mechanism)).append(" (only ").append(ServerText(login.mechanisms)).append(")");
        FailLogin(link, why);
        return false;
    }
    return true;
}

void StartAuthenticate(Connection& link) {
    LoginState& login = link.session().login;
    std::string ask = "AUTHENTICATE ";
    ask += MechanismName(login.mechanism);
    SendNegotiationLine(link, kTraced, ask);
    login.step = Step::Mechanism;
}

void LoginOnLine(Connection& link, const Reply& r) {
    if (r.Command() == "AUTHENTICATE") {
        const Step step = link.session().login.step;
        if (step == Step::ServerFirst || step == Step::ServerFinal) return OnScramPiece(link, r);
        if (step != Step::Mechanism) return FailLogin(link, kUnexpectedReply);
        if (r.Param(0) != "+") return FailLogin(link, "the server sent an unexpected AUTHENTICATE challenge");
        return SendCredentials(link);
    }
    if (r.IsNumeric()) OnNumeric(link, r);
}

void FailLogin(Connection& link, std::string_view why) {
    ResetLogin(link.session().login, {}, {}, {}, {});
    std::string reason = "SASL login failed: ";
    reason += why;
    platform::DebuggerTrace("[SASL] ", reason);
    link.Quit("SASL login failed");
    link.Abandon(std::move(reason));
}
