// What the script functions that send lines give back.
#ifndef QV_COMMANDS_RESULTS_H
#define QV_COMMANDS_RESULTS_H

#include "host/lua_interface.h"
#include "module/console.h"
#include "net/line_kind.h"

// Nothing, unless the line was refused: then the text "Send queue full",
// also printed once on the console, so the script can tell and back off.
inline int SendOutcome(ILuaInterface& lua, SendResult result) {
    return result == SendResult::Refused ? ReportFailure(lua, "Send queue full") : 0;
}

#endif
