#include <gtest/gtest.h>

#include "protocol/tags.h"
#include "protocol/tokenize.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using Split = std::pair<std::size_t, std::vector<std::string_view>>;

// The count, and the tokens kept.
Split Cut(std::string_view str, std::string_view div) {
    const Tokens t = MySplit(str, div);
    return {t.count, {t.first.begin(), t.first.begin() + std::min(t.count, Tokens::kKept)}};
}

}  // namespace

TEST(MySplit, CountsSeparatorsPlusOne) {
    EXPECT_EQ(Cut("a b", " "), (Split{2, {"a", "b"}}));
    EXPECT_EQ(Cut("a  b", " "), (Split{3, {"a", "", "b"}}));
    EXPECT_EQ(Cut("abc", " "), (Split{1, {"abc"}}));
    EXPECT_EQ(Cut("", " "), (Split{1, {""}}));
    EXPECT_EQ(Cut(" a ", " "), (Split{3, {"", "a", ""}}));
    // Past the third token, tokens are counted, not kept.
    EXPECT_EQ(Cut(":a!b PRIVMSG #c :x y z w", " "), (Split{7, {":a!b", "PRIVMSG", "#c"}}));
    EXPECT_EQ(Cut("PING :x y z", " "), (Split{4, {"PING", ":x", "y"}}));
    EXPECT_EQ(Cut("A :", " "), (Split{2, {"A", ":"}}));
    EXPECT_EQ(MySplit("a b c d e f", " ")[3], "");
    // Counted eight bytes at a time in the trailing text: runs of spaces
    // across its words, and the bytes one bit away from a space (0xA0,
    // 0x21, 0x00) beside them, count only the spaces.
    const std::string tail[] = {std::string(17, ' '), " \xA0 \x21!\xA0  \xFF\x7F  x", std::string("\0 \0  \0", 7),
                                "\xA0\xA0\xA0\xA0\xA0\xA0\xA0\xA0 \xA0\xA0\xA0\xA0\xA0\xA0\xA0 "};
    for (const std::string& t : tail) {
        for (std::size_t lead = 0; lead < 9; ++lead) {
            const std::string line = "a b c :d " + std::string(lead, 'e') + t;
            EXPECT_EQ(MySplit(line, " ").count, static_cast<std::size_t>(std::count(line.begin(), line.end(), ' ')) + 1)
                << lead;
        }
    }
}

TEST(MySplit, KeptTokensOfEverySizeUpToTheCountedOnes) {
    // Six tokens of 0, 1, 7, 8 or 9 bytes (bytes one bit from a space among
    // them), the fourth opening the trailing text: the kept ones end where
    // they end, and the rest, counted eight bytes at a time, starts
    // anywhere in a word.
    const std::size_t sizes[] = {0, 1, 7, 8, 9};
    for (std::size_t n = 0; n < 5 * 5 * 5 * 5 * 5 * 5; ++n) {
        std::vector<std::string> pieces;
        std::string line;
        for (std::size_t k = n, i = 0; i < 6; ++i, k /= 5) {
            pieces.emplace_back(sizes[k % 5], i % 2 == 0 ? '\xA0' : '!');
            if (i == 3) pieces.back().insert(0, ":");
            line += (i > 0 ? " " : "") + pieces.back();
        }
        std::vector<std::string_view> kept(pieces.begin(), pieces.begin() + Tokens::kKept);
        ASSERT_EQ(Cut(line, " "), (Split{6, kept})) << n;
    }
}

// The same pass reads the line as a message: runs of spaces separate as
// one, the trailing parameter is whole, and the text scripts get is the
// trailing one or the last token.
TEST(MySplit, ReadsTheMessage) {
    struct Case {
        std::string_view line, prefix, command;
        std::vector<std::string_view> params;
        std::string_view trailing;
    };
    const Case cases[] = {
        {":a!b@h PRIVMSG #c :hi there", "a!b@h", "PRIVMSG", {"#c", "hi there"}, "hi there"},
        {":srv MODE #c +ov-v alice bob  carol", "srv", "MODE", {"#c", "+ov-v", "alice", "bob", "carol"}, "carol"},
        {":srv 353 me = #c :@alice +bob ", "srv", "353", {"me", "=", "#c", "@alice +bob "}, "@alice +bob "},
        {"PING :", "", "PING", {""}, ""},
        {"PING", "", "PING", {}, "PING"},
        {":srv CAP * LS * :a b", "srv", "CAP", {"*", "LS", "*", "a b"}, "a b"},
        {"  JOIN   #c ", "", "JOIN", {"#c"}, ""},
        {":a!b@2001:db8::1 NICK :new", "a!b@2001:db8::1", "NICK", {"new"}, "new"},
        {":a JOIN #c x:y :", "a", "JOIN", {"#c", "x:y", ""}, ""},
        {":srv", "srv", "", {}, ""},
        {"", "", "", {}, ""},
    };
    for (const Case& c : cases) {
        const Message m = MySplit(c.line, " ").message;
        EXPECT_EQ(m.prefix, c.prefix) << c.line;
        EXPECT_EQ(m.command, c.command) << c.line;
        EXPECT_EQ(std::vector<std::string_view>(m.params.begin(), m.params.begin() + m.size), c.params) << c.line;
        EXPECT_EQ(m.trailing, c.trailing) << c.line;
        EXPECT_EQ(m[m.size], "") << c.line;
    }
    // Parameters past the most any server sends are dropped, the text kept.
    std::string many = ":srv MODE #c +" + std::string(40, 'o');
    for (int i = 0; i < 40; ++i) many += " n" + std::to_string(i);
    many += " :end";
    const Message m = MySplit(many, " ").message;
    EXPECT_EQ(m.size, Message::kMaxParams);
    EXPECT_EQ(m.params[Message::kMaxParams - 1], "n29");
    EXPECT_EQ(m.trailing, "end");
}

TEST(MySplit, LongSeparatorsDoNotOverlap) {
    EXPECT_EQ(Cut("a::b:::c", "::"), (Split{3, {"a", "b", ":c"}}));
    EXPECT_EQ(Cut("::::", "::"), (Split{3, {"", "", ""}}));
}

TEST(MySplit, EmptySeparatorGivesTheWholeText) { EXPECT_EQ(Cut("a b", ""), (Split{1, {"a b"}})); }

namespace {

std::string_view Part(std::string_view line, int part) { return GetPRIVMSG(line, part); }

}  // namespace

TEST(GetPRIVMSG, NickComesFromThePrefixOnly) {
    EXPECT_EQ(Part(":alice!ali PRIVMSG #lobby :hi", kNick), "alice");
    EXPECT_EQ(Part(":Nick!user PRIVMSG x :y", kNick), "Nick");
    // A '!' in the message text names no one; a prefix without '!' is a
    // server, and its name stands for the sender.
    EXPECT_EQ(Part(":srv NOTICE me :hi!", kNick), "srv");
    EXPECT_EQ(Part(":srv", kNick), "srv");
    EXPECT_EQ(Part(":!x PRIVMSG a :b", kNick), "");
    // No prefix: no sender.
    EXPECT_EQ(Part("NOTICE AUTH :hi!there", kNick), "");
    EXPECT_EQ(Part("", kNick), "");
    EXPECT_EQ(Part(":", kNick), "");
}

TEST(GetPRIVMSG, TrailingTextFollowsTheFirstSpaceColonAfterThePrefix) {
    EXPECT_EQ(Part(":alice!ali PRIVMSG #lobby :hi", kTrailing), "hi");
    EXPECT_EQ(Part(":alice!ali PRIVMSG #lobby :hi :)", kTrailing), "hi :)");
    EXPECT_EQ(Part(":a!b PRIVMSG x :", kTrailing), "");
    // Colons inside the prefix's host part are not the trailing marker.
    EXPECT_EQ(Part(":a!b@2001:db8::1 PRIVMSG #c :hi", kTrailing), "hi");
    EXPECT_EQ(Part("PING :abc", kTrailing), "abc");
    // Any selector other than the nick's gives the trailing text.
    EXPECT_EQ(Part(":a!b PRIVMSG x :y", 7), "y");
}

TEST(GetPRIVMSG, WithoutAColonTheLastParameterIsTheTrailingText) {
    EXPECT_EQ(Part(":a!b PRIVMSG x y", kTrailing), "y");
    EXPECT_EQ(Part(":a!b PRIVMSG x y:z", kTrailing), "y:z");
    EXPECT_EQ(Part(":srv", kTrailing), "");
    EXPECT_EQ(Part("", kTrailing), "");
    EXPECT_EQ(Part("x", kTrailing), "x");
    // Past the tokens the dispatcher keeps, and around empty ones.
    EXPECT_EQ(Part(":a!b C p1 p2 p3 p4 :x y", kTrailing), "x y");
    EXPECT_EQ(Part(":a!b C p1 p2 p3 p4 p5", kTrailing), "p5");
    EXPECT_EQ(Part("PRIVMSG  #c  :two  spaces ", kTrailing), "two  spaces ");
    EXPECT_EQ(Part("NOTICE :x", kTrailing), "x");
    EXPECT_EQ(Part(":a C x :", kTrailing), "");
    EXPECT_EQ(Part(":a C x ", kTrailing), "");
}

TEST(SplitTags, TakesTheSectionOffAndTheLastValueOfEachName) {
    struct Case {
        std::string_view line, rest;
        std::optional<std::string_view> text, account, time;
    };
    const Case cases[] = {
        {"@a=1;account=x;time=t;account=y  :n PRIVMSG #c :hi", ":n PRIVMSG #c :hi", "a=1;account=x;time=t;account=y",
         "y", "t"},
        {"@account;time= PING", "PING", "account;time=", "", ""},  // present, with no value
        {"@a\tb\x01=c\rd x", "x", "a\tb\x01=c\rd", {}, {}},  // only a space ends the section
        {"@a=b ", "", "a=b", {}, {}},
        {"@ \t", "\t", {}, {}, {}},
        // Tags only at the very start.
        {" @account=x :n", " @account=x :n", {}, {}, {}},
        {":n PRIVMSG #c :@account=x ", ":n PRIVMSG #c :@account=x ", {}, {}, {}},
    };
    for (const Case& c : cases) {
        MessageTags tags;
        tags.account = "stale";  // nothing of an earlier line is left
        EXPECT_EQ(SplitTags(c.line, tags), c.rest) << c.line;
        EXPECT_EQ(tags.text, c.text) << c.line;
        EXPECT_EQ(tags.account, c.account) << c.line;
        EXPECT_EQ(tags.time, c.time) << c.line;
    }
}

TEST(TagText, UnescapesOnlyWhatHoldsABackslash) {
    std::string scratch = "earlier";
    const std::pair<std::optional<std::string_view>, std::optional<std::string_view>> cases[] = {
        {"alice", "alice"}, {"\\:\\s\\\\\\r\\n", "; \\\r\n"}, {"a\\b\\", "ab"}, {"\\", {}}, {"", {}}, {{}, {}},
    };
    for (const auto& [raw, text] : cases) EXPECT_EQ(TagText(raw, scratch), text) << raw.value_or("<none>");
    // A value without escapes is the line's own bytes, not a copy.
    const std::string_view plain = "alice";
    EXPECT_EQ(TagText(plain, scratch)->data(), plain.data());
}
