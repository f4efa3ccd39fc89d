// Letters compared without case, the ASCII way: IRC names, host names and
// mechanism names fold only A-Z, whatever the bytes around them are. And
// numbers a server writes in decimal.
#ifndef QV_NET_ASCII_H
#define QV_NET_ASCII_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

namespace ascii {

constexpr char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string Lowered(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = Lower(c);
    return out;
}

inline bool SameFolded(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) { return Lower(x) == Lower(y); });
}

// A number in decimal digits only (no sign, no space, at least one digit)
// into `n`, held at `cap`: a larger one, however long, reads as `cap`,
// which tells that it is over what the caller takes.
inline bool Decimal(std::string_view text, std::uint64_t cap, std::uint64_t& n) {
    n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        n = n > (cap - digit) / 10 ? cap : n * 10 + digit;
    }
    return !text.empty();
}

}  // namespace ascii

#endif
