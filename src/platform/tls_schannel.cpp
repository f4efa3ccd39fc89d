// TLS on Windows: Schannel. Not there yet: a TLS connect fails with a
// reason, and plain links are untouched.
#include "platform/tls.h"

namespace platform {

std::unique_ptr<Stream> OpenTls(SocketHandle&, const char*, bool, Deadline, std::string& error) {
    error = "TLS handshake failed: TLS is not available in this build";
    return nullptr;
}

}  // namespace platform
