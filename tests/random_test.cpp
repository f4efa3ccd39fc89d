// Seeded random traffic: whatever the bytes and however the stream is cut,
// the module neither fails nor loses, reorders or merges lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "module/globals.h"
#include "module_fixture.h"
#include "poll/poll.h"
#include "protocol/dispatch.h"

namespace {

// Lines built from the pieces the dispatcher cares about, so the random
// walk reaches its corners rather than only plain text.
std::string RandomLine(std::mt19937& rng) {
    static const std::vector<std::string> pieces = {
        ":", " ", "!", "@", "PING", "PRIVMSG", "NOTICE", "376", "432", "433", "\x01", "VERSION", "TIME",
        "NickServ", "#c", "a", "%s", "%n", "\xE9", "\r", "\n", std::string(1, '\0'), " :", "::"};
    std::uniform_int_distribution<std::size_t> count(0, 12), pick(0, pieces.size() - 1);
    std::string line;
    for (std::size_t n = count(rng); n > 0; --n) line += pieces[pick(rng)];
    return line;
}

std::string Dropped(std::string line) {
    // What CR LF framing and the 7-bit decode make of a line on the wire.
    for (char& c : line)
        if (static_cast<unsigned char>(c) > 0x7F) c = '?';
    return line;
}

// What scripts see of a line: its tags (the text after '@' up to the first
// space; none when empty), and the rest after the spaces that follow them.
std::pair<std::string, std::optional<std::string>> TagsOff(std::string_view line) {
    if (!line.starts_with('@')) return {std::string(line), std::nullopt};
    const std::size_t space = std::min(line.find(' '), line.size());
    const std::size_t rest = std::min(line.find_first_not_of(' ', space), line.size());
    std::optional<std::string> tags;
    if (space > 1) tags = line.substr(1, space - 1);
    return {std::string(line.substr(rest)), tags};
}

std::string UpToNul(std::string_view text) { return std::string(text.substr(0, text.find('\0'))); }

class RandomTraffic : public ModuleTest {};

}  // namespace

TEST_F(RandomTraffic, AnyLineIsHandledAndAlwaysRaisesRawDataFirst) {
    LoopbackServer server;
    ConnectToServer(server);
    std::mt19937 rng(20261208);
    for (int i = 0; i < 20000; ++i) {
        std::string line = RandomLine(rng);
        host.hook_calls.clear();
        host.console.clear();
        ASSERT_NO_THROW(ProcessLine(line)) << i;
        ASSERT_FALSE(host.hook_calls.empty()) << i;
        // Scripts see the line without its tags, each cut at its first NUL.
        const auto [rest, tags] = TagsOff(line);
        EXPECT_EQ(host.hook_calls[0].args[2], UpToNul(rest)) << i;
        EXPECT_EQ(host.hook_calls[0].args[3], tags ? std::optional(UpToNul(*tags)) : std::nullopt) << i;
        if (i % 1000 == 0) server.ReadFor(0);  // keep the replies from filling the socket
    }
}

TEST_F(RandomTraffic, AStreamCutAnywhereArrivesAsTheSameLines) {
    LoopbackServer server;
    ConnectToServer(server);
    Globals::bDebug = false;
    std::mt19937 rng(7);
    std::vector<std::string> sent;
    std::string stream;
    for (int i = 0; i < 300; ++i) {
        std::string line = RandomLine(rng);
        // Only CR LF ends a line: keep the pair out of the line itself.
        for (std::size_t at; (at = line.find("\r\n")) != std::string::npos;) line.erase(at, 2);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        sent.push_back(UpToNul(TagsOff(Dropped(line)).first));
        stream += line + "\r\n";
    }
    std::uniform_int_distribution<std::size_t> cut(1, 40);
    for (std::size_t at = 0; at < stream.size();) {
        std::size_t n = std::min(cut(rng), stream.size() - at);
        server.Write(std::string_view(stream).substr(at, n));
        at += n;
        // Sometimes a poll falls between two writes, sometimes several
        // writes come in one read.
        if (rng() % 2 == 0) {
            server.ReadFor(1);
            MessageCheckTimer();
        }
    }
    std::vector<std::string> seen;
    ASSERT_TRUE(PumpUntil(
        [&] {
            seen.clear();
            for (const HookCall& c : host.hook_calls)
                if (c.args[0] == "IRC_RawData") seen.push_back(c.args[2].value_or(""));
            return seen.size() >= sent.size();
        },
        10000));
    EXPECT_EQ(seen, sent);
}
