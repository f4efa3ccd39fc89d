// A byte stream through the receive path, cut where the input says, read
// the way the poll reads: lines are taken until there are none, then one
// read of at most the space offered. What comes out must equal an
// independent model: the stream (bytes above 0x7F as '?') split at CR LF,
// a run that would make a line over 64 KiB going on in 64 KiB pieces, in
// order, nothing lost; what is left is the unfinished tail.
//
// Input: [reads][pad][pad at][stream ...][read sizes]
//   reads    how many read sizes end the input, two bytes each (little
//            endian, size = value + 1), used in turn; none: every read
//            takes all the space offered
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::size_t reads = std::min<std::size_t>(data[0], (size - 3) / 2);
    const std::uint8_t* sizes = data + size - 2 * reads;
    std::string stream(reinterpret_cast<const char*>(data + 3), size - 3 - 2 * reads);
    if (data[1] != 0) stream.insert(std::min<std::size_t>(data[2], stream.size()), kCap - 128 + data[1], 'A');

    const std::string reduced = SevenBit(stream);
    const Framed want = Model(reduced);

    LineReader reader;
    std::size_t at = 0, next_read = 0, got = 0;
    std::string_view line;
    for (;;) {
        while (reader.Next(line)) {
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
    if (got != want.lines.size()) Fail("lines lost");
    if (reader.Buffered() != want.tail) Fail("the unfinished tail differs from the model");
    return 0;
}
