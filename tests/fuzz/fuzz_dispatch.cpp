// One server line into the dispatcher. The first byte picks the setting
// (bit 0: debug echo off, bit 1: module shut, bit 2: a NUL follows the
// line, as the line reader leaves one; bit 3: account-tag enabled, bit 4:
// server-time enabled); the rest is the line, in a heap
// buffer of exactly its size (and the NUL) so that a read past it is
// caught.
//
// Whatever the line: while open, IRC_RawData comes first with the line
// without its tags and their text (each cut at a NUL, as the host takes
// text); while shut, no event and no output; and the module writes nothing
// but a PONG to a line starting "PING" and a NOTICE to an exact CTCP
// VERSION or TIME query, neither holding a CR, LF or NUL.
//
// A line with tags raises the same events, with the same first arguments,
// and gets the same replies as the line without them; what the tags add is
// their text to IRC_RawData and the account and time, unescaped, to the
// chat events, as an independent reading of them gives, each only while
// its capability is enabled (nil otherwise).
//
// With bit 7 of the first byte set, the rest is lines separated by LF,
// heard in order by one room that starts new, with multi-prefix,
// userhost-in-names and account-tag on as bits 4 to 6 say. After every
// line no channel holds a nick twice under the link's casemapping, every
// member is the one person the room knows by that nick and counts the
// channels it is in; after a 366 that ends a round of 353s of one of our
// channels with no other line between, its members are exactly the names
// the round gave, and ourselves.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "linked_module.h"
#include "module/globals.h"
#include "net/connection.h"
#include "protocol/dispatch.h"
#include "protocol/tokenize.h"

namespace {

std::string_view UpToLineBreak(std::string_view s) { return s.substr(0, s.find_first_of(std::string_view("\r\n\0", 3))); }

// A sender prefix ":nick!..." or ":nick" the reply may address: the nick
// as it stands in the line.
bool IsSenderNick(std::string_view line, std::string_view nick) {
    if (!line.starts_with(':') || line.size() < nick.size() + 1) return false;
    const std::string seven = SevenBit(line.substr(1, nick.size()));
    if (seven != nick) return false;
    const std::string_view after = line.substr(1 + nick.size());
    return after.starts_with('!') || after.starts_with(' ');
}

// Whether `line` is a plain query a client must answer: ":nick[!user@host]
// PRIVMSG target :\x01VERSION\x01" with no odd bytes in the nick.
std::string_view PlainQuery(std::string_view line) {
    if (!line.starts_with(':')) return {};
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) return {};
    const std::string_view prefix = line.substr(1, space - 1);
    const std::string_view nick = prefix.substr(0, prefix.find('!'));
    if (nick.empty() || UpToLineBreak(nick).size() != nick.size()) return {};
    std::string_view rest = line.substr(space);
    if (!rest.starts_with(" PRIVMSG ")) return {};
    rest.remove_prefix(9);
    const std::size_t target_end = rest.find(' ');
    if (target_end == 0 || target_end == std::string_view::npos || rest.starts_with(':')) return {};
    rest.remove_prefix(target_end);
    if (rest == " :\x01VERSION\x01" || rest == " :\x01TIME\x01") return nick;
    return {};
}

// The nick and the trailing text found by searching the line, apart from
// the tokenizer: the prefix is the first word of a line that starts with
// ':'; the text follows the first " :" after it, else the last space.
std::string_view SearchedPrefix(std::string_view line) {
    return line.starts_with(':') ? line.substr(0, line.find(' ')) : std::string_view{};
}

std::string_view SearchedNick(std::string_view line) {
    const std::string_view prefix = SearchedPrefix(line);
    return prefix.empty() ? prefix : prefix.substr(1, prefix.find('!') - 1);
}

std::string_view SearchedTrailing(std::string_view line) {
    const std::string_view rest = line.substr(SearchedPrefix(line).size());
    if (const std::size_t at = rest.find(" :"); at != std::string_view::npos) return rest.substr(at + 2);
    const std::size_t space = rest.rfind(' ');
    return space == std::string_view::npos ? rest : rest.substr(space + 1);
}

void CheckWire(std::string_view line, std::string_view wire) {
    bool pong = false, notice = false;
    for (std::string_view out : WireLines(wire)) {
        if (out.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
            Fail("a reply holds a CR, LF or NUL", out);
        if (out.starts_with("PONG ")) {
            if (!line.starts_with("PING") || pong || notice) Fail("a PONG not asked for, or out of order", out);
            const std::string want = "PONG " + SevenBit(line.size() > 5 ? UpToLineBreak(line.substr(5)) : "");
            if (out != want) Fail("the PONG does not echo the PING's text", out);
            pong = true;
            continue;
        }
        if (!out.starts_with("NOTICE ") || notice) Fail("a line the module may not send", out);
        notice = true;
        std::string_view rest = out.substr(7);
        const std::size_t nick_end = rest.find(" :\x01");
        if (nick_end == std::string_view::npos) Fail("a NOTICE that is no CTCP reply", out);
        const std::string_view nick = rest.substr(0, nick_end), text = rest.substr(nick_end + 2);
        if (nick.empty() || !IsSenderNick(line, nick)) Fail("a CTCP reply to someone who did not ask", out);
        const bool version = line.ends_with("\x01VERSION\x01") && text.starts_with("\x01VERSION ");
        const bool time = line.ends_with("\x01TIME\x01") && text.starts_with("\x01TIME ");
        if (!(version || time) || !text.ends_with('\x01')) Fail("a CTCP reply to no exact query", out);
    }
    const std::string_view asker = PlainQuery(line);
    if (!asker.empty() && !notice) Fail("a plain CTCP query got no reply", line);
    if (line.starts_with("PING") && !pong) Fail("a PING got no PONG", line);
}

const std::set<std::string> kEvents = {
    "IRC_RawData",   "IRC_OnChat",   "IRC_OnNotice", "IRC_OnNickServ", "IRC_EndOfMOTD", "IRC_ErroneusNick",
    "IRC_NickInUse", "IRC_OnJoin",   "IRC_OnPart",   "IRC_OnKick",     "IRC_OnQuit",    "IRC_OnNick",
    "IRC_OnMode",    "IRC_OnTopic",  "IRC_OnInvite", "IRC_OnAccount",  "IRC_OnRegistered"};

using Text = std::optional<std::string>;

std::string UpToNul(std::string_view s) { return std::string(s.substr(0, s.find('\0'))); }
Text UpToNul(const std::optional<std::string_view>& s) { return s ? Text(UpToNul(*s)) : std::nullopt; }

// A line's tags, read apart from the module: the section after '@' up to
// the first space, the rest after the spaces that follow; tags split at
// ';', names at the first '=', the last of a name counting; a value
// unescaped, and an empty one as none.
struct Tagged {
    std::string_view rest;
    std::optional<std::string_view> text;
    Text account, time;
};

Text Unescaped(std::string_view raw) {
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            out += raw[i];
        } else if (i + 1 < raw.size()) {
            const char c = raw[++i];
            out += c == ':' ? ';' : c == 's' ? ' ' : c == 'r' ? '\r' : c == 'n' ? '\n' : c;
        }
    }
    return out.empty() ? std::nullopt : Text(out);
}

Tagged ReadTags(std::string_view line) {
    Tagged t{line, {}, {}, {}};
    if (!line.starts_with('@')) return t;
    std::size_t space = line.find(' ');
    if (space == std::string_view::npos) space = line.size();
    std::size_t rest = space;
    while (rest < line.size() && line[rest] == ' ') ++rest;
    t.rest = line.substr(rest);
    if (space == 1) return t;
    t.text = line.substr(1, space - 1);
    std::string_view section = *t.text;
    for (;;) {
        const std::size_t semi = section.find(';');
        const std::string_view tag = section.substr(0, semi);
        const std::size_t eq = tag.find('=');
        const std::string_view name = tag.substr(0, eq);
        const Text value = eq == std::string_view::npos ? std::nullopt : Unescaped(tag.substr(eq + 1));
        if (name == "account") t.account = value;
        if (name == "time") t.time = value;
        if (semi == std::string_view::npos) break;
        section.remove_prefix(semi + 1);
    }
    return t;
}

// Events and replies of one line.
struct Outcome {
    std::vector<HookCall> events;
    std::string console, wire;
};

Outcome Dispatch(std::string_view line, bool debug, bool open, bool nul_after, std::uint8_t enabled) {
    // A heap buffer of the line's exact size: a read past it is caught.
    // With `nul_after` a NUL follows, as the line reader leaves one.
    auto bytes = std::make_unique_for_overwrite<char[]>(line.size() + (nul_after ? 1 : 0));
    if (!line.empty()) std::memcpy(bytes.get(), line.data(), line.size());
    if (nul_after) bytes[line.size()] = '\0';
    RecordingHost host;
    gmod_open(&host);
    host.CallIrc("Debug", {debug});
    // Every line on a room of its own.
    Session& session = Globals::client->session();
    session.room = Room();
    session.caps.enabled = enabled;
    if (!open) gmod_close(host.state);
    host.ClearRecords();
    ProcessLine(std::string_view(bytes.get(), line.size()), nul_after);
    Outcome out{host.hook_calls, host.console, WrittenByModule()};
    if (open) gmod_close(host.state);
    return out;
}

void CheckEvents(const Outcome& run, std::string_view line, const Tagged& tags, bool open, std::uint8_t enabled) {
    if (!open) {
        if (!run.events.empty() || !run.console.empty()) Fail("the shut module reached the scripts", line);
        return;
    }
    if (run.events.empty()) Fail("no IRC_RawData", line);
    const HookCall& first = run.events.front();
    if (first.args.size() != 4 || first.args[0] != "IRC_RawData" || first.args[1].has_value() ||
        first.args[2] != UpToNul(tags.rest) || first.args[3] != UpToNul(tags.text))
        Fail("the first event is not IRC_RawData with the line and its tags", line);
    for (const HookCall& call : run.events) {
        if (call.function != "hook.Call" || call.args.empty() || !call.args[0] || !kEvents.contains(*call.args[0]))
            Fail("an event the module does not raise", line);
        if ((call.args[0] == "IRC_OnChat" || call.args[0] == "IRC_OnNotice") &&
            (call.args.size() != 7 || call.args[5] != ((enabled & kCapAccountTag) ? UpToNul(tags.account) : Text()) ||
             call.args[6] != ((enabled & kCapServerTime) ? UpToNul(tags.time) : Text())))
            Fail("a chat event's account or time is not the tags'", line);
    }
}

// The tagged line's events against those of the line without its tags:
// the same but for what the tags add.
void CheckTwin(const Outcome& tagged, const Outcome& plain, const Tagged& tags, std::uint8_t enabled, std::string_view line) {
    if (tagged.wire != plain.wire) Fail("tags changed the replies", line);
    if (tagged.events.size() != plain.events.size()) Fail("tags changed the events", line);
    for (std::size_t i = 0; i < tagged.events.size(); ++i) {
        std::vector<Text> a = tagged.events[i].args, b = plain.events[i].args;
        // What only tags can fill: IRC_RawData's fourth argument, the chat
        // events' sixth and seventh, a join's account.
        const std::size_t own = a[0] == "IRC_RawData"                            ? 3
                                : a[0] == "IRC_OnChat" || a[0] == "IRC_OnNotice" ? 5
                                : a[0] == "IRC_OnJoin"                           ? 4
                                                                                 : a.size();
        // A join's account: the tag's (while account-tag is on), or else
        // what the line itself says.
        const bool tagged_account = tags.account && (enabled & kCapAccountTag);
        if (a[0] == "IRC_OnJoin" && a.size() == 5 && b.size() == 5 && a[4] != (tagged_account ? UpToNul(tags.account) : b[4]))
            Fail("a join's account is neither its tag's nor the line's", line);
        for (std::size_t k = own; k < b.size() && a[0] != "IRC_OnJoin"; ++k)
            if (b[k].has_value()) Fail("a line without tags gave a tag's argument", line);
        a.resize(std::min(a.size(), own));
        b.resize(std::min(b.size(), own));
        if (a != b || tagged.events[i].function != plain.events[i].function) Fail("tags changed an event", line);
    }
}

// The room's own bookkeeping holds: each channel's members under distinct
// folded nicks, each the user the room finds by that nick, and each user's
// count of channels true.
void CheckRoom(Room& room, std::string_view line) {
    std::map<const User*, std::uint32_t> seen;
    for (const Channel* channel : room.Channels()) {
        std::set<std::string> nicks;
        for (const auto& [user, member] : channel->members) {
            if (!nicks.insert(room.Fold(user->nick)).second) Fail("a nick twice in a channel", line);
            if (room.FindUser(user->nick) != user) Fail("a member the room does not find by its nick", line);
            ++seen[user];
        }
        if (room.FindChannel(channel->name) != channel) Fail("a channel the room does not find by its name", line);
    }
    for (const auto& [user, count] : seen)
        if (user->channels != count) Fail("a user's count of channels is off", line);
}

// The names a 353 gives, folded, their status signs and user@host off.
void AddNames(const Room& room, std::string_view names, std::set<std::string>& into) {
    const std::string_view signs = room.Rules().PrefixSigns();
    for (std::size_t at = 0; at <= names.size();) {
        const std::size_t end = std::min(names.find(' ', at), names.size());
        std::string_view name = names.substr(at, end - at);
        at = end + 1;
        while (!name.empty() && signs.find(name.front()) != std::string_view::npos) name.remove_prefix(1);
        name = name.substr(0, name.find('!'));
        if (!name.empty()) into.insert(room.Fold(name));
    }
}

int RunRoom(std::uint8_t flags, std::string_view lines) {
    RecordingHost host;
    gmod_open(&host);
    host.CallIrc("Debug", {false});
    Session& session = Globals::client->session();
    session.room = Room();
    session.caps.enabled = static_cast<CapBits>(((flags & 0x10) ? kCapMultiPrefix : 0) |
                                                ((flags & 0x20) ? kCapUserhostInNames : 0) |
                                                ((flags & 0x40) ? kCapAccountTag : 0));
    Room& room = session.room;
    // Our channels whose names round is open: the names it gave, and
    // whether any other line came since it opened.
    struct Round {
        std::string channel;  // as the 353 named it, to be folded again
        std::set<std::string> named;
        bool other = false;
    };
    std::map<std::string, Round> rounds;
    while (!lines.empty()) {
        const std::size_t end = lines.find('\n');
        const std::string_view line = lines.substr(0, end);
        lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 1);
        const Message m = MySplit(line, " ").message;
        const bool names = m.command == "353" && m.size >= 3, end_names = m.command == "366" && m.size >= 2;
        if (names && room.FindChannel(m.params[m.size - 2]) != nullptr) {
            Round& round = rounds[room.Fold(m.params[m.size - 2])];
            round.channel = m.params[m.size - 2];
            AddNames(room, m.params[m.size - 1], round.named);
        }
        if (!names && !end_names)
            for (auto& [channel, round] : rounds) round.other = true;
        ProcessLine(line);
        // A 005 may fold names otherwise now: the rounds are keyed again
        // (two that fold together are one, and judged no more).
        if (m.command == "005") {
            std::map<std::string, Round> again;
            for (auto& [key, round] : rounds) {
                auto [it, fresh] = again.try_emplace(room.Fold(round.channel), std::move(round));
                if (!fresh) it->second.other = true;
            }
            rounds = std::move(again);
        }
        CheckRoom(room, line);
        const auto open = end_names ? rounds.find(room.Fold(m[1])) : rounds.end();
        if (open == rounds.end()) continue;
        const Round round = std::move(open->second);
        rounds.erase(open);
        if (round.other) continue;
        const Channel* channel = room.FindChannel(m[1]);
        if (channel == nullptr) Fail("our channel went at a 366", line);
        std::set<std::string> members, named = round.named;
        for (const auto& [user, member] : channel->members) members.insert(room.Fold(user->nick));
        if (room.Me() != nullptr) named.insert(room.Fold(room.Me()->nick));
        if (members != named) Fail("a channel's members after a 366 are not its 353s' names", line);
    }
    gmod_close(host.state);
    // What the room sends of its own is a WHOX of a channel we joined.
    const std::string wire = WrittenByModule();
    for (std::string_view out : WireLines(wire))
        if (!out.starts_with("WHO ") && !out.starts_with("PONG ") && !out.starts_with("NOTICE "))
            Fail("the room sent a line of its own", out);
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    LinkModule();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    if (data[0] & 0x80) return RunRoom(data[0], std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
    const bool debug = (data[0] & 1) == 0;
    const bool open = (data[0] & 2) == 0;
    const bool nul_after = (data[0] & 4) != 0;
    const std::uint8_t enabled = ((data[0] & 8) ? kCapAccountTag : 0) | ((data[0] & 16) ? kCapServerTime : 0);
    const std::string_view line(reinterpret_cast<const char*>(data + 1), size - 1);
    const Tagged tags = ReadTags(line);

    const Outcome run = Dispatch(line, debug, open, nul_after, enabled);
    CheckEvents(run, line, tags, open, enabled);
    if (open && debug && run.console.find("LINE: ") == std::string::npos) Fail("no echo with debug on", line);
    if (open && !debug && !run.console.empty()) Fail("an echo with debug off", line);
    CheckWire(tags.rest, run.wire);
    // The dispatcher reads the nick and the trailing text off the tokens;
    // a search of the line gives the same.
    const Message message = MySplit(tags.rest, " ").message;
    if (message.Nick() != SearchedNick(tags.rest) || message.trailing != SearchedTrailing(tags.rest))
        Fail("tokens and search disagree", line);

    // A rest that starts with '@' would be a tagged line of its own.
    if (line.starts_with('@') && !tags.rest.starts_with('@'))
        CheckTwin(run, Dispatch(tags.rest, debug, open, !nul_after, enabled), tags, enabled, line);
    return 0;
}
