// What the server puts in front of the lines it relays from us,
// ":nick!user@host ", learnt from what it tells us about ourselves.
#ifndef QV_PROTOCOL_OWN_PREFIX_H
#define QV_PROTOCOL_OWN_PREFIX_H

#include <cstddef>
#include <string>
#include <string_view>

#include "protocol/tokenize.h"

struct OwnPrefix {
    // Until the server has told us, the longest each part may well be: a
    // 30-character nick, a 10-character user name with the '~' servers add
    // when ident fails, a 63-character host name.
    static constexpr std::size_t kWorstNick = 30, kWorstUser = 11, kWorstHost = 63;

    // Empty while unknown.
    std::string nick, user, host;

    // The length of ":nick!user@host ", the worst case for a part unknown.
    std::size_t Length() const;
};

// Learns from one received line: the nick from 001 (and the whole prefix
// when its text ends in it), user and host from the echo of our own JOIN
// or NICK, the host a 396 announces, a new nick from our own NICK. Every
// other line costs a look at its command's length.
void LearnOwnPrefix(OwnPrefix& self, const Tokens& tokens, std::string_view line);

#endif
