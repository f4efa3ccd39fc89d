// One server line into the dispatcher. The first byte picks the setting
// (bit 0: debug echo off, bit 1: module shut); the rest is the line, in a
// heap buffer of exactly its size so that a read past it is caught.
//
// Whatever the line: while open, IRC_RawData comes first with the line
// (cut at a NUL, as the host takes text); while shut, no event and no
// output; and the module writes nothing but a PONG to a line starting
// "PING" and a NOTICE to an exact CTCP VERSION or TIME query, neither
// holding a CR, LF or NUL.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "linked_module.h"
#include "protocol/dispatch.h"

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

const std::set<std::string> kEvents = {"IRC_RawData",   "IRC_OnChat",       "IRC_OnNotice", "IRC_OnNickServ",
                                       "IRC_EndOfMOTD", "IRC_ErroneusNick", "IRC_NickInUse"};

void CheckEvents(const RecordingHost& host, std::string_view line, bool open) {
    if (!open) {
        if (!host.hook_calls.empty() || !host.console.empty()) Fail("the shut module reached the scripts", line);
        return;
    }
    if (host.hook_calls.empty()) Fail("no IRC_RawData", line);
    const HookCall& first = host.hook_calls.front();
    if (first.args.size() != 3 || first.args[0] != "IRC_RawData" || first.args[1].has_value() ||
        first.args[2] != line.substr(0, line.find('\0')))
        Fail("the first event is not IRC_RawData with the line", line);
    for (const HookCall& call : host.hook_calls)
        if (call.function != "hook.Call" || call.args.empty() || !call.args[0] || !kEvents.contains(*call.args[0]))
            Fail("an event the module does not raise", line);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    LinkModule();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool debug = (data[0] & 1) == 0;
    const bool open = (data[0] & 2) == 0;
    const std::size_t n = size - 1;
    auto bytes = std::make_unique_for_overwrite<char[]>(n);
    if (n > 0) std::memcpy(bytes.get(), data + 1, n);
    const std::string_view line(bytes.get(), n);

    RecordingHost host;
    gmod_open(&host);
    host.CallIrc("Debug", {debug});
    if (!open) gmod_close(host.state);
    host.ClearRecords();

    ProcessLine(line);
    CheckEvents(host, line, open);
    if (open && debug && host.console.find("LINE: ") == std::string::npos) Fail("no echo with debug on", line);
    if (open && !debug && !host.console.empty()) Fail("an echo with debug off", line);
    CheckWire(line, WrittenByModule());

    if (open) gmod_close(host.state);
    return 0;
}
