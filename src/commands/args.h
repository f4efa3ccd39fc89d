// Reading script arguments, and keeping them to one protocol line.
#ifndef QV_COMMANDS_ARGS_H
#define QV_COMMANDS_ARGS_H

#include <string>
#include <string_view>

#include "host/lua_interface.h"

// A text argument; none is taken as empty text.
inline std::string TextArg(ILuaInterface& lua, int pos) {
    const char* text = lua.ArgText(pos);
    return text != nullptr ? std::string(text) : std::string();
}

// A text argument as the host holds it, valid during the call; none is
// taken as empty text. For secrets: nothing of ours holds a copy.
inline std::string_view TextArgView(ILuaInterface& lua, int pos) {
    const char* text = lua.ArgText(pos);
    return text != nullptr ? std::string_view(text) : std::string_view();
}

// The text up to its first CR or LF. Script-supplied names and parameters
// are cut there: a line break would let chat text start a command of its
// own on the server.
inline std::string_view FirstLine(std::string_view text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

#endif
