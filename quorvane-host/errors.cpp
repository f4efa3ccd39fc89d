#include "errors.h"

#include <cstdio>

namespace qvhost {

int Traceback(lua_State* L) {
    const char* msg = lua_tostring(L, 1);
    if (msg == nullptr) {
        if (luaL_callmeta(L, 1, "__tostring") && lua_type(L, -1) == LUA_TSTRING)
            msg = lua_tostring(L, -1);
        else
            msg = lua_pushfstring(L, "(error object is a %s value)", luaL_typename(L, 1));
    }
    luaL_traceback(L, L, msg, 1);
    return 1;
}

void ReportError(lua_State* L, int index) {
    const char* msg = lua_type(L, index) == LUA_TSTRING ? lua_tostring(L, index) : "(error object is not a string)";
    // Whatever was printed before the failure comes first.
    std::fflush(stdout);
    std::fprintf(stderr, "[ERROR] %s\n", msg);
}

void ReportException(const char* where, const char* what) {
    std::fflush(stdout);
    std::fprintf(stderr, "[ERROR] C++ exception escaped %s: %s\n", where, what);
}

}  // namespace qvhost
