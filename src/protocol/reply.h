// A server line as the registration's negotiation reads it, through the
// dispatcher's tokens: its command, and the parameters after it.
#ifndef QV_PROTOCOL_REPLY_H
#define QV_PROTOCOL_REPLY_H

#include <cstddef>
#include <string_view>

#include "protocol/tokenize.h"

struct Reply {
    const Tokens& tokens;
    std::size_t at;  // the command's token: 1 after a prefix, else 0

    explicit Reply(const Tokens& t) : tokens(t), at(t[0].starts_with(':') ? 1 : 0) {}

    // Whether the line has a command and something after it.
    bool HasParams() const { return tokens.count >= at + 2; }
    std::string_view Command() const { return tokens[at]; }
    std::size_t Params() const { return tokens.count - at - 1; }
    // Parameter i (from 0), a leading ':' taken off; empty past the kept tokens.
    std::string_view Param(std::size_t i) const {
        std::string_view p = tokens[at + 1 + i];
        if (p.starts_with(':')) p.remove_prefix(1);
        return p;
    }
    bool IsNumeric() const {
        const std::string_view c = Command();
        return c.size() == 3 && c[0] >= '0' && c[0] <= '9';
    }
};

#endif
