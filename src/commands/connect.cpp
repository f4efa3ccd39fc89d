// irc.Connect and irc.Close: opening the link with registration, and ending
// it; irc.SetPingTimeout, which the next Connect takes.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "commands/args.h"
#include "commands/commands.h"
#include "commands/registration.h"
#include "module/console.h"
#include "module/globals.h"
#include "net/connection.h"
#include "net/frame.h"
#include "platform/fingerprint.h"
#include "platform/trace.h"
#include "protocol/caps.h"
#include "poll/poll.h"
#include "protocol/sasl.h"
#include "protocol/sts.h"

namespace {

// The sixth argument: absent, nil or false for plain TCP; true for TLS
// with the certificate checked; the text "insecure" for TLS without; a
// certificate's SHA-256 fingerprint for TLS with that certificate only.
// Nothing for any other text: a mistyped word or a damaged fingerprint
// must not quietly become some other kind of link.
std::optional<platform::Security> SecurityArg(ILuaInterface& lua, int pos) {
    const char* text = lua.ArgText(pos);
    if (text == nullptr) return lua.ArgFlag(pos) ? platform::Security::Tls : platform::Security::Plain;
    if (std::strcmp(text, "insecure") == 0) return platform::Security::TlsUnverified;
    if (const auto pin = platform::ParseFingerprint(text)) return platform::Security::Pinned(*pin);
    return std::nullopt;
}

constexpr std::string_view kBadSecurity =
    "the TLS argument must be true, \"insecure\" or the server certificate's SHA-256 fingerprint "
    "(64 hex digits, colons optional)";

}  // namespace

int QV_CDECL Connect(lua_State*) {
    ILuaInterface* lua = gLua;
    if (lua == nullptr) return 0;
    if (!Globals::client || Globals::client->IsConnected() || Globals::client->IsConnecting()) {
        return ReportFailure(*lua, "Globals::client is invalid!!", "Invalid Socket!");
    }
    const std::string server = TextArg(*lua, 1);
    int port = lua->ArgInt(2);
    const std::string nick = TextArg(*lua, 3);
    const std::string user = TextArg(*lua, 4);
    const std::string realname = TextArg(*lua, 5);
    const std::optional<platform::Security> asked = SecurityArg(*lua, 6);
    if (!asked) {
        platform::DebuggerTrace("[CONNECT FAILED] ", kBadSecurity);
        return ReportFailure(*lua, "Connect failed: " + std::string(kBadSecurity));
    }
    platform::Security security = *asked;

    // A closed, lost or failed link cannot be used again; a fresh one lets
    // scripts reconnect.
    if (!Globals::client->CanConnect()) RenewClient();
    const std::string host(FirstLine(server));
    // A server that required TLS of this name before gets it again.
    const int sts_port = security == platform::Security::Plain ? StsPolicyPort(host) : 0;
    if (sts_port != 0) {
        security = platform::Security::Tls;
        port = sts_port;
    }
    std::string error;
    Connection& link = *Globals::client;
    // A login that cannot work is told as any failed login, from the poll,
    // with nothing sent.
    if (const std::string_view obstacle = LoginObstacle(Globals::settings, security != platform::Security::Plain);
        !obstacle.empty()) {
        link.Refuse("SASL login failed: " + std::string(obstacle));
        StartPollTimer();
        return 0;
    }
    if (!link.Connect(host, port, security, Globals::settings.ping_timeout_s, Globals::settings.client_cert, error)) {
        // A failure must not look like success: the script gets the reason.
        platform::DebuggerTrace("[CONNECT FAILED] ", error);
        return ReportFailure(*lua, "Connect failed: " + error);
    }
    if (sts_port != 0) {
        link.RequireTls();
        ConsoleLine("the server requires TLS (STS), as it said before: connecting to " + host + " on port " +
                    std::to_string(port));
    }

    // The registration waits in the send queue until the link is up, ahead
    // of whatever scripts send meanwhile.

    SendRegistration(link, Globals::settings, nick, user, realname);
    StartPollTimer();
    return 0;
}

int QV_CDECL SetPingTimeout(lua_State*) {
    ILuaInterface* lua = gLua;
    if (lua == nullptr) return 0;
    // Negative makes no sense as a time: taken as "never", like 0.
    Globals::settings.ping_timeout_s = std::max(0, lua->ArgInt(1));
    return 0;
}

int QV_CDECL Close(lua_State*) {
    if (!Globals::client) return 0;
    StsLinkEnded(*Globals::client);
    EndNegotiationForClose(*Globals::client);
    // What waits goes out first, then the QUIT, neither held back by the
    // pace: the link ends now.
    Globals::client->EndPacing();
    Globals::client->Quit("Leaving");
    Globals::client->Close();
    return 0;
}
