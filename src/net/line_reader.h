// Cuts the server's byte stream into lines at CR LF. The bytes live in one
// buffer that lasts as long as the link; lines are views into it.
#ifndef QV_NET_LINE_READER_H
#define QV_NET_LINE_READER_H

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

class LineReader {
public:
    // The longest line handed on: a server that never ends its line may
    // not grow memory without bound, so a longer one goes on in pieces of
    // this size.
    static constexpr std::size_t kMaxLine = 64 * 1024;
    // Room for one read beyond a whole line of the longest kind.
    static constexpr std::size_t kReadChunk = 32 * 1024;
    static constexpr std::size_t kCapacity = kMaxLine + kReadChunk;

    // Where the next read may put its bytes; never empty. The buffer is
    // made on first use and never zero-filled.
    std::span<char> Space();
    void Commit(std::size_t n);

    // The next complete line, without its CR LF, valid until the next call
    // of Next, Space or Clear; false when more bytes are needed. A NUL
    // follows it (in its CR's place, or in a copy), so that its text can go
    // to the host, which takes NUL-terminated text, as it is. Without
    // `utf8` every byte above 0x7F reads as '?'. With it the line is
    // well-formed UTF-8: such text is handed on as it came, other bytes
    // above 0x7F are read as Windows-1252, and a cut piece of a long line
    // ends on a character boundary.
    bool Next(std::string_view& line, bool utf8);

    std::size_t Buffered() const { return end_ - begin_; }
    void Clear() { begin_ = scan_ = end_ = 0; }

private:
    // `whole`: the line's CR LF follows it, not more of the line.
    std::string_view Deliver(std::size_t size, bool utf8, bool whole);

    std::unique_ptr<char[]> buf_;
    std::size_t begin_ = 0;  // first byte not yet handed on
    std::size_t scan_ = 0;   // bytes before this are scanned (reduced, unless raw_high_) and hold no line end
    std::size_t end_ = 0;    // end of the bytes read
    // Bytes above 0x7F were left as they came in [begin_, scan_): the scan
    // ran with UTF-8 on.
    bool raw_high_ = false;
    // A line whose bytes had to be converted (they grow), reused from line
    // to line; lines of ASCII or well-formed UTF-8 are never copied here.
    std::string converted_;
};

#endif
