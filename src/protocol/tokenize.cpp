#include "protocol/tokenize.h"

#include <cstdint>
#include <cstring>

namespace {

// How many bytes of `s` are `c`, eight at a time: past the kept tokens
// only the count matters, and a search per token would walk the bytes
// again in a call per separator.
std::size_t CountByte(std::string_view s, char c) {
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
    const std::uint64_t pattern = 0x0101010101010101ULL * static_cast<unsigned char>(c);
    std::size_t n = 0, i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        w ^= pattern;  // a zero byte where s has c
        // The high bit of each byte that is zero, with no borrow between
        // bytes; the multiply sums those bits in the top byte (a popcount
        // instruction is not in the baseline x86-64 set).
        const std::uint64_t zero = ~(((w & kLow7) + kLow7) | w | kLow7) >> 7;
        n += static_cast<std::size_t>((zero * 0x0101010101010101ULL) >> 56);
    }
    for (; i < s.size(); ++i) n += s[i] == c;
    return n;
}

// The prefix is the first token of a line that starts with ':'; without
// one there is no prefix and this is empty.
std::string_view Prefix(std::string_view line) {
    if (line.empty() || line.front() != ':') return {};
    return line.substr(0, line.find(' '));
}

}  // namespace

Tokens MySplit(std::string_view str, std::string_view Div) {
    Tokens t;
    // An empty separator would match everywhere and never advance.
    if (Div.empty()) {
        t.count = 1;
        t.first[0] = str;
        return t;
    }
    // A one-character separator (the dispatcher's space) is found with a
    // character search; a longer one by its text.
    auto find = [Div](std::string_view s) { return Div.size() == 1 ? s.find(Div[0]) : s.find(Div); };
    for (std::size_t at; t.count < Tokens::kKept - 1 && (at = find(str)) != std::string_view::npos;
         str.remove_prefix(at + Div.size()))
        t.first[t.count++] = str.substr(0, at);
    // The last kept token runs to the next separator (or the end); of the
    // tokens after it only the count matters.
    t.first[t.count++] = str.substr(0, find(str));
    if (Div.size() == 1) {
        t.count += CountByte(str, Div[0]);
    } else {
        for (std::size_t at; (at = find(str)) != std::string_view::npos; str.remove_prefix(at + Div.size())) ++t.count;
    }
    return t;
}

std::string_view GetPRIVMSG(std::string_view str, int part) {
    std::string_view prefix = Prefix(str);
    if (part == kNick) {
        // Only the prefix names the sender: a '!' in the message text does
        // not, and a prefix without one is a server's name.
        if (prefix.empty()) return {};
        prefix.remove_prefix(1);
        return prefix.substr(0, prefix.find('!'));
    }
    // Search after the prefix, whose host part may hold colons (IPv6).
    std::string_view rest = str.substr(prefix.size());
    if (auto at = rest.find(" :"); at != std::string_view::npos) return rest.substr(at + 2);
    // No colon: servers leave it off a last parameter of one word.
    auto space = rest.rfind(' ');
    return space == std::string_view::npos ? rest : rest.substr(space + 1);
}

std::string_view GetPRIVMSG(std::string_view str, const Tokens& tokens, int part) {
    // The first token is the prefix, if there is one: it holds no space.
    const bool prefixed = str.starts_with(':');
    if (part == kNick) {
        if (!prefixed) return {};
        const std::string_view prefix = tokens[0].substr(1);
        return prefix.substr(0, prefix.find('!'));
    }
    // " :" after the prefix is a token after the first that starts with ':'.
    const std::size_t kept = tokens.count < Tokens::kKept ? tokens.count : Tokens::kKept;
    for (std::size_t i = 1; i < kept; ++i)
        if (tokens.first[i].starts_with(':')) return str.substr(tokens.first[i].data() + 1 - str.data());
    if (tokens.count > Tokens::kKept) return GetPRIVMSG(str, part);
    // No colon: the last token, unless that is the prefix.
    if (prefixed && tokens.count == 1) return str.substr(str.size());
    return tokens.first[tokens.count - 1];
}
