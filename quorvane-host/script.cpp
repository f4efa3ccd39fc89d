// Start-up and the script: the libraries, the host's helpers, the prelude,
// then the script with its arguments. Both run inside lua_cpcall, so any
// error ends in a message, not an unwinding.
#include "errors.h"
#include "lua_host.h"
#include "prelude.h"
#include "protect.h"

#include <cstdio>

namespace qvhost {

namespace {

struct ScriptRequest {
    int argc;
    char** argv;
    int script_index;
};

}  // namespace

int LuaHost::InstallStep(lua_State* L) {
    auto* self = static_cast<LuaHost*>(lua_touserdata(L, 1));
    luaL_openlibs(L);
    InstallSteps(L);
    lua_pushcfunction(L, Traceback);
    self->traceback_ref_ = luaL_ref(L, LUA_REGISTRYINDEX);

    if (luaL_loadbuffer(L, kPrelude, kPreludeSize, "=prelude") != 0) lua_error(L);
    lua_newtable(L);
    RegisterNatives(L, self);
    lua_call(L, 1, 1);  // the prelude returns the timer dispatcher
    if (!lua_isfunction(L, -1)) luaL_error(L, "prelude returned no timer dispatcher");
    self->timer_fn_ref_ = luaL_ref(L, LUA_REGISTRYINDEX);
    return 0;
}

bool LuaHost::Install(std::string* error) {
    if (lua_cpcall(main_, InstallStep, this) != 0) {
        const char* msg = lua_tostring(main_, -1);
        *error = msg != nullptr ? msg : "unknown error";
        lua_settop(main_, 0);
        return false;
    }
    handles::Install(main_, this);
    return true;
}

int LuaHost::ArgsStep(lua_State* L) {
    auto* r = static_cast<ScriptRequest*>(lua_touserdata(L, 1));
    lua_createtable(L, r->argc - r->script_index, r->script_index + 1);
    for (int i = 0; i < r->argc; ++i) {
        lua_pushstring(L, r->argv[i]);
        lua_rawseti(L, -2, i - r->script_index);
    }
    lua_setfield(L, LUA_GLOBALSINDEX, "arg");

    if (luaL_loadfile(L, r->argv[r->script_index]) != 0) lua_error(L);
    int n = 0;
    for (int i = r->script_index + 1; i < r->argc; ++i, ++n) {
        luaL_checkstack(L, 1, "too many arguments");
        lua_pushstring(L, r->argv[i]);
    }
    lua_call(L, n, 0);
    return 0;
}

bool LuaHost::RunScript(int argc, char** argv, int script_index, std::string* error) {
    ScriptRequest r{argc, argv, script_index};
    bool ok = lua_cpcall(main_, ArgsStep, &r) == 0;
    if (!ok) {
        const char* msg = lua_type(main_, -1) == LUA_TSTRING ? lua_tostring(main_, -1) : nullptr;
        *error = msg != nullptr ? msg : "(error object is not a string)";
    }
    lua_settop(main_, 0);
    std::fflush(stdout);
    return ok;
}

}  // namespace qvhost
