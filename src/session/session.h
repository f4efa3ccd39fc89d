// What one link has learnt from its server and negotiated with it. Made
// with the link and gone with it: nothing of it outlives the link.
#ifndef QV_SESSION_SESSION_H
#define QV_SESSION_SESSION_H

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "platform/fingerprint.h"
#include "room/room.h"
#include "session/caps.h"
#include "session/login.h"

// Whether the server is still there: any byte from it counts.
struct Liveness {
    using Clock = std::chrono::steady_clock;
    int timeout_s = 0;           // silence before the link is dropped; 0: never
    Clock::time_point heard{};   // when the server last sent anything
    bool probed = false;         // our PING went out since then
};

struct Session {
    // The channels we are in, who is in them, the server's rules, and
    // ourselves.
    Room room;
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
