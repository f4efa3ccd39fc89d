// Module-wide state: one instance per process, shared by every opening.
#ifndef QV_MODULE_GLOBALS_H
#define QV_MODULE_GLOBALS_H

#include <memory>
#include <string_view>

#include "host/lua_interface.h"
#include "net/line_kind.h"
#include "platform/client_cert.h"
#include "protocol/own_prefix.h"

class Connection;

// The host interface of the latest opening; null while the module is shut.
extern ILuaInterface* gLua;
extern ILuaModuleManager* modulemanager;

// Static holder: never instantiated.
struct Globals {
    Globals() = delete;

    // The one connection; created by the first Init, replaced only by a
    // Connect that finds it spent (closed, dropped or failed).
    static std::unique_ptr<Connection> client;
    // Echo of received lines to the host console.
    static bool bDebug;
    // Seconds of silence from the server before a link is dropped (0:
    // never); taken by each Connect.
    static int pingTimeout;
    // Text is UTF-8 both ways (off: 7-bit, every byte above 0x7F as '?').
    static bool bUTF8;
    // Our own prefix as the server relays it, as far as it has told us.
    static OwnPrefix self;
    // The certificate TLS links connected from now on present to a server
    // that asks for one; null for none. Set by irc.SetClientCert.
    static std::shared_ptr<const platform::ClientCert> clientCert;

    // Sends one IRC line: CR LF appended, bytes above 0x7F sent as '?'
    // (with bUTF8, only those of no well-formed character), dropped unless
    // connected or connecting, queued behind what waits, paced by kind.
    static SendResult SendIRCString(std::string_view text, LineKind kind = LineKind::Script);
};

#endif
