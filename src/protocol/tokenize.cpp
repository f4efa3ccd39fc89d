#include "protocol/tokenize.h"

namespace {

// The prefix is the first token of a line that starts with ':'; without
// one there is no prefix and this is empty.
std::string_view Prefix(std::string_view line) {
    if (line.empty() || line.front() != ':') return {};
    return line.substr(0, line.find(' '));
}

}  // namespace

std::vector<std::string_view> MySplit(std::string_view str, std::string_view Div) {
    std::vector<std::string_view> tokens;
    // An empty separator would match everywhere and never advance.
    if (Div.empty()) {
        tokens.push_back(str);
        return tokens;
    }
    std::size_t count = 1;
    for (auto at = str.find(Div); at != std::string_view::npos; at = str.find(Div, at + Div.size())) ++count;
    tokens.reserve(count);
    for (auto at = str.find(Div); at != std::string_view::npos; at = str.find(Div)) {
        tokens.push_back(str.substr(0, at));
        str.remove_prefix(at + Div.size());
    }
    tokens.push_back(str);
    return tokens;
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
