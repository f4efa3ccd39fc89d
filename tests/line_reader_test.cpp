// Framing of the received byte stream, fed in pieces of every size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "net/line_reader.h"
#include "net/utf8.h"

namespace {

using Lines = std::vector<std::string>;

// The lines of `stream` fed `step` bytes at a time, reading lines out
// between pieces as the poll does. Each must be followed by a NUL.
Lines Frame(std::string_view stream, std::size_t step, bool utf8) {
    LineReader reader;
    Lines lines;
    std::string_view line;
    const auto take = [&] {
        EXPECT_EQ(line.data()[line.size()], '\0') << "after line " << lines.size();
        lines.emplace_back(line);
    };
    while (!stream.empty()) {
        while (reader.Next(line, utf8)) take();
        auto space = reader.Space();
        const std::size_t n = std::min({step, space.size(), stream.size()});
        std::memcpy(space.data(), stream.data(), n);
        reader.Commit(n);
        stream.remove_prefix(n);
    }
    while (reader.Next(line, utf8)) take();
    return lines;
}

void ExpectFramed(const std::string& stream, const Lines& expected, bool utf8 = false) {
    for (std::size_t step : {std::size_t{1}, std::size_t{3}, std::size_t{4096}, stream.size()})
        EXPECT_EQ(Frame(stream, step, utf8), expected) << "fed " << step << " bytes at a time";
}

const std::string A(65536, 'A');

}  // namespace

TEST(LineReader, OnlyCrLfEndsALineAndHighBytesReadAsQuestionMarks) {
    ExpectFramed("PING :x\r\n\r\na\rb\nc\r\ncaf\xE9\x7F\x80\xFF\r\nrest",
                 {"PING :x", "", "a\rb\nc", "caf?\x7F??"});
}

TEST(LineReader, LongLinesGoOnIn64KiBPiecesWithNoHalfLineEndLeft) {
    // Exactly 64 KiB is still one line, its CR LF whole.
    ExpectFramed(A + "\r\nz\r\n", {A, "z"});
    ExpectFramed(A + "B\r\n", {A, "B"});
    // A lone CR at the cut belongs to the piece it ends.
    ExpectFramed(A.substr(1) + "\rx\r\n", {A.substr(1) + "\r", "x"});
    ExpectFramed(A + "\rx\r\n", {A, "\rx"});
    ExpectFramed(A + A + A + "\r\n", {A, A, A});
}

TEST(LineReader, WithUtf8OnScriptsGetWellFormedUtf8WhateverCame) {
    struct Case {
        std::string in, out;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"caf\xC3\xA9", "caf\xC3\xA9"},                        // 2 bytes, as it came
        {"\xE2\x82\xAC 5", "\xE2\x82\xAC 5"},                  // 3 bytes
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},              // 4 bytes
        {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},              // U+10FFFF, the last there is
        // Not characters, so each byte is Windows-1252.
        {"\xC0\xAF", "\xC3\x80\xC2\xAF"},                      // overlong '/'
        {"\xE0\x80\xAF", "\xC3\xA0\xE2\x82\xAC\xC2\xAF"},      // overlong, 3 bytes
        {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},      // a surrogate
        {"\xF4\x90\x80\x80", "\xC3\xB4\xEF\xBF\xBD\xE2\x82\xAC\xE2\x82\xAC"},  // above U+10FFFF
        {"ab\xE2\x82", "ab\xC3\xA2\xE2\x80\x9A"},              // cut short by the line end
        {"\x80x", "\xE2\x82\xACx"},                            // a lone continuation byte
        {"Gr\xFC\xDF \x93hi\x94", "Gr\xC3\xBC\xC3\x9F \xE2\x80\x9Chi\xE2\x80\x9D"},  // Windows-1252 text
        {"\x81\x8D\x8F\x90\x9D", fffd + fffd + fffd + fffd + fffd},  // undefined there: U+FFFD each
        {"\x80\x9F", "\xE2\x82\xAC\xC5\xB8"},                    // the table's first and last
        {"\xC3\xA9 \xE9\xFF", "\xC3\xA9 \xC3\xA9\xC3\xBF"},      // both kinds in one line
        {std::string("a\0b\x7F", 4), std::string("a\0b\x7F", 4)},  // ASCII, NUL included, as it came
    };
    for (const Case& c : cases) ExpectFramed(c.in + "\r\nnext\r\n", {c.out, "next"}, true);
    // The 64 KiB cut never splits a character; cut short there, it is
    // Windows-1252 like anywhere else.
    const std::string euro = "\xE2\x82\xAC", smile = "\xF0\x9F\x98\x80";
    ExpectFramed(A.substr(1) + euro + "\r\n", {A.substr(1), euro}, true);
    ExpectFramed(A.substr(2) + smile + "\r\n", {A.substr(2), smile}, true);
    ExpectFramed(A.substr(3) + smile + "\r\n", {A.substr(3), smile}, true);
    ExpectFramed(A.substr(1) + euro + A + "\r\n", {A.substr(1), euro + A.substr(3), A.substr(65536 - 3)}, true);
    ExpectFramed(A.substr(1) + "\xE2\x82X\r\n", {A.substr(1) + "\xC3\xA2", "\xE2\x80\x9AX"}, true);
    // Off, the same bytes are '?' as ever.
    ExpectFramed(A.substr(1) + euro + "\r\n", {A.substr(1) + "?", "??"}, false);
}

TEST(LineReader, ALineScannedWithUtf8OnAndHandedOnWithItOffIsSevenBit) {
    LineReader reader;
    std::string_view line;
    auto feed = [&](std::string_view bytes) {
        std::memcpy(reader.Space().data(), bytes.data(), bytes.size());
        reader.Commit(bytes.size());
    };
    feed("caf\xC3\xA9");
    EXPECT_FALSE(reader.Next(line, true));
    feed("\xE9\r\n");
    ASSERT_TRUE(reader.Next(line, false));
    EXPECT_EQ(line, "caf???");
}

// The one cleaner of text shown on the console, whatever its source (a
// server's words, a certificate's subject): what is no character is shown
// as '?', never passed on, and no control survives.
TEST(OneLine, LeavesOneLineOfCharactersOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {"  a\tb\r\nc\x7F", "abc"},
        {"x\xFF\xC3y\xE2\x82", "x??y??"},
        {"\xC2\x80" "a\xC2\x9F" "b\xC2\xA0", "ab\xC2\xA0"},  // C1 controls go; U+00A0 is text
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(utf8::OneLine(in, 100), out) << in;
}
