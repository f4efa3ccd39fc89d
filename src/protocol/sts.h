// Strict Transport Security: a server that lists "sts" wants TLS. On a
// plain link its "port" moves the link there at once; on a link verified
// over TLS its "duration" is a policy for the host name, which sends later
// plain connects to that name straight to TLS (session/sts.h).
#ifndef QV_PROTOCOL_STS_H
#define QV_PROTOCOL_STS_H

#include <chrono>
#include <string_view>

class Connection;

// The clock policies expire on; tests step it by hand.
extern std::chrono::steady_clock::time_point (*sts_clock)();

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
