#include "protect.h"

#include "errors.h"

namespace qvhost {

namespace {

int g_entry_ref = LUA_NOREF;      // StepEntry, registered once: pushing a fresh C function allocates
int g_traceback_ref = LUA_NOREF;  // Traceback, likewise

struct Request {
    StepFn step;
    void* data;
};

int StepEntry(lua_State* L) {
    const auto* r = static_cast<const Request*>(lua_touserdata(L, 1));
    int n = r->step(L, r->data);
    // Whatever the step and the Lua it ran did to the stack, the caller
    // gets its headroom back; growing here is protected.
    if (!lua_checkstack(L, kHeadroom + 3)) luaL_error(L, "stack overflow");
    return n;
}

int Grow(lua_State* L) {
    if (!lua_checkstack(L, kHeadroom + 3)) luaL_error(L, "stack overflow");
    return 0;
}

}  // namespace

void InstallSteps(lua_State* L) {
    lua_pushcfunction(L, StepEntry);
    g_entry_ref = luaL_ref(L, LUA_REGISTRYINDEX);
    lua_pushcfunction(L, Traceback);
    g_traceback_ref = luaL_ref(L, LUA_REGISTRYINDEX);
}

bool Protected(lua_State* L, StepFn step, void* data, int nargs, int nresults, OnError on_error) {
    bool report = on_error == OnError::Report;
    Request request{step, data};
    int base = lua_gettop(L) - nargs;  // first argument
    int handler = 0;
    if (report) {
        lua_rawgeti(L, LUA_REGISTRYINDEX, g_traceback_ref);
        lua_insert(L, base + 1);
        handler = base + 1;
    }
    lua_rawgeti(L, LUA_REGISTRYINDEX, g_entry_ref);
    lua_pushlightuserdata(L, &request);
    if (nargs > 0) {
        lua_insert(L, -nargs - 2);
        lua_insert(L, -nargs - 2);
    }
    if (lua_pcall(L, nargs + 1, nresults, handler) == 0) {
        if (!report) return true;
        if (nresults == 0)
            lua_settop(L, base);
        else
            lua_remove(L, handler);
        return true;
    }
    if (report) ReportError(L, -1);
    // Without a message handler the error value sits where the step was.
    lua_settop(L, on_error == OnError::Keep ? base + 1 : base);
    // The message handler may have run a GC step that shrank the stack.
    EnsureHeadroom(L);
    return false;
}

bool EnsureHeadroom(lua_State* L) {
    if (lua_cpcall(L, Grow, nullptr) == 0) return true;
    lua_pop(L, 1);
    return false;
}

}  // namespace qvhost
