// Cuts the server's byte stream into lines at CR LF. The bytes live in one
// buffer that lasts as long as the link; lines are views into it.
#ifndef QV_NET_LINE_READER_H
#define QV_NET_LINE_READER_H

#include <cstddef>
#include <memory>
#include <span>
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
    // of Space or Clear; false when more bytes are needed. Every byte above
    // 0x7F reads as '?'.
    bool Next(std::string_view& line);

    std::size_t Buffered() const { return end_ - begin_; }
    void Clear() { begin_ = scan_ = end_ = 0; }

private:
    std::unique_ptr<char[]> buf_;
    std::size_t begin_ = 0;  // first byte not yet handed on
    std::size_t scan_ = 0;   // bytes before this are reduced and hold no line end
    std::size_t end_ = 0;    // end of the bytes read
};

#endif
