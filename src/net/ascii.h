// Letters compared without case, the ASCII way: IRC names, host names and
// mechanism names fold only A-Z, whatever the bytes around them are.
#ifndef QV_NET_ASCII_H
#define QV_NET_ASCII_H

#include <algorithm>
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

}  // namespace ascii

#endif
