#include "commands/registration.h"

#include <string>

#include "commands/args.h"
#include "module/globals.h"
#include "net/connection.h"
#include "platform/secret.h"
#include "protocol/sasl.h"

namespace {

// What scripts that never set a password have always sent.
constexpr std::string_view kFixedPassword = "pvrkqo618";

}  // namespace

void SendRegistration(Connection& link, const Settings& settings, std::string_view nick, std::string_view user,
                      std::string_view realname) {
    // Capability negotiation must start before NICK and USER, or the
    // server may register the connection before the login.
    BeginLogin(link, settings);

    // The password goes as given: no text rule may change a byte of it.
    // It is never shown anywhere: not traced, not echoed, not printed.
    const std::string_view password = settings.password.Empty() ? kFixedPassword : settings.password.View();
    platform::Secret pass;
    pass.Reserve(password.size() + 6);
    pass.Append("PASS ");
    // A password with a space (or a leading colon) would reach the server
    // cut at the space, or without its colon, unless sent as the trailing
    // parameter.
    if (password.find(' ') != std::string_view::npos || password.starts_with(':')) pass.Append(":");
    pass.Append(password);
    link.SendVerbatim(pass.View(), LineKind::Script);

    std::string line = "NICK ";
    line += FirstLine(nick);
    Globals::SendIRCString(line);

    const std::string_view u = FirstLine(user);
    line.assign("USER ").append(u).append(" ").append(u).append(" ").append(u).append(" :").append(FirstLine(realname));
    Globals::SendIRCString(line);

    if (link.session.login.Pending()) link.HoldScriptLines();
}
