// The lines that open a session with the server, and the password they
// carry. Built in one place so that whoever opens the link decides only
// when they go out.
#ifndef QV_COMMANDS_REGISTRATION_H
#define QV_COMMANDS_REGISTRATION_H

#include <string_view>

// The PASS text of the next registration; empty text returns to the fixed
// one every earlier release sent.
void SetServerPassword(std::string_view text);

// CAP LS first when a SASL login is wanted (see protocol/sasl.h), then
// PASS, NICK and USER. Each name is cut at its first line break.
void SendRegistration(std::string_view nick, std::string_view user, std::string_view realname);

#endif
