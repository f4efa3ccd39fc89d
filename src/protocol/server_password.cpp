#include "protocol/server_password.h"

#include <string>
#include <utility>

#include "module/console.h"
#include "net/connection.h"
#include "protocol/sasl.h"

bool RetryWithoutFixedPassword(Connection& link, const Reply& r) {
    CapState& caps = link.session().caps;
    if (caps.password != ServerPassword::Fixed || caps.welcomed || caps.registration.Empty()) return false;
    if (r.Command() != "464" && r.Command() != "ERROR") return false;
    // An ERROR after a QUIT of ours closes the link we ended.
    if (link.Outgoing().QuitQueued()) return false;
    // CAP LS 302, then PASS: the one line to leave out.
    const std::string_view all = caps.registration.View();
    const std::size_t pass = all.find('\n') + 1;
    const std::size_t rest = all.find('\n', pass) + 1;
    Session next;
    next.login = std::move(link.session().login);
    RestartLogin(next.login);
    next.caps.step = CapState::Step::Listing;
    next.caps.registration.Append(all.substr(0, pass));
    next.caps.registration.Append(all.substr(rest));
    ConsoleLine("the server refused the fixed password: connecting to " + link.Host() + " again without PASS");
    const platform::Security security = link.LinkSecurity();
    link.Reopen(link.Port(), security, std::move(next));
    return true;
}
