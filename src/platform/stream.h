// A connected byte stream to a server: plain TCP, or TLS over TCP. What a
// link reads and writes through; it never blocks once open.
#ifndef QV_PLATFORM_STREAM_H
#define QV_PLATFORM_STREAM_H

#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/socket.h"

namespace platform {

enum class Security {
    Plain,          // TCP as it is
    Tls,            // TLS; the certificate checked against the system's roots and the name
    TlsUnverified,  // TLS; any certificate taken (private servers, self-signed)
};

class Stream {
public:
    virtual ~Stream() = default;
    // At most `buffer.size()` bytes, as far as they have arrived.
    virtual IoResult Read(std::span<char> buffer) = 0;
    // As much of `bytes` as can go now; after WouldBlock, the same bytes
    // (or more after them) must be offered again.
    virtual IoResult Write(std::string_view bytes) = 0;
    // Waits until Write may take more, at most `timeout_ms`.
    virtual bool WaitWritable(int timeout_ms) = 0;
    // Ends the stream politely where the protocol has a way to; never waits.
    virtual void Shutdown() {}
    // A Failed result of this stream in plain words.
    virtual std::string ErrorText(const IoResult& failed) const = 0;
};

struct OpenResult {
    std::unique_ptr<Stream> stream;  // null on failure
    std::string error;               // why, in plain words
};

// Resolves, connects and (for TLS) completes the handshake, all within
// `timeout_ms` (name resolution aside).
OpenResult OpenStream(const char* host, int port, Security security, int timeout_ms);

}  // namespace platform

#endif
