// The TLS half of OpenStream, one file per platform: OpenSSL on POSIX,
// Schannel on Windows. Nothing outside src/platform sees either.
#ifndef QV_PLATFORM_TLS_H
#define QV_PLATFORM_TLS_H

#include <memory>
#include <string>

#include "platform/socket_connect.h"
#include "platform/stream.h"

namespace platform {

// Runs the client handshake over the connected, non-blocking `sock`, which
// the stream takes over (closed on failure), until `deadline`. `verify`
// checks the certificate against the system's roots and `host`.
std::unique_ptr<Stream> OpenTls(SocketHandle& sock, const char* host, bool verify, Deadline deadline,
                                std::string& error);

}  // namespace platform

#endif
