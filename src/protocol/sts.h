// Strict Transport Security: a server that lists "sts" wants TLS. On a
// plain link its "port" moves the link there at once; on a link verified
// over TLS its "duration" is a policy for the host name, which sends later
// plain connects to that name straight to TLS (session/sts.h).
#ifndef QV_PROTOCOL_STS_H
#define QV_PROTOCOL_STS_H

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

class Connection;

// The clock policies expire on; tests step it by hand.
extern std::chrono::steady_clock::time_point (*sts_clock)();

// A policy of ten years is as good as forever, and keeps the expiry time
// far from overflowing.
inline constexpr std::uint64_t kLongestStsPolicyS = 10ull * 365 * 24 * 3600;

// The key a host's policy is kept under: host names are the same name in
// any case.
std::string StsKey(std::string_view host);

// The server's sts value on `link`: the TLS port the link must move to
// now, or 0 when it stays. A value that cannot be followed is ignored,
// with a console line.
int StsOnList(Connection& link, std::string_view value);

// The TLS port a plain connect to `host` must use instead, or 0 while no
// policy holds for it.
int StsPolicyPort(std::string_view host);

// A link that was up has ended: the policy for its host, if it came over
// such a link, runs its whole duration from now.
void StsLinkEnded(const Connection& link);

#endif
