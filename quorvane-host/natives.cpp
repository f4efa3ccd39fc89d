// The C functions behind the prelude's host and timer tables. The prelude
// checks arguments for scripts, but a script can still reach these (the
// debug library hands out upvalues), so every number is range-checked here
// before it becomes an integer.
#include "lua_host.h"
#include "platform/loop.h"

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <ctime>

namespace qvhost {

namespace {

// A script timer's key travels through the loop as its context pointer;
// keys are whole numbers from 1 to 2^53, exact in a Lua number.
constexpr lua_Number kMaxKey = 9007199254740992.0;

bool WholeIn(lua_Number n, lua_Number lo, lua_Number hi) { return n >= lo && n <= hi && n == std::floor(n); }

// Entries in the Lua registry: the handle pool's slots, references the
// host keeps, and whatever the libraries put there. A walk with nil as the
// first key never raises.
std::size_t RegistryEntries(lua_State* L) {
    std::size_t n = 0;
    lua_pushnil(L);
    while (lua_next(L, LUA_REGISTRYINDEX) != 0) {
        ++n;
        lua_pop(L, 1);
    }
    return n;
}

}  // namespace

void LuaHost::RegisterNatives(lua_State* L, LuaHost* self) {
    const struct {
        const char* name;
        lua_CFunction fn;
    } natives[] = {
        {"quit", NativeQuit},
        {"set_timer", NativeSetTimer},
        {"kill_timer", NativeKillTimer},
        {"open_module", NativeOpenModule},
        {"close_module", NativeCloseModule},
        {"stats", NativeStats},
        {"reset_tick_stats", NativeResetTickStats},
        {"clock", NativeClock},
    };
    for (const auto& n : natives) {
        lua_pushlightuserdata(L, self);
        lua_pushcclosure(L, n.fn, 1);
        lua_setfield(L, -2, n.name);
    }
}

int LuaHost::NativeQuit(lua_State* L) {  // (code)
    LuaHost* self = Self(L);
    lua_Number code = lua_tonumber(L, 1);
    // Truncated like C's exit(); out of int's range counts as the nearest
    // end of it, and NaN as failure.
    int status = 1;
    if (code >= static_cast<lua_Number>(INT_MAX))
        status = INT_MAX;
    else if (code <= static_cast<lua_Number>(INT_MIN))
        status = INT_MIN;
    else if (!std::isnan(code))
        status = static_cast<int>(code);
    self->quit_ = true;
    self->exit_code_ = status;
    qv_loop_wakeup();
    return 0;
}

int LuaHost::NativeSetTimer(lua_State* L) {  // (milliseconds, key) -> loop timer id, or nothing
    lua_Number ms = lua_tonumber(L, 1);
    if (!(ms >= 0)) ms = 0;
    if (ms > 2147483647.0) ms = 2147483647.0;
    lua_Number key = lua_tonumber(L, 2);
    if (!WholeIn(key, 1, kMaxKey)) return 0;
    void* context = reinterpret_cast<void*>(static_cast<std::uintptr_t>(key));
    unsigned id = 0;
    try {
        id = qv_loop_set_timer(static_cast<unsigned>(ms), TimerThunk, context);
    } catch (...) {
        return 0;
    }
    lua_pushnumber(L, id);
    return 1;
}

int LuaHost::NativeKillTimer(lua_State* L) {  // (loop timer id)
    lua_Number id = lua_tonumber(L, 1);
    if (WholeIn(id, 1, static_cast<lua_Number>(UINT_MAX))) qv_loop_kill_timer(static_cast<unsigned>(id));
    return 0;
}

int LuaHost::NativeOpenModule(lua_State* L) {
    Self(L)->RequestModule(L, true);
    return 0;
}

int LuaHost::NativeCloseModule(lua_State* L) {
    Self(L)->RequestModule(L, false);
    return 0;
}

int LuaHost::NativeStats(lua_State* L) {
    LuaHost* self = Self(L);
    const auto registry = static_cast<lua_Number>(RegistryEntries(L));
    lua_createtable(L, 0, 13);
    auto set = [L](const char* k, lua_Number v) {
        lua_pushnumber(L, v);
        lua_setfield(L, -2, k);
    };
    set("top", self->last_top_);
    set("dropped", static_cast<lua_Number>(self->dropped_));
    set("handles", static_cast<lua_Number>(handles::Live()));
    set("peak_handles", static_cast<lua_Number>(handles::Peak()));
    set("handle_pool", static_cast<lua_Number>(handles::PoolSize()));
    set("timers", qv_loop_timer_count());
    set("registry", registry);
    set("dispatches", static_cast<lua_Number>(self->dispatches_));
    set("depth", self->depth_);
    set("ticks", static_cast<lua_Number>(self->ticks_.Count()));
    set("tick_max", static_cast<lua_Number>(self->ticks_.MaxNs()) * 1e-9);
    set("tick_p99", static_cast<lua_Number>(self->ticks_.PercentileNs(0.99)) * 1e-9);
    lua_pushboolean(L, self->module_open_);
    lua_setfield(L, -2, "open");
    return 1;
}

int LuaHost::NativeResetTickStats(lua_State* L) {
    Self(L)->ticks_.Reset();
    return 0;
}

int LuaHost::NativeClock(lua_State* L) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    lua_pushnumber(L, static_cast<lua_Number>(ts.tv_sec) + static_cast<lua_Number>(ts.tv_nsec) * 1e-9);
    return 1;
}

}  // namespace qvhost
