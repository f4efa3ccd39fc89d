// Where a link's capability negotiation stands, and what it has enabled.
// The negotiation itself is protocol/caps.cpp.
#ifndef QV_SESSION_CAPS_H
#define QV_SESSION_CAPS_H

#include <cstdint>
#include <deque>
#include <string>

#include "platform/secret.h"
#include "session/settings.h"

// The capabilities the module uses, one bit each.
using CapBits = std::uint16_t;
enum Cap : CapBits {
    kCapServerTime = 1 << 0,
    kCapAccountTag = 1 << 1,
    kCapMessageTags = 1 << 2,
    kCapSasl = 1 << 3,
    // What keeps the room true: every status, user and host in NAMES, the
    // account and real name at a join, logins, absences, new hosts and
    // real names as they happen.
    kCapMultiPrefix = 1 << 4,
    kCapUserhostInNames = 1 << 5,
    kCapExtendedJoin = 1 << 6,
    kCapAccountNotify = 1 << 7,
    kCapAwayNotify = 1 << 8,
    kCapChghost = 1 << 9,
    kCapSetname = 1 << 10,
};

struct CapState {
    enum class Step {
        Off,       // not begun
        Listing,   // CAP LS 302 sent: the list, maybe in several lines
        Settling,  // requests and the login under way, CAP END not yet sent
        Done,      // CAP END sent, or the server registered us
        Ignored,   // the server showed it ignores CAP (421, or passed it over)
    };

    Step step = Step::Off;
    // The server has answered CAP at least once: it holds registration
    // for us, so the negotiation must end within the login's bound.
    bool answered = false;
    CapBits offered = 0;  // of ours, what the server lists (LS, NEW, less DEL)
    CapBits enabled = 0;  // what it acknowledged and has not deleted
    // Our CAP REQs not yet answered, in order: each ACK or NAK answers the
    // oldest, and must name just what it asked.
    std::deque<CapBits> asked;
    // The value of "sts" in the list, for the end of the list.
    std::string sts;
    bool sts_listed = false;
    // The registration lines (framed, CAP LS 302 first; PASS may hold a
    // password), kept until the welcome: a server that requires TLS has
    // them sent again on the secure link, one that refuses the fixed
    // password has them sent again without it.
    platform::Secret registration;
    ServerPassword password = ServerPassword::None;
    // All but CAP LS wait for the server's first word on CAP: a script's
    // password over plain TCP goes only once STS could have moved the link.
    bool registration_waits = false;
    // The server welcomed us (001): the script's lines go.
    bool welcomed = false;

    bool Negotiating() const { return step == Step::Listing || step == Step::Settling; }
    // The script's lines wait until this holds.
    bool Over() const { return step == Step::Done || step == Step::Ignored; }
};

#endif
