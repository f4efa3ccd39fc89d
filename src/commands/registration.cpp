#include "commands/registration.h"

#include <string>

#include "commands/args.h"
#include "module/globals.h"
#include "protocol/sasl.h"

namespace {

// What scripts that never set a password have always sent.
constexpr std::string_view kFixedPassword = "pvrkqo618";

// Never shown anywhere: not traced, not echoed, not printed.
std::string password;

}  // namespace

void SetServerPassword(std::string_view text) { password.assign(FirstLine(text)); }

void SendRegistration(std::string_view nick, std::string_view user, std::string_view realname) {
    // Capability negotiation must start before NICK and USER, or the
    // server may register the connection before the login.
    BeginSasl();

    std::string line = "PASS ";
    if (password.empty()) {
        line += kFixedPassword;
    } else {
        // A password with a space (or a leading colon) would reach the
        // server cut at the space unless sent as the trailing parameter.
        if (password.find(' ') != std::string::npos || password.starts_with(':')) line += ':';
        line += password;
    }
    Globals::SendIRCString(line);

    line.assign("NICK ").append(FirstLine(nick));
    Globals::SendIRCString(line);

    const std::string_view u = FirstLine(user);
    line.assign("USER ").append(u).append(" ").append(u).append(" ").append(u).append(" :").append(FirstLine(realname));
    Globals::SendIRCString(line);
}
