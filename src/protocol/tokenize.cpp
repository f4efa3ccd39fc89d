#include "protocol/tokenize.h"

namespace {

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
    for (std::size_t at; (at = find(str)) != std::string_view::npos; str.remove_prefix(at + Div.size())) {
        if (t.count < Tokens::kKept) t.first[t.count] = str.substr(0, at);
        ++t.count;
    }
    if (t.count < Tokens::kKept) t.first[t.count] = str;
    ++t.count;
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
