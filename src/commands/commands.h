// The script functions behind the global table `irc`.
#ifndef QV_COMMANDS_COMMANDS_H
#define QV_COMMANDS_COMMANDS_H

#include "host/lua_interface.h"

int QV_CDECL Connect(lua_State* state);
int QV_CDECL Close(lua_State* state);
int QV_CDECL SendRaw(lua_State* state);
int QV_CDECL bDebug(lua_State* state);
int QV_CDECL SendMessage(lua_State* state);
int QV_CDECL Join(lua_State* state);
int QV_CDECL Part(lua_State* state);
int QV_CDECL NickServ(lua_State* state);
int QV_CDECL GetVersion(lua_State* state);
// Registered after the nine, in this order.
int QV_CDECL SetPingTimeout(lua_State* state);
int QV_CDECL SetPassword(lua_State* state);
int QV_CDECL SetSASL(lua_State* state);
int QV_CDECL SetUTF8(lua_State* state);
int QV_CDECL SetClientCert(lua_State* state);
int QV_CDECL SetStsFile(lua_State* state);
int QV_CDECL GetNick(lua_State* state);
int QV_CDECL GetChannels(lua_State* state);
int QV_CDECL GetUsers(lua_State* state);
int QV_CDECL GetUser(lua_State* state);
int QV_CDECL GetStatus(lua_State* state);
int QV_CDECL GetTopic(lua_State* state);
int QV_CDECL ISupport(lua_State* state);
int QV_CDECL FoldCase(lua_State* state);

#endif
