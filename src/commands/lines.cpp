// The script functions that each send protocol lines.
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "commands/args.h"
#include "commands/commands.h"
#include "commands/results.h"
#include "module/globals.h"

namespace {

// Sends `command` followed by the script's first argument, kept to one line.
int SendWithArg(std::string_view command) {
    if (gLua == nullptr) return 0;
    std::string line(command);
    line += FirstLine(TextArg(*gLua, 1));
    return SendOutcome(*gLua, Globals::SendIRCString(line));
}

// Servers cut a line at 512 bytes, and what they relay carries the
// sender's nick!user@host in front: 400 bytes of text leave room for it.
constexpr std::size_t kMaxMessageText = 400;
// "PRIVMSG " + target + " :" + text + CR LF
constexpr std::size_t kMessageFraming = 12;

// How much text one PRIVMSG to `target` may carry: less for a long target,
// so our own line stays within 512 bytes.
std::size_t TextLimit(std::size_t target_size) {
    const std::size_t room = target_size < 512 - kMessageFraming ? 512 - kMessageFraming - target_size : 0;
    return std::clamp<std::size_t>(room, 100, kMaxMessageText);
}

// The next piece of `text` that fits `limit`, cut at its last space within
// the limit where there is one; the space itself is not sent.
std::string_view NextPiece(std::string_view& text, std::size_t limit) {
    if (text.size() <= limit) return std::exchange(text, {});
    std::size_t cut = text.rfind(' ', limit);
    std::size_t skip = 1;
    if (cut == std::string_view::npos || cut == 0) cut = limit, skip = 0;
    std::string_view piece = text.substr(0, cut);
    text.remove_prefix(cut + skip);
    return piece;
}

}  // namespace

int QV_CDECL SendRaw(lua_State*) {
    // Raw on purpose: the script owns the protocol here, line breaks included.
    if (gLua == nullptr) return 0;
    return SendOutcome(*gLua, Globals::SendIRCString(TextArg(*gLua, 1)));
}

int QV_CDECL SendMessage(lua_State*) {
    if (gLua == nullptr) return 0;
    const std::string target_arg = TextArg(*gLua, 1);
    const std::string message = TextArg(*gLua, 2);
    const std::string_view target = FirstLine(target_arg);
    const std::string prefix = "PRIVMSG " + std::string(target) + " :";
    const std::size_t limit = TextLimit(target.size());
    // Each line of the text is a message of its own (a line break never
    // reaches the server inside one), and a long one goes in pieces. The
    // first piece decides whether the call is let in; the rest follow it.
    LineKind kind = LineKind::Script;
    std::string_view rest = message;
    while (!rest.empty()) {
        std::string_view line = FirstLine(rest);
        rest.remove_prefix(std::min(line.size() + 1, rest.size()));
        while (!line.empty()) {
            const SendResult r = Globals::SendIRCString(prefix + std::string(NextPiece(line, limit)), kind);
            if (r != SendResult::Queued) return SendOutcome(*gLua, r);
            kind = LineKind::Continuation;
        }
    }
    return 0;
}

int QV_CDECL Join(lua_State*) { return SendWithArg("JOIN "); }

int QV_CDECL Part(lua_State*) { return SendWithArg("PART "); }

int QV_CDECL NickServ(lua_State*) { return SendWithArg("NICKSERV "); }
