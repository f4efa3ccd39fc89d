#include "net/line_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "net/utf8.h"

std::span<char> LineReader::Space() {
    if (!buf_) buf_ = std::make_unique_for_overwrite<char[]>(kCapacity);
    // Only an unfinished line is left when more bytes are wanted, so moving
    // it to the front is cheap and makes room for a full chunk.
    if (kCapacity - end_ < kReadChunk && begin_ > 0) {
        std::memmove(buf_.get(), buf_.get() + begin_, end_ - begin_);
        scan_ -= begin_;
        end_ -= begin_;
        begin_ = 0;
    }
    return {buf_.get() + end_, kCapacity - end_};
}

void LineReader::Commit(std::size_t n) { end_ += n; }

namespace {

// Whether any of the 8 bytes in `w` is above 0x7F or is an LF: the bytes
// the scan must look at one by one. Most words of a line hold neither.
bool NeedsALook(std::uint64_t w) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL, kHigh = 0x8080808080808080ULL;
    const std::uint64_t lf = w ^ (kOnes * '\n');  // a zero byte where w has an LF
    return ((w | ((lf - kOnes) & ~lf)) & kHigh) != 0;
}

}  // namespace

std::string_view LineReader::Deliver(std::size_t size, bool utf8, bool whole) {
    char* const at = buf_.get() + begin_;
    const std::string_view raw(at, size);
    std::size_t valid = size;
    if (raw_high_ && !utf8) {
        // Scanned while UTF-8 was on, handed on after it was turned off.
        std::replace_if(at, at + size, [](char c) { return static_cast<unsigned char>(c) > 0x7F; }, '?');
    } else if (raw_high_) {
        valid = utf8::ValidPrefix(raw);
    }
    if (valid == size && whole) {
        at[size] = '\0';  // the CR, of no more use
        return raw;
    }
    // A piece of a longer line is followed by the rest of it: copied, it
    // can end in a NUL.
    converted_.assign(raw.substr(0, valid));
    utf8::AppendFrom1252(converted_, raw.substr(valid));
    return converted_;
}

bool LineReader::Next(std::string_view& line, bool utf8) {
    char* b = buf_.get();
    // One pass over new bytes does both jobs: the 7-bit reduction (the
    // module speaks ASCII; a higher byte names nothing it knows) or, with
    // UTF-8 on, noting that the line needs a closer look when it is handed
    // on; and the search for CR LF, a word at a time where a word needs
    // neither. A CR before begin_ ended a cut piece, not this line. The
    // pass stops where a line end could only end an overlong line.
    const std::size_t limit = std::min(end_, begin_ + kMaxLine + 2);
    std::size_t i = scan_;
    for (;;) {
        if (i + 8 <= limit) {
            std::uint64_t w;
            std::memcpy(&w, b + i, 8);
            if (!NeedsALook(w)) {
                i += 8;
                continue;
            }
        }
        const std::size_t stop = std::min(i + 8, limit);
        if (i == stop) break;
        for (; i < stop; ++i) {
            const auto c = static_cast<unsigned char>(b[i]);
            if (c > 0x7F) {
                if (utf8)
                    raw_high_ = true;
                else
                    b[i] = '?';
            } else if (c == '\n' && i > begin_ && b[i - 1] == '\r') {
                line = Deliver(i - 1 - begin_, utf8, true);
                begin_ = scan_ = i + 1;
                raw_high_ = false;
                return true;
            }
        }
    }
    scan_ = limit;
    // No line end in reach. The run is cut once it is sure to be longer
    // than kMaxLine: a CR in the byte after the cut may yet be the first
    // half of this line's CR LF, so the cut then waits for one more byte.
    // Cut so, no half of a line end is ever left to start the next piece.
    const std::size_t n = end_ - begin_;
    if (n > kMaxLine + 1 || (n == kMaxLine + 1 && b[begin_ + kMaxLine] != '\r')) {
        // With UTF-8 on, a character that would straddle the cut goes
        // whole into the next piece; whether the bytes there are one may
        // take up to 3 more bytes to tell, so the cut waits for them, as
        // it does for an LF. The rest, already scanned, may still hold raw
        // bytes: raw_high_ stays as it is for it.
        std::size_t size = kMaxLine;
        if (utf8 && raw_high_) {
            size = utf8::CutAt({b + begin_, n}, kMaxLine, true);
            if (size == std::string_view::npos) return false;
        }
        line = Deliver(size, utf8, false);
        begin_ += size;
        return true;
    }
    return false;
}
