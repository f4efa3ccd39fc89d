// Reading script arguments.
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

#endif
