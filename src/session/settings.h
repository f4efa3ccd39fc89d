// What scripts set for the links they connect from then on. Each Connect
// copies what a link needs into that link's session, so a change made
// while a link is up concerns the next one.
#ifndef QV_SESSION_SETTINGS_H
#define QV_SESSION_SETTINGS_H

#include <memory>

#include "platform/client_cert.h"
#include "platform/secret.h"

enum class SaslMechanism { Plain, External, ScramSha256 };

// Silence from the server after which a link is taken for dead; the probe
// goes out at half of it.
constexpr int kDefaultPingTimeoutS = 240;

// What PASS a registration carries.
enum class ServerPassword {
    None,    // the script turned it off
    Fixed,   // the one every earlier release sent, which a server may refuse
    Script,  // the script's own: a secret
};

struct Settings {
    // The PASS text; empty for the fixed one every earlier release sent,
    // or for none.
    platform::Secret password;
    bool no_password = false;
    // The account a SASL login is made to; empty for no login.
    platform::Secret sasl_account;
    platform::Secret sasl_password;
    SaslMechanism sasl_mechanism = SaslMechanism::Plain;
    // What TLS links present to a server that asks; null for nothing.
    std::shared_ptr<const platform::ClientCert> client_cert;
    // Seconds of silence before a link is dropped; 0: never.
    int ping_timeout_s = kDefaultPingTimeoutS;
    // Text is UTF-8 both ways (off: 7-bit). Unlike the rest it holds from
    // the next line on, on the link that is up too.
    bool utf8 = false;
};

#endif
