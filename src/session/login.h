// Where a link's SASL login stands. The exchange itself is
// protocol/sasl.cpp; its state is the link's own, so a new link never
// inherits a step, a flag or a credential of an old one.
#ifndef QV_SESSION_LOGIN_H
#define QV_SESSION_LOGIN_H

#include <string>

#include "platform/secret.h"
#include "session/settings.h"

struct LoginState {
    // Each step is left only by the reply it waits for; any other reply
    // that belongs to the exchange ends the link.
    enum class Step {
        Off,         // no login asked for, or it failed
        Waiting,     // the capability negotiation lists and requests sasl
        Mechanism,   // sasl acknowledged, AUTHENTICATE <mechanism> sent: the server's "+"
        ServerFirst, // SCRAM: our first message sent: the server's, with its salt
        ServerFinal, // SCRAM: our proof sent: the server's signature
        Verdict,     // our credentials sent: 903
        Done,        // 903 came
    };

    Step step = Step::Off;
    SaslMechanism mechanism = SaslMechanism::Plain;
    // Our copy for this link, cleared once sent.
    platform::Secret account, password;
    bool offered = false;  // the capability list named sasl
    bool takes_ours = false;  // ... and our mechanism among its mechanisms, or listed none
    std::string mechanisms;   // what it listed, for the reason when ours is missing
    // The fingerprint of the client certificate the link presents, if any:
    // a refused EXTERNAL login names it.
    std::string certificate;

    // SCRAM's own (protocol/scram.h).
    struct Scram {
        std::string nonce;             // ours
        platform::Secret first_bare;   // our first message, which both sides sign
        platform::Secret server_signature;  // what the server must show at the end
        std::string received;          // the server's message so far, in base64
    } scram;

    bool Pending() const { return step != Step::Off && step != Step::Done; }
};

#endif
