#include <gtest/gtest.h>

#include "protocol/tokenize.h"

#include <algorithm>
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
    // Past the fifth token, tokens are counted, not kept.
    EXPECT_EQ(Cut(":a!b PRIVMSG #c :x y z w", " "), (Split{7, {":a!b", "PRIVMSG", "#c", ":x", "y"}}));
    EXPECT_EQ(MySplit("a b c d e f", " ")[5], "");
}

TEST(MySplit, LongSeparatorsDoNotOverlap) {
    EXPECT_EQ(Cut("a::b:::c", "::"), (Split{3, {"a", "b", ":c"}}));
    EXPECT_EQ(Cut("::::", "::"), (Split{3, {"", "", ""}}));
}

TEST(MySplit, EmptySeparatorGivesTheWholeText) { EXPECT_EQ(Cut("a b", ""), (Split{1, {"a b"}})); }

TEST(GetPRIVMSG, NickComesFromThePrefixOnly) {
    EXPECT_EQ(GetPRIVMSG(":alice!ali PRIVMSG #lobby :hi", kNick), "alice");
    EXPECT_EQ(GetPRIVMSG(":Nick!user PRIVMSG x :y", kNick), "Nick");
    // A '!' in the message text names no one; a prefix without '!' is a
    // server, and its name stands for the sender.
    EXPECT_EQ(GetPRIVMSG(":srv NOTICE me :hi!", kNick), "srv");
    EXPECT_EQ(GetPRIVMSG(":srv", kNick), "srv");
    EXPECT_EQ(GetPRIVMSG(":!x PRIVMSG a :b", kNick), "");
    // No prefix: no sender.
    EXPECT_EQ(GetPRIVMSG("NOTICE AUTH :hi!there", kNick), "");
    EXPECT_EQ(GetPRIVMSG("", kNick), "");
    EXPECT_EQ(GetPRIVMSG(":", kNick), "");
}

TEST(GetPRIVMSG, TrailingTextFollowsTheFirstSpaceColonAfterThePrefix) {
    EXPECT_EQ(GetPRIVMSG(":alice!ali PRIVMSG #lobby :hi", kTrailing), "hi");
    EXPECT_EQ(GetPRIVMSG(":alice!ali PRIVMSG #lobby :hi :)", kTrailing), "hi :)");
    EXPECT_EQ(GetPRIVMSG(":a!b PRIVMSG x :", kTrailing), "");
    // Colons inside the prefix's host part are not the trailing marker.
    EXPECT_EQ(GetPRIVMSG(":a!b@2001:db8::1 PRIVMSG #c :hi", kTrailing), "hi");
    EXPECT_EQ(GetPRIVMSG("PING :abc", kTrailing), "abc");
    // Any selector other than the nick's gives the trailing text.
    EXPECT_EQ(GetPRIVMSG(":a!b PRIVMSG x :y", 7), "y");
}

TEST(GetPRIVMSG, WithoutAColonTheLastParameterIsTheTrailingText) {
    EXPECT_EQ(GetPRIVMSG(":a!b PRIVMSG x y", kTrailing), "y");
    EXPECT_EQ(GetPRIVMSG(":a!b PRIVMSG x y:z", kTrailing), "y:z");
    EXPECT_EQ(GetPRIVMSG(":srv", kTrailing), "");
    EXPECT_EQ(GetPRIVMSG("", kTrailing), "");
    EXPECT_EQ(GetPRIVMSG("x", kTrailing), "x");
}
