#include <gtest/gtest.h>

#include "protocol/tokenize.h"

using Tokens = std::vector<std::string_view>;

TEST(MySplit, CountsSeparatorsPlusOne) {
    EXPECT_EQ(MySplit("a b", " "), (Tokens{"a", "b"}));
    EXPECT_EQ(MySplit("a  b", " "), (Tokens{"a", "", "b"}));
    EXPECT_EQ(MySplit("abc", " "), (Tokens{"abc"}));
    EXPECT_EQ(MySplit("", " "), (Tokens{""}));
    EXPECT_EQ(MySplit(" a ", " "), (Tokens{"", "a", ""}));
}

TEST(MySplit, LongSeparatorsDoNotOverlap) {
    EXPECT_EQ(MySplit("a::b:::c", "::"), (Tokens{"a", "b", ":c"}));
    EXPECT_EQ(MySplit("::::", "::"), (Tokens{"", "", ""}));
}

TEST(MySplit, EmptySeparatorGivesTheWholeText) {
    EXPECT_EQ(MySplit("a b", ""), (Tokens{"a b"}));
}

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
