// What resolving has in common on every platform: address literals, which
// never need the system's resolver, and copying the system's answer out.
#include "platform/resolve.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdio>
#include <cstring>

#include "platform/resolve_common.h"

namespace platform {

std::string WithoutBrackets(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

namespace {

// The literal's addresses, or none when `host` is a name.
std::vector<Address> Numeric(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    char service[16];
    std::snprintf(service, sizeof service, "%d", port);
    addrinfo* found = nullptr;
    std::vector<Address> out;
    const std::string bare = WithoutBrackets(host);
    if (!bare.empty() && getaddrinfo(bare.c_str(), service, &hints, &found) == 0) {
        CopyAddresses(found, out);
        freeaddrinfo(found);
    }
    return out;
}

}  // namespace

bool IsAddressLiteral(const std::string& host) { return !Numeric(host, 0).empty(); }

std::unique_ptr<Resolution> Resolve(const std::string& host, int port) {
    std::vector<Address> literal = Numeric(host, port);
    // An empty name or one in brackets that is no address has nothing to
    // ask the resolver.
    const bool bracketed = WithoutBrackets(host) != host;
    if (!literal.empty() || host.empty() || bracketed) return std::make_unique<Resolved>(std::move(literal));
    return ResolveName(host, port);
}

}  // namespace platform
