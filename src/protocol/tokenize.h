// The module's whole knowledge of IRC line syntax: cutting a line into
// tokens, and taking out the sender's nick and the trailing text.
#ifndef QV_PROTOCOL_TOKENIZE_H
#define QV_PROTOCOL_TOKENIZE_H

#include <array>
#include <cstddef>
#include <string_view>

// A line's tokens: all are counted, the first kKept are kept as views into
// the line (what the dispatcher reads: prefix, command, first parameter;
// the login reads up to four parameters of a CAP line).
struct Tokens {
    static constexpr std::size_t kKept = 5;
    std::size_t count = 0;
    std::array<std::string_view, kKept> first{};

    // Token i, or empty text past the kept ones.
    std::string_view operator[](std::size_t i) const { return i < kKept ? first[i] : std::string_view{}; }
};

// Tokens separated by `Div`; the count is always separators + 1, and two
// separators in a row give an empty token.
Tokens MySplit(std::string_view str, std::string_view Div);

enum : int { kNick = 0, kTrailing = 1 };

// Selector 0: the sender's nick. Any other selector: the trailing text.
std::string_view GetPRIVMSG(std::string_view str, int part);
// The same, read off the line's tokens (MySplit(str, " ")) where they tell
// it: the line is not searched again.
std::string_view GetPRIVMSG(std::string_view str, const Tokens& tokens, int part);

#endif
