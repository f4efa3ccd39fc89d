// The module's whole knowledge of IRC line syntax: cutting a line into
// tokens, and taking out the sender's nick and the trailing text.
#ifndef QV_PROTOCOL_TOKENIZE_H
#define QV_PROTOCOL_TOKENIZE_H

#include <array>
#include <cstddef>
#include <string_view>

// A line as a message: who sent it, the command, and its parameters, the
// trailing one (after " :") last and whole, without its colon. Runs of
// spaces separate as one.
struct Message {
    // Past this many, parameters are dropped: no server sends more (a MODE
    // of inspircd's 20 changes has 22).
    static constexpr std::size_t kMaxParams = 32;

    std::string_view prefix;  // without its ':'; empty when the line has none
    std::string_view command;
    std::size_t size = 0;  // parameters kept
    bool colon = false;    // the last came after " :"
    std::array<std::string_view, kMaxParams> params;
    // The text scripts get as the message's text: after the first " :"
    // past the prefix, else the last space-separated token (empty when the
    // line is a prefix alone).
    std::string_view trailing;

    // Parameter i, or empty text past the last.
    std::string_view operator[](std::size_t i) const { return i < size ? params[i] : std::string_view{}; }
    // The sender's nick: the prefix up to its '!' (a server's prefix is
    // its name); empty without a prefix.
    std::string_view Nick() const { return prefix.substr(0, prefix.find('!')); }
};

// A line's tokens: all are counted, the first kKept are kept as views into
// the line (what the dispatcher reads: prefix, command, first parameter).
// Cut at spaces, the line is also read as a message, in the same pass.
struct Tokens {
    static constexpr std::size_t kKept = 3;
    std::size_t count = 0;
    std::array<std::string_view, kKept> first{};
    Message message;

    // Token i, or empty text past the kept ones.
    std::string_view operator[](std::size_t i) const { return i < kKept ? first[i] : std::string_view{}; }
};

// Tokens separated by `Div`; the count is always separators + 1, and two
// separators in a row give an empty token. Only a single space as `Div`
// reads the message.
Tokens MySplit(std::string_view str, std::string_view Div);

enum : int { kNick = 0, kTrailing = 1 };

// Selector 0: the sender's nick. Any other selector: the trailing text.
// Code that has the line's tokens reads both off its message.
std::string_view GetPRIVMSG(std::string_view str, int part);

#endif
