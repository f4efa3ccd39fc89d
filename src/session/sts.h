// What servers reached over verified TLS require of later links to their
// host names (IRCv3 Strict Transport Security): TLS on a port, for a time.
// Kept for the process only; protocol/sts.cpp reads and writes it.
#ifndef QV_SESSION_STS_H
#define QV_SESSION_STS_H

#include <chrono>
#include <functional>
#include <map>
#include <string>

struct StsPolicy {
    int port = 0;                            // the TLS port the policy came on
    std::chrono::seconds duration{0};        // as the server last gave it
    std::chrono::steady_clock::time_point expires{};
};

// By host name, in lower case.
using StsPolicies = std::map<std::string, StsPolicy, std::less<>>;

#endif
