#include "protocol/own_prefix.h"

#include "net/ascii.h"

namespace {

// Takes user and host from "nick!user@host" (no leading ':') when it is
// ours; gives whether it was.
bool FromFullPrefix(OwnPrefix& self, std::string_view full) {
    const std::size_t bang = full.find('!');
    const std::size_t at = full.find('@', bang == std::string_view::npos ? 0 : bang);
    if (bang == std::string_view::npos || at == std::string_view::npos) return false;
    if (!ascii::SameFolded(full.substr(0, bang), self.nick)) return false;
    self.user.assign(full.substr(bang + 1, at - bang - 1));
    self.host.assign(full.substr(at + 1));
    return true;
}

// The token after `token` in `line`.
std::string_view TokenAfter(std::string_view line, std::string_view token) {
    std::string_view rest = line.substr(static_cast<std::size_t>(token.data() + token.size() - line.data()));
    if (rest.empty()) return {};
    rest.remove_prefix(1);
    return rest.substr(0, rest.find(' '));
}

}  // namespace

void LearnOwnPrefix(OwnPrefix& self, const Tokens& tokens, std::string_view line) {
    const std::string_view command = tokens[1];
    if (tokens.count < 3 || command.size() < 3 || command.size() > 4) return;
    const std::string_view param = tokens[2];
    if (command == "001") {
        // A new registration: all we knew may be of another link.
        self = {};
        self.nick.assign(param);
        // Most servers end the welcome with the prefix they will use.
        std::string_view last = line.substr(line.rfind(' ') + 1);
        if (last.starts_with(':')) last.remove_prefix(1);
        FromFullPrefix(self, last);
    } else if (command == "396") {
        // "396 nick host :is now your displayed host"; some servers send
        // user@host.
        const std::string_view shown = TokenAfter(line, param);
        const std::size_t at = shown.find('@');
        if (at != std::string_view::npos) self.user.assign(shown.substr(0, at));
        if (!shown.empty()) self.host.assign(shown.substr(at == std::string_view::npos ? 0 : at + 1));
    } else if (command == "JOIN" || command == "NICK") {
        const std::string_view prefix = tokens[0];
        if (self.nick.empty() || !prefix.starts_with(':') || !FromFullPrefix(self, prefix.substr(1))) return;
        if (command == "NICK") self.nick.assign(param.starts_with(':') ? param.substr(1) : param);
    }
}
