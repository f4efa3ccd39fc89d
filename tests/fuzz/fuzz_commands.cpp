// The script functions with any argument texts, the module linked to a
// loopback peer that reads back each call's lines. Only SendRaw may put a
// CR or LF inside a line; every other line is what was asked for, cut at
// the first line break, and a SendMessage line stays within 512 bytes for
// targets up to 100 bytes, its pieces giving back the whole text.
//
// Input: calls, each an operation byte then its argument texts, each
// ended by a NUL (the host hands texts over as C strings, so none holds
// one):
//   0 SendMessage target text    3 NickServ text
//   1 Join channel               4 SendRaw line
//   2 Part channel               5 Connect server-tail nick user realname
// Connect always goes to the loopback peer: a server-tail that starts with
// a line break is appended to its address, else none.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "linked_module.h"

namespace {

std::string_view FirstLine(std::string_view s) { return s.substr(0, s.find_first_of("\r\n")); }

void ExpectLines(const std::vector<std::string>& want, std::string_view wire) {
    const auto got = WireLines(wire);
    if (got.size() != want.size()) Fail("not the lines asked for", wire);
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (got[i].find_first_of("\r\n") != std::string_view::npos) Fail("a line break inside a line", wire);
        if (got[i] != want[i]) Fail("not the line asked for", wire);
    }
}

void CheckMessage(std::string_view target_arg, std::string_view text, std::string_view wire) {
    const std::string_view target = FirstLine(target_arg);
    const std::string prefix = "PRIVMSG " + SevenBit(target) + " :";
    std::vector<std::string_view> pieces;
    for (std::string_view line : WireLines(wire)) {
        if (line.find_first_of("\r\n") != std::string_view::npos) Fail("a line break inside a PRIVMSG", wire);
        if (!line.starts_with(prefix)) Fail("a PRIVMSG to another target", wire);
        if (target.size() <= 100 && line.size() + 2 > 512) Fail("a PRIVMSG over 512 bytes", wire);
        if (line.size() == prefix.size() || line.size() - prefix.size() > 400) Fail("an empty or long piece", wire);
        pieces.push_back(line.substr(prefix.size()));
    }
    // Each non-empty line of the text, in order, from its pieces; a space
    // where a piece ended may have been dropped.
    const std::string seven = SevenBit(text);
    std::string_view rest = seven;
    std::size_t next = 0;
    while (!rest.empty()) {
        const std::string_view line = FirstLine(rest);
        rest.remove_prefix(std::min(line.size() + 1, rest.size()));
        for (std::size_t at = 0; at < line.size();) {
            if (next == pieces.size()) Fail("text lost", wire);
            const std::string_view piece = pieces[next++];
            if (line.substr(at, piece.size()) != piece) Fail("text changed", wire);
            at += piece.size();
            if (at < line.size() && line[at] == ' ') ++at;
        }
    }
    if (next != pieces.size()) Fail("more text than was given", wire);
}

struct Reader {
    const std::uint8_t* at;
    const std::uint8_t* end;
    std::string Text() {
        std::string s;
        while (at < end && *at != 0) s.push_back(static_cast<char>(*at++));
        if (at < end) ++at;
        return s;
    }
};

void Reconnect(RecordingHost& host, Reader& in) {
    LoopbackServer& peer = LinkModule();
    const std::string tail = in.Text(), nick = in.Text(), user = in.Text(), realname = in.Text();
    if (!WrittenByModule().empty()) Fail("lines left over before Close");
    host.CallIrc("Close");
    if (peer.ReadUntil("QUIT :Leaving\r\n") != "QUIT :Leaving\r\n") Fail("Close sent not only its QUIT", peer.received());
    peer.TakeReceived();
    const bool cut = !tail.empty() && (tail[0] == '\r' || tail[0] == '\n');
    ConnectModule(host, {"127.0.0.1" + (cut ? tail : std::string()), 0, nick, user, realname});
    const std::string u = SevenBit(FirstLine(user));
    ExpectLines({"CAP LS 302", "PASS pvrkqo618", "NICK " + SevenBit(FirstLine(nick)),
                 "USER " + u + " " + u + " " + u + " :" + SevenBit(FirstLine(realname))},
                WrittenByModule());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    LinkModule();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RecordingHost host;
    gmod_open(&host);
    Reader in{data, data + size};
    for (int calls = 0; in.at < in.end && calls < 16; ++calls) {
        const int op = *in.at++ % 6;
        if (op == 5) {
            Reconnect(host, in);
            continue;
        }
        const std::string first = in.Text();
        std::vector<std::string> results;
        switch (op) {
            case 0: {
                const std::string text = in.Text();
                results = host.CallIrc("SendMessage", {first, text});
                CheckMessage(first, text, WrittenByModule());
                break;
            }
            case 1:
                results = host.CallIrc("Join", {first});
                ExpectLines({"JOIN " + SevenBit(FirstLine(first))}, WrittenByModule());
                break;
            case 2:
                results = host.CallIrc("Part", {first});
                ExpectLines({"PART " + SevenBit(FirstLine(first))}, WrittenByModule());
                break;
            case 3:
                results = host.CallIrc("NickServ", {first});
                ExpectLines({"NICKSERV " + SevenBit(FirstLine(first))}, WrittenByModule());
                break;
            case 4:
                results = host.CallIrc("SendRaw", {first});
                if (WrittenByModule() != SevenBit(first) + "\r\n") Fail("SendRaw changed its line", first);
                break;
        }
        if (!results.empty()) Fail("a call was refused", results.front());
    }
    gmod_close(host.state);
    return 0;
}
