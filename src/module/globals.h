// Module-wide state: one instance per process, shared by every opening.
#ifndef QV_MODULE_GLOBALS_H
#define QV_MODULE_GLOBALS_H

#include <memory>
#include <string>
#include <string_view>

#include "host/lua_interface.h"
#include "net/line_kind.h"
#include "session/settings.h"
#include "session/sts.h"

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
    // What scripts set for the links they connect from then on.
    static Settings settings;
    // What servers required of later links to their names: TLS.
    static StsPolicies stsPolicies;
    // The file they are kept in across restarts (irc.SetStsFile); empty:
    // none, they last as long as the process.
    static std::string stsFile;

    // Sends one IRC line: CR LF appended, bytes above 0x7F sent as '?'
    // (with UTF-8 on, only those of no well-formed character), dropped unless
    // connected or connecting, queued behind what waits, paced by kind.
    static SendResult SendIRCString(std::string_view text, LineKind kind = LineKind::Script);
};

#endif
