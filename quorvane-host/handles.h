// The handle pool: ILuaObject handles for the script values the module
// looks up.
//
// The module never releases a handle, so the host reclaims them all when
// the outermost call into the module returns. Until then a handle keeps its
// value alive and keeps naming it. A lookup that finds a value already
// handed out in the same call gets the same handle back: a module raising
// a hundred thousand events in one poll tick holds two handles (hook and
// hook.Call), not two hundred thousand. Handles name values and cannot be
// changed through, so sharing one is invisible to the module.
//
// Values are pinned in registry slots made at start-up (and when the pool
// grows, under protection). A free slot holds false, never nil, so its key
// survives every rehash of the registry and pinning a value is a raw write
// to an existing key: it allocates nothing and cannot raise.
#ifndef QV_HOST_HANDLES_H
#define QV_HOST_HANDLES_H

#include "host/lua_interface.h"

#include <lua.hpp>

#include <cstddef>
#include <cstdint>

namespace qvhost {

class LuaHost;

class LuaObject final : public ILuaObject {
public:
    void SetFunctionMember(const char* name, ScriptFunction fn) override;
    ILuaObject* FindMember(const char* name) override;

    LuaHost* host = nullptr;
    int slot = 0;  // pin slot from 1; 0 names nil (the nil handle, or a handle kept past its call)
    int key = LUA_NOREF;  // registry key of the pin slot, while slot is not 0
    // Identity of the value, for sharing the handle within a call.
    int type = LUA_TNIL;
    std::uint64_t bits = 0;
    std::size_t bucket = 0;
};

namespace handles {

// Creates the first pin slots; inside a protected call at start-up.
void Install(lua_State* L, LuaHost* host);

// Takes the value on top of the stack (pops it) and returns its handle:
// the one already handed out in this call for the same value, else a new
// one. Nil, and a value that cannot be pinned, give the nil handle. Uses
// the caller's headroom only. `*hint`, when set, is a handle that may
// name the same value: checked first, it spares the search; it is set to
// the handle returned.
ILuaObject* Pin(lua_State* L, int type, LuaObject** hint = nullptr);

// Pushes the value a handle names (nil for none, or slot 0). One slot, no
// raise.
inline void Push(lua_State* L, const LuaObject* object) {
    if (object == nullptr || object->slot == 0)
        lua_pushnil(L);
    else
        lua_rawgeti(L, LUA_REGISTRYINDEX, object->key);
}

// Whether `hint` is live and names the value on top, of type `type`: the
// lookups' fast path, which then spares Pin's search. Tables and functions
// are told by address; any other value takes the search.
inline bool Holds(const LuaObject* hint, lua_State* L, int type) {
    return hint != nullptr && hint->slot != 0 && hint->type == type &&
           (type == LUA_TTABLE || type == LUA_TFUNCTION) &&
           hint->bits == reinterpret_cast<std::uintptr_t>(lua_topointer(L, -1));
}

// Ends every handle handed out since the last reclaim; they read as nil
// from now on. One slot, no raise.
void Reclaim(lua_State* L);

ILuaObject* Nil();

std::size_t Live();      // handed out, not yet reclaimed
std::size_t Peak();      // most ever live at once
std::size_t PoolSize();  // handle objects ever made

}  // namespace handles
}  // namespace qvhost

#endif
