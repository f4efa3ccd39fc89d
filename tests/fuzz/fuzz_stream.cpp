// A byte stream through the receive path, cut where the input says, read
// the way the poll reads: lines are taken until there are none, then one
// read of at most the space offered. What comes out must equal an
// independent model: the stream (bytes above 0x7F as '?') split at CR LF,
// a run that would make a line over 64 KiB going on in 64 KiB pieces, in
// order, nothing lost; what is left is the unfinished tail.
//
// With UTF-8 on (the top bit of the first byte) bytes above 0x7F are not
// reduced but read as UTF-8, else as Windows-1252, so the model's lines do
// not apply; instead every line must be well-formed UTF-8, and the ASCII
// bytes of the lines, in order, must be those of the stream up to the
// unfinished tail, its CR LF pairs left out: conversion adds or drops no
// ASCII, and nothing is lost.
//
// Input: [mode and reads][pad][pad at][stream ...][read sizes]
//   mode     top bit: UTF-8 on
//   reads    the low 7 bits: how many read sizes end the input, two bytes
//            each (little endian, size = value + 1), used in turn; none:
//            every read takes all the space offered
//   pad      non-zero: a run of 'A's of 64 KiB - 128 + pad bytes is put
//            into the stream at offset `pad at`, so that short inputs
//            reach the line cap
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "linked_module.h"
#include "net/line_reader.h"

namespace {

constexpr std::size_t kCap = 64 * 1024;

struct Framed {
    std::vector<std::string_view> lines;
    std::size_t tail = 0;  // bytes not yet handed on
};

// The model, over the whole stream at once.
Framed Model(std::string_view s) {
    Framed f;
    std::size_t p = 0;
    for (;;) {
        const std::size_t end = s.find("\r\n", p);
        if (end != std::string_view::npos && end - p <= kCap) {
            f.lines.push_back(s.substr(p, end - p));
            p = end + 2;
            continue;
        }
        // No line end close enough: a piece of kCap goes once it is sure
        // no CR LF can end the line there. Only a CR right after the
        // piece, with nothing after it yet, leaves that open.
        const std::size_t rest = s.size() - p;
        if (rest < kCap + 1 || (rest == kCap + 1 && s[p + kCap] == '\r')) break;
        f.lines.push_back(s.substr(p, kCap));
        p += kCap;
    }
    f.tail = s.size() - p;
    return f;
}

// Well-formed UTF-8, checked by decoding: a code point in the range its
// length allows, no surrogate, none above U+10FFFF.
bool WellFormed(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const std::size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        std::uint32_t cp = n == 1 ? b : b & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = cp << 6 | (c & 0x3F);
        }
        constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

std::string AsciiOf(std::string_view s) {
    std::string out;
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x80) out.push_back(c);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const bool utf8 = (data[0] & 0x80) != 0;
    const std::size_t reads = std::min<std::size_t>(data[0] & 0x7F, (size - 3) / 2);
    const std::uint8_t* sizes = data + size - 2 * reads;
    std::string stream(reinterpret_cast<const char*>(data + 3), size - 3 - 2 * reads);
    if (data[1] != 0) stream.insert(std::min<std::size_t>(data[2], stream.size()), kCap - 128 + data[1], 'A');

    const std::string reduced = SevenBit(stream);
    const Framed want = Model(reduced);
    std::string ascii_out;  // with UTF-8 on

    LineReader reader;
    std::size_t at = 0, next_read = 0, got = 0;
    std::string_view line;
    for (;;) {
        while (utf8 && reader.Next(line, true)) {
            if (!WellFormed(line)) Fail("a line that is not well-formed UTF-8", line);
            if (line.size() > 3 * kCap) Fail("a line over the cap, converted", line);
            ascii_out += AsciiOf(line);
        }
        while (!utf8 && reader.Next(line, false)) {
            if (got == want.lines.size()) Fail("a line the model does not have", line);
            if (line != want.lines[got]) Fail("a line differs from the model", line);
            ++got;
        }
        if (at == stream.size()) break;
        const auto space = reader.Space();
        if (space.empty()) Fail("no space for a read");
        std::size_t n = space.size();
        if (reads > 0) {
            const std::uint8_t* r = sizes + 2 * (next_read++ % reads);
            n = std::min<std::size_t>(n, (r[0] | r[1] << 8) + 1u);
        }
        n = std::min(n, stream.size() - at);
        std::memcpy(space.data(), stream.data() + at, n);
        reader.Commit(n);
        at += n;
    }
    if (utf8) {
        std::string consumed = stream.substr(0, stream.size() - reader.Buffered());
        // Left to right, once: taking a pair out may join a CR and an LF
        // that were no pair.
        for (std::size_t at = 0; (at = consumed.find("\r\n", at)) != std::string::npos;) consumed.erase(at, 2);
        if (AsciiOf(consumed) != ascii_out) Fail("text lost or changed");
        return 0;
    }
    if (got != want.lines.size()) Fail("lines lost");
    if (reader.Buffered() != want.tail) Fail("the unfinished tail differs from the model");
    return 0;
}
