#include "protocol/tokenize.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t npos = std::string_view::npos;

// How many bytes of `s` are `c`, eight at a time: in the trailing text
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

// Any separator but a single space: tokens only.
Tokens SplitBy(std::string_view str, std::string_view Div) {
    Tokens t;
    for (std::size_t at; t.count < Tokens::kKept - 1 && (at = str.find(Div)) != npos; str.remove_prefix(at + Div.size()))
        t.first[t.count++] = str.substr(0, at);
    t.first[t.count++] = str.substr(0, str.find(Div));
    for (std::size_t at; (at = str.find(Div)) != npos; str.remove_prefix(at + Div.size())) ++t.count;
    return t;
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
    if (Div != " ") return SplitBy(str, Div);
    Message& m = t.message;
    const bool prefixed = str.starts_with(':');
    // One token at a time up to the trailing text (or the end): each is a
    // kept token while there are places, and the prefix, the command or a
    // parameter of the message.
    std::size_t pos = 0;
    for (;;) {
        const std::size_t end = str.find(' ', pos);
        const std::string_view token = str.substr(pos, end == npos ? npos : end - pos);
        const std::size_t index = t.count++;
        if (index < Tokens::kKept) t.first[index] = token;
        if (index == 0 && prefixed) {
            m.prefix = token.substr(1);
        } else if (index > 0 && token.starts_with(':')) {
            m.trailing = str.substr(pos + 1);
            if (m.size < Message::kMaxParams) {
                m.params[m.size++] = m.trailing;
                m.colon = true;
            }
            // Its words are tokens still: the places left, then a count.
            if (end == npos) return t;
            std::string_view rest = str.substr(end + 1);
            while (t.count < Tokens::kKept) {
                const std::size_t at = rest.find(' ');
                t.first[t.count++] = rest.substr(0, at);
                if (at == npos) return t;
                rest.remove_prefix(at + 1);
            }
            t.count += 1 + CountByte(rest, ' ');
            return t;
        } else if (!token.empty()) {
            if (m.command.empty()) {
                m.command = token;
            } else if (m.size < Message::kMaxParams) {
                m.params[m.size++] = token;
            }
        }
        if (end == npos) {
            // No " :": the last token is the text, unless it is the prefix.
            m.trailing = index == 0 && prefixed ? str.substr(str.size()) : token;
            return t;
        }
        pos = end + 1;
    }
}

std::string_view GetPRIVMSG(std::string_view str, int part) {
    const Message m = MySplit(str, " ").message;
    return part == kNick ? m.Nick() : m.trailing;
}
