// IRCv3 capability negotiation, on every link: CAP LS 302 opens the
// registration, the capabilities the module uses are requested from what
// the server lists, a SASL login runs inside it, and CAP END closes it.
// The script's lines wait until it is over, since a server holding
// registration answers them with 451. Its state is the link's own
// (session/caps.h).
#ifndef QV_PROTOCOL_CAPS_H
#define QV_PROTOCOL_CAPS_H

#include <chrono>
#include <string_view>

#include "platform/secret.h"
#include "protocol/tokenize.h"
#include "session/caps.h"
#include "session/settings.h"

class Connection;

// A negotiation the server has answered, and a login, must be over within
// this from link-up: a server that stalls would hold the bot unregistered.
constexpr std::chrono::seconds kNegotiationTimeLimit{10};

// Sends the registration, `lines` (framed, CAP LS 302 first, then the
// PASS that `password` tells of, if any, NICK and USER), and holds the
// script's lines until the welcome. With an account in `settings`, the
// login is part of it. A script's password on a plain link waits, with
// NICK and USER, for the server's capability list, or its showing that it
// ignores CAP, so that STS can move the link first.
void BeginNegotiation(Connection& link, const Settings& settings, platform::Secret lines, ServerPassword password);

// Sends one line of the negotiation, a login's among them: it answers the
// server, which holds registration for it, so it never waits on the pace
// (that would eat into the time limit). Traced after `head` as `shown`, so
// that a line carrying a secret shows masked.
void SendNegotiationLine(Connection& link, std::string_view head, std::string_view line, std::string_view shown);
inline void SendNegotiationLine(Connection& link, std::string_view head, std::string_view line) {
    SendNegotiationLine(link, head, line, line);
}

// Every received line, with its tokens: CAP lines at any time, the rest
// only while the negotiation is under way.
void NegotiationOnLine(Connection& link, const Tokens& tokens);

// The script closes the link: a negotiation without a login ends now
// (CAP END), and the lines it sent go out before its QUIT; those held
// for a login stay unsent, as the login never vouched for them.
void EndNegotiationForClose(Connection& link);

// Called on every poll tick: ends a negotiation that ran out of time, and
// sends a registration that waited for a server that never spoke of CAP.
void CheckNegotiationTime(Connection& link);

#endif
