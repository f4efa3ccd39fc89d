// Logging in to an account during registration: SASL, inside the
// capability negotiation (protocol/caps.h). A bot that asked to be logged
// in must never run unidentified without knowing, so every way the
// exchange can go wrong ends the link and tells the scripts why. Its state
// is the link's own (session/login.h).
#ifndef QV_PROTOCOL_SASL_H
#define QV_PROTOCOL_SASL_H

#include <optional>
#include <string_view>

#include "platform/secret.h"
#include "protocol/reply.h"
#include "session/login.h"
#include "session/settings.h"

class Connection;

// Why the login `settings` ask for cannot even start on a link that is
// `tls` or not, so that nothing need be sent to learn it; empty when it can.
std::string_view LoginObstacle(const Settings& settings, bool tls);

// With an account in `settings`, copies the credentials into the link's
// session: the login waits for the capability list. Without one, none.
void PrepareLogin(Connection& link, const Settings& settings);

// The login in `login`, if under way, starts over on another link: it
// waits for that link's capability list, with the credentials it holds.
void RestartLogin(LoginState& login);

// The capability list names sasl, with its mechanisms when it gives them
// ("sasl=PLAIN,EXTERNAL").
void NoteSaslOffer(Connection& link, std::optional<std::string_view> mechanisms);

// At the end of the list: false, with the link ended, when the server
// cannot log us in as asked.
bool LoginFitsOffer(Connection& link);

// The server acknowledged sasl: the exchange proper starts.
void StartAuthenticate(Connection& link);

// A line other than CAP while the login is under way.
void LoginOnLine(Connection& link, const Reply& r);

// Ends the link: once, with QUIT, and "SASL login failed: <why>" for the
// scripts.
void FailLogin(Connection& link, std::string_view why);

// What ends the link for a reply of the exchange out of its order.
inline constexpr std::string_view kUnexpectedReply = "unexpected reply from the server";

#endif
