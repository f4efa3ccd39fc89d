// A server line as the registration's negotiation reads it, through the
// dispatcher's tokens: its command, and the parameters after it.
#ifndef QV_PROTOCOL_REPLY_H
#define QV_PROTOCOL_REPLY_H

#include <cstddef>
#include <string_view>

#include "protocol/tokenize.h"

struct Reply {
    const Message& message;

    explicit Reply(const Tokens& t) : message(t.message) {}

    // Whether the line has a command and something after it.
    bool HasParams() const { return message.size > 0; }
    std::string_view Command() const { return message.command; }
    std::size_t Params() const { return message.size; }
    // Parameter i (from 0); empty past the last.
    std::string_view Param(std::size_t i) const { return message[i]; }
    // The line's text: a CAP line's list, a server's words.
    std::string_view Trailing() const { return message.trailing; }
    bool IsNumeric() const {
        const std::string_view c = Command();
        return c.size() == 3 && c[0] >= '0' && c[0] <= '9';
    }
};

#endif
