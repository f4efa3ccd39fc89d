#include "commands/registration.h"

#include <string>

#include "commands/args.h"
#include "net/connection.h"
#include "net/frame.h"
#include "platform/secret.h"
#include "protocol/caps.h"

namespace {

// The password sent when a script sets none.
constexpr std::string_view kFixedPassword = "pvrkqo618";

}  // namespace

void SendRegistration(Connection& link, const Settings& settings, std::string_view nick, std::string_view user,
                      std::string_view realname) {
    // CAP LS must come before NICK and USER, or the server may register
    // the connection before it has listed what it offers; the rest
    // follows at once (but for a password of the script's over plain TCP,
    // BeginNegotiation), so a server that knows no CAP costs no round trip.
    platform::Secret lines;
    lines.Append("CAP LS 302\r\n");

    // The password goes as given: no text rule may change a byte of it.
    // It is never shown anywhere: not traced, not echoed, not printed.
    const ServerPassword kind = settings.no_password        ? ServerPassword::None
                                : settings.password.Empty() ? ServerPassword::Fixed
                                                            : ServerPassword::Script;
    const std::string_view password = FirstLine(kind == ServerPassword::Fixed ? kFixedPassword : settings.password.View());
    if (kind != ServerPassword::None) {
        lines.Append("PASS ");
        // A password with a space (or a leading colon) would reach the
        // server cut at the space, or without its colon, unless sent as the
        // trailing parameter.
        if (password.find(' ') != std::string_view::npos || password.starts_with(':')) lines.Append(":");
        lines.Append(password);
        lines.Append("\r\n");
    }

    std::string line = "NICK ";
    line += FirstLine(nick);
    std::string wire;
    FrameLine(wire, line, settings.utf8);
    const std::string_view u = FirstLine(user);
    line.assign("USER ").append(u).append(" ").append(u).append(" ").append(u).append(" :").append(FirstLine(realname));
    FrameLine(wire, line, settings.utf8);
    lines.Append(wire);

    BeginNegotiation(link, settings, std::move(lines), kind);
}
