// Name resolution that never waits: the system resolves on threads of its
// own, and the poll asks whether it is done. No code of the module runs
// off the host's thread, so an unload in the middle has nothing to wait for.
#ifndef QV_PLATFORM_RESOLVE_H
#define QV_PLATFORM_RESOLVE_H

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// One socket address as the system gives it, kept without its headers.
struct Address {
    int family = 0;
    std::size_t size = 0;
    std::array<unsigned char, 128> bytes{};  // a sockaddr_storage
};

class Resolution {
public:
    enum class Status { Pending, Done, Failed };

    virtual ~Resolution() = default;
    // Done: Addresses() holds at least one, in the resolver's order.
    virtual Status Check() = 0;
    const std::vector<Address>& Addresses() const { return addresses_; }
    // Failed: why, when the system said more than that the name is unknown.
    const std::string& Error() const { return error_; }

protected:
    std::vector<Address> addresses_;
    std::string error_;
};

// Starts resolving `host` (a name, or an IPv4 or IPv6 address, with or
// without brackets) for TCP `port`, any family. An address literal is
// resolved at once, without asking the system's resolver.
std::unique_ptr<Resolution> Resolve(const std::string& host, int port);

// `host` without the brackets of an IPv6 literal; true when it is an IPv4
// or IPv6 address rather than a name.
bool IsAddressLiteral(const std::string& host);
std::string WithoutBrackets(const std::string& host);

}  // namespace platform

#endif
