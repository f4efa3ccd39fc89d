// The script functions that each send protocol lines.
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/args.h"
#include "commands/commands.h"
#include "commands/results.h"
#include "module/globals.h"
#include "net/connection.h"
#include "net/frame.h"
#include "net/utf8.h"
#include "platform/secret.h"

namespace {

// Sends `command` followed by the script's first argument, kept to one
// line. The line may carry a password (NickServ IDENTIFY): it is cleared.
int SendWithArg(std::string_view command) {
    if (gLua == nullptr) return 0;
    const std::string_view arg = FirstLine(TextArgView(*gLua, 1));
    platform::Secret line;
    line.Reserve(command.size() + arg.size());
    line.Append(command);
    line.Append(arg);
    return SendOutcome(*gLua, Globals::SendIRCString(line.View()));
}

// The most text one PRIVMSG carries, however much room there is.
constexpr std::size_t kMaxMessageText = 400;
// The least, however long target and prefix: a piece must carry something.
constexpr std::size_t kMinMessageText = 100;
// Servers cut what they relay at 510 bytes before its CR LF.
constexpr std::size_t kMaxRelayed = 510;
// "PRIVMSG " + target + " :" + text + CR LF, as we send it.
constexpr std::size_t kMessageFraming = 12;

// How much text one PRIVMSG to `target` may carry so that the line the
// server relays, ":nick!user@host PRIVMSG target :text", arrives whole.
std::size_t TextLimit(std::size_t target_size) {
    const Connection* link = Globals::client.get();
    const std::size_t own = Room::OwnPrefixLength(link != nullptr ? link->session().room.Me() : nullptr);
    const std::size_t taken = own + 10 + target_size;  // "PRIVMSG " and " :"
    const std::size_t room = taken < kMaxRelayed ? kMaxRelayed - taken : 0;
    return std::clamp(room, kMinMessageText, kMaxMessageText);
}

// The next piece of `text` that fits `limit`, cut at its last space within
// the limit where there is one; the space itself is not sent. Without one,
// the cut never splits a UTF-8 character when text is UTF-8.
std::string_view NextPiece(std::string_view& text, std::size_t limit) {
    if (text.size() <= limit) return std::exchange(text, {});
    std::size_t cut = text.rfind(' ', limit);
    std::size_t skip = 1;
    // A space at the very front would leave an empty piece.
    if (cut == std::string_view::npos || cut == 0) {
        cut = Globals::settings.utf8 ? utf8::CutAt(text, limit) : limit;
        skip = 0;
    }
    std::string_view piece = text.substr(0, cut);
    text.remove_prefix(cut + skip);
    return piece;
}

// Whether the queue lets in every piece of a message: as it would each
// line sent on its own, one after another. Asked once, up front, so a
// message is sent or refused whole, never cut short by the limit.
bool QueueTakesAll(const std::vector<std::string_view>& pieces, std::size_t framing) {
    const Connection* link = Globals::client.get();
    if (link == nullptr || !link->IsConnected() || pieces.empty()) return true;
    std::size_t waiting = link->Outgoing().PacedBytes();
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i) waiting += framing + pieces[i].size();
    return waiting <= SendQueue::kPacedLimit;
}

}  // namespace

int QV_CDECL SendRaw(lua_State*) {
    // Raw on purpose: the script owns the protocol here, line breaks included.
    if (gLua == nullptr) return 0;
    return SendOutcome(*gLua, Globals::SendIRCString(TextArgView(*gLua, 1)));
}

int QV_CDECL SendMessage(lua_State*) {
    if (gLua == nullptr) return 0;
    const std::string target_arg = TextArg(*gLua, 1);
    // Read last, so no later read can reuse the host's buffer under it; not
    // copied, as a message to NickServ may carry a password.
    const std::string_view message = TextArgView(*gLua, 2);
    const std::string_view target = FirstLine(target_arg);
    const std::size_t limit = TextLimit(target.size());
    // Each line of the text is a message of its own (a line break never
    // reaches the server inside one), and a long one goes in pieces.
    std::vector<std::string_view> pieces;
    std::string_view rest = message;
    while (!rest.empty()) {
        std::string_view line = FirstLine(rest);
        rest.remove_prefix(std::min(line.size() + 1, rest.size()));
        while (!line.empty()) pieces.push_back(NextPiece(line, limit));
    }
    if (!QueueTakesAll(pieces, kMessageFraming + target.size())) return SendOutcome(*gLua, SendResult::Refused);
    // The first piece is let in as a script's line; the rest follow it.
    LineKind kind = LineKind::Script;
    platform::Secret out;
    for (std::string_view piece : pieces) {
        out.Assign("PRIVMSG ");
        out.Append(target);
        out.Append(" :");
        out.Append(piece);
        const SendResult r = Globals::SendIRCString(out.View(), kind);
        if (r != SendResult::Queued) return SendOutcome(*gLua, r);
        kind = LineKind::Continuation;
    }
    return 0;
}

int QV_CDECL Join(lua_State*) { return SendWithArg("JOIN "); }

int QV_CDECL Part(lua_State*) { return SendWithArg("PART "); }

int QV_CDECL NickServ(lua_State*) { return SendWithArg("NICKSERV "); }
