// Learning our own prefix (session/session.h: OwnPrefix) from what the
// server tells us about ourselves.
#ifndef QV_PROTOCOL_OWN_PREFIX_H
#define QV_PROTOCOL_OWN_PREFIX_H

#include <string_view>

#include "protocol/tokenize.h"
#include "session/session.h"

// Learns from one received line: the nick from 001 (and the whole prefix
// when its text ends in it), user and host from the echo of our own JOIN
// or NICK, the host a 396 announces, a new nick from our own NICK. Every
// other line costs a look at its command's length.
void LearnOwnPrefix(OwnPrefix& self, const Tokens& tokens, std::string_view line);

#endif
