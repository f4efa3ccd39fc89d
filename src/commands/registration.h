// The lines that open a session with the server. Built in one place so
// that whoever opens the link decides only when they go out.
#ifndef QV_COMMANDS_REGISTRATION_H
#define QV_COMMANDS_REGISTRATION_H

#include <string_view>

#include "session/settings.h"

class Connection;

// CAP LS 302, PASS (unless `settings` turn it off), NICK and USER; the
// script's lines wait behind them until the welcome (protocol/caps.h).
// Each name is cut at its first line break.
void SendRegistration(Connection& link, const Settings& settings, std::string_view nick, std::string_view user,
                      std::string_view realname);

#endif
