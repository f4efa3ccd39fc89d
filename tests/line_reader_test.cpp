// Framing of the received byte stream, fed in pieces of every size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "net/line_reader.h"

namespace {

using Lines = std::vector<std::string>;

// The lines of `stream` fed `step` bytes at a time, reading lines out
// between pieces as the poll does.
Lines Frame(std::string_view stream, std::size_t step) {
    LineReader reader;
    Lines lines;
    std::string_view line;
    while (!stream.empty()) {
        while (reader.Next(line)) lines.emplace_back(line);
        auto space = reader.Space();
        const std::size_t n = std::min({step, space.size(), stream.size()});
        std::memcpy(space.data(), stream.data(), n);
        reader.Commit(n);
        stream.remove_prefix(n);
    }
    while (reader.Next(line)) lines.emplace_back(line);
    return lines;
}

void ExpectFramed(const std::string& stream, const Lines& expected) {
    for (std::size_t step : {std::size_t{1}, std::size_t{3}, std::size_t{4096}, stream.size()})
        EXPECT_EQ(Frame(stream, step), expected) << "fed " << step << " bytes at a time";
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
