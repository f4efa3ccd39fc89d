// irc.Debug, irc.SetUTF8 and irc.GetVersion: the functions that touch only the module.
#include <cstdio>

#include "commands/commands.h"
#include "module/globals.h"
#include "module/version.h"

int QV_CDECL bDebug(lua_State*) {
    if (gLua == nullptr) return 0;
    Globals::bDebug = gLua->ArgFlag(1);
    return 0;
}

int QV_CDECL SetUTF8(lua_State*) {
    if (gLua == nullptr) return 0;
    Globals::settings.utf8 = gLua->ArgFlag(1);
    return 0;
}

int QV_CDECL GetVersion(lua_State*) {
    if (gLua == nullptr) return 0;
    char text[64];
    std::snprintf(text, sizeof text, "Ver %d.%d BUILD %d", kVersionMajor, kVersionMinor, kBuildNumber);
    gLua->PushText(text);
    return 1;
}
