// What the script functions that send lines give back.
#ifndef QV_COMMANDS_RESULTS_H
#define QV_COMMANDS_RESULTS_H

#include "host/lua_interface.h"
#include "net/line_kind.h"

// Nothing, unless the line was refused: then the text "Send queue full",
// also printed once on the console, so the script can tell and back off.
inline int SendOutcome(ILuaInterface& lua, SendResult result) {
    if (result != SendResult::Refused) return 0;
    lua.PrintFormatted("[quorvane] !! Send queue full\n");
    lua.PushText("Send queue full");
    return 1;
}

#endif
