#include "protect.h"

#include "errors.h"

#include <utility>

namespace qvhost {

namespace {

int g_entry_ref = LUA_NOREF;      // StepEntry, registered once: pushing a fresh C function allocates
int g_traceback_ref = LUA_NOREF;  // Traceback, likewise

struct Request {
    StepFn step;
    void* data;
};

// The request of the innermost step: handed over here rather than pushed
// as an argument, which would cost a push and a read on every event.
// Steps nest (a handler calls a script function that raises another
// event), so each Protected restores the one it found.
const Request* g_request = nullptr;

int StepEntry(lua_State* L) {
    const Request* r = g_request;
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
    const Request request{step, data};
    int base = lua_gettop(L) - nargs;  // first argument
    int handler = 0;
    if (report) {
        lua_rawgeti(L, LUA_REGISTRYINDEX, g_traceback_ref);
        if (nargs > 0) lua_insert(L, base + 1);
        handler = base + 1;
    }
    lua_rawgeti(L, LUA_REGISTRYINDEX, g_entry_ref);
    if (nargs > 0) lua_insert(L, -nargs - 1);
    const Request* outer = std::exchange(g_request, &request);
    const int status = lua_pcall(L, nargs, nresults, handler);
    g_request = outer;
    if (status == 0) {
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
