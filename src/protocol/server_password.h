// The fixed server password that every link sends unless the script sets
// its own or none: a server that wants no password (ngircd as Debian
// installs it) refuses the link for it, and must not lock the bot out.
#ifndef QV_PROTOCOL_SERVER_PASSWORD_H
#define QV_PROTOCOL_SERVER_PASSWORD_H

#include "protocol/reply.h"

class Connection;

// Before the welcome, a 464 or an ERROR on a link that sent the fixed
// password: the same host is connected again at once, with the same
// registration but no PASS, and the script's lines on hold; true then.
// Once only, as the link made so sends no PASS. A password the script set
// is never dropped so: its refusal is the link's loss.
bool RetryWithoutFixedPassword(Connection& link, const Reply& r);

#endif
