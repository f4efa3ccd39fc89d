// Logging in to an account during registration: SASL PLAIN over IRCv3
// capability negotiation. A bot that asked to be logged in must never run
// unidentified without knowing, so every way the exchange can go wrong ends
// the link and tells the scripts why.
#ifndef QV_PROTOCOL_SASL_H
#define QV_PROTOCOL_SASL_H

#include <chrono>
#include <string>
#include <string_view>

#include "protocol/tokenize.h"

// The whole exchange, from CAP LS to the server's verdict, must end within
// this; a server that stalls it would otherwise hold the bot unregistered.
constexpr std::chrono::seconds kSaslTimeLimit{10};

// The account the next Connect logs in to; an empty account turns it off.
void SetSaslCredentials(std::string_view account, std::string_view password);
bool SaslConfigured();

// Called as registration starts: with credentials set, sends CAP LS 302
// (which must precede PASS, NICK and USER) and arms the exchange; without,
// forgets any earlier exchange and sends nothing.
void BeginSasl();

namespace sasl_detail {
extern bool pending;
}
// Whether an exchange is under way: read for every received line, so it
// costs one load.
inline bool SaslPending() { return sasl_detail::pending; }

// A received line while the exchange is under way, with its tokens.
void SaslOnLine(std::string_view line, const Tokens& tokens);

// Called on every poll tick: ends an exchange that ran out of time, and
// forgets one whose link is gone.
void CheckSaslTime();

// The base64 of `bytes` (with padding), as AUTHENTICATE carries it.
std::string Base64(std::string_view bytes);

#endif
