// What one link has learnt from its server and negotiated with it. Made
// with the link and gone with it: nothing of it outlives the link.
#ifndef QV_SESSION_SESSION_H
#define QV_SESSION_SESSION_H

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "session/caps.h"
#include "platform/fingerprint.h"
#include "session/login.h"

// What the server puts in front of the lines it relays from us,
// ":nick!user@host ", as far as it has told us.
struct OwnPrefix {
    // Until the server has told us, the longest each part may well be: a
    // 30-character nick, a 10-character user name with the '~' servers add
    // when ident fails, a 63-character host name.
    static constexpr std::size_t kWorstNick = 30, kWorstUser = 11, kWorstHost = 63;

    // Empty while unknown.
    std::string nick, user, host;

    // The length of ":nick!user@host ", the worst case for a part unknown.
    std::size_t Length() const {
        auto part = [](const std::string& known, std::size_t worst) { return known.empty() ? worst : known.size(); };
        return 4 + part(nick, kWorstNick) + part(user, kWorstUser) + part(host, kWorstHost);
    }
};

// Whether the server is still there: any byte from it counts.
struct Liveness {
    using Clock = std::chrono::steady_clock;
    int timeout_s = 0;           // silence before the link is dropped; 0: never
    Clock::time_point heard{};   // when the server last sent anything
    bool probed = false;         // our PING went out since then
};

struct Session {
    OwnPrefix self;
    CapState caps;
    LoginState login;
    Liveness alive;
    // When the link came up, on the pace clock: the login's time counts
    // from here, as the connect has a bound of its own.
    std::chrono::steady_clock::time_point up_since{};
    // The server sent ERROR: it is ending the link, for this reason (its
    // last such line's text, made one clean line).
    bool server_ended = false;
    std::string server_error;
    // The certificate a TLS server showed, once the link is up.
    std::optional<platform::CertFingerprint> server_certificate;
};

#endif
