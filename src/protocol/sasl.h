// Logging in to an account during registration: SASL over IRCv3
// capability negotiation. A bot that asked to be logged in must never run
// unidentified without knowing, so every way the exchange can go wrong
// ends the link and tells the scripts why. Its state is the link's own
// (session/login.h).
#ifndef QV_PROTOCOL_SASL_H
#define QV_PROTOCOL_SASL_H

#include <chrono>
#include <string_view>

#include "platform/secret.h"
#include "protocol/tokenize.h"
#include "session/settings.h"

class Connection;

// The whole exchange, from CAP LS to the server's verdict, must end within
// this; a server that stalls it would otherwise hold the bot unregistered.
constexpr std::chrono::seconds kSaslTimeLimit{10};

// Why the login `settings` ask for cannot even start on a link that is
// `tls` or not, so that nothing need be sent to learn it; empty when it can.
std::string_view LoginObstacle(const Settings& settings, bool tls);

// Called as registration starts, before PASS, NICK and USER: with an
// account in `settings`, copies the credentials into the link's session,
// sends CAP LS 302 and holds the script's lines until CAP END. Without
// one, sends nothing.
void BeginLogin(Connection& link, const Settings& settings);

// A received line while the link's login is under way, with its tokens.
void LoginOnLine(Connection& link, const Tokens& tokens, std::string_view line);

// Called on every poll tick: ends a login that ran out of time.
void CheckLoginTime(Connection& link);

// Appends the base64 of `bytes` (with padding), as AUTHENTICATE carries it.
void AppendBase64(platform::Secret& out, std::string_view bytes);

#endif
