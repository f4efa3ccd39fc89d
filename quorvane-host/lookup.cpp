#include "lookup.h"

#include "lua_host.h"
#include "protect.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace qvhost {
namespace {

// Names the module looks up, interned once and anchored in the registry, so
// a raw read can push its key without allocating. The module looks up a
// handful of names ("hook", "Call", its own table); past the cache's size a
// name simply takes the protected path.
struct Name {
    std::string text;
    int ref = LUA_NOREF;
    // The handle the last lookup of this name gave, offered to the next:
    // taken again when it still names the value found (handles::Pin).
    LuaObject* last = nullptr;
};
std::array<Name, 32> g_names;
std::size_t g_name_count = 0;
// The module names what it looks up with literals, so the entry last
// found at an address, kept by the address's low bits, is nearly always
// the one: one comparison instead of a search.
std::array<Name*, 16> g_by_address{};

struct NameRequest {
    const char* name;
    int ref;
};

int InternName(lua_State* L, void* data) {
    auto* r = static_cast<NameRequest*>(data);
    lua_pushstring(L, r->name);
    r->ref = luaL_ref(L, LUA_REGISTRYINDEX);
    return 0;
}

inline bool Same(const std::string& known, const char* name) {
    const char* k = known.c_str();
    while (*k != '\0' && *k == *name) ++k, ++name;
    return *k == *name;
}

inline Name*& ByAddress(const char* name) {
    return g_by_address[(reinterpret_cast<std::uintptr_t>(name) >> 2) % g_by_address.size()];
}

Name* NameKeySlow(lua_State* L, const char* name) {
    Name*& hint = ByAddress(name);
    for (std::size_t i = 0; i < g_name_count; ++i)
        if (Same(g_names[i].text, name)) return hint = &g_names[i];
    if (g_name_count == g_names.size()) return nullptr;
    Name& slot = g_names[g_name_count];
    try {
        slot.text = name;
    } catch (...) {
        return nullptr;
    }
    NameRequest r{name, LUA_NOREF};
    if (!Protected(L, InternName, &r, 0, 0, OnError::Quiet) || r.ref == LUA_NOREF) return nullptr;
    slot.ref = r.ref;
    ++g_name_count;
    return hint = &slot;
}

// The interned name's entry, or null. The text is compared even for the
// entry found by address: a caller may reuse a buffer for another name.
inline Name* NameKey(lua_State* L, const char* name) {
    Name* hint = ByAddress(name);
    if (hint != nullptr && Same(hint->text, name)) return hint;
    return NameKeySlow(L, name);
}

bool HasMetatable(lua_State* L, int index) {
    if (!lua_getmetatable(L, index)) return false;
    lua_pop(L, 1);
    return true;
}

// (object) -> object[name], with metamethods
int GetField(lua_State* L, void* data) {
    lua_getfield(L, 1, static_cast<const char*>(data));
    return 1;
}

int GetGlobal(lua_State* L, void* data) {
    lua_getfield(L, LUA_GLOBALSINDEX, static_cast<const char*>(data));
    return 1;
}

}  // namespace

ILuaObject* LookupGlobal(lua_State* L, const char* name) {
    if (name == nullptr) return handles::Nil();
    Name* key = NameKey(L, name);
    if (key != nullptr) {
        lua_rawgeti(L, LUA_REGISTRYINDEX, key->ref);
        lua_rawget(L, LUA_GLOBALSINDEX);
        int type = lua_type(L, -1);
        if (handles::Holds(key->last, L, type)) {
            lua_pop(L, 1);
            return key->last;
        }
        if (type != LUA_TNIL || !HasMetatable(L, LUA_GLOBALSINDEX)) return handles::Pin(L, type, &key->last);
        lua_pop(L, 1);
    }
    if (!Protected(L, GetGlobal, const_cast<char*>(name), 0, 1, OnError::Quiet)) return handles::Nil();
    return handles::Pin(L, lua_type(L, -1));
}

ILuaObject* LookupMember(lua_State* L, const LuaObject* object, const char* name) {
    if (object == nullptr || object->slot == 0 || name == nullptr) return handles::Nil();
    handles::Push(L, object);
    if (object->type == LUA_TTABLE) {  // the handle knows its value's type
        Name* key = NameKey(L, name);
        if (key != nullptr) {
            lua_rawgeti(L, LUA_REGISTRYINDEX, key->ref);
            lua_rawget(L, -2);
            int type = lua_type(L, -1);
            if (handles::Holds(key->last, L, type)) {
                lua_pop(L, 2);
                return key->last;
            }
            const int table = lua_gettop(L) - 1;
            if (type != LUA_TNIL || !HasMetatable(L, table)) {
                lua_replace(L, table);
                return handles::Pin(L, type, &key->last);
            }
            lua_pop(L, 1);
        }
    }
    if (!Protected(L, GetField, const_cast<char*>(name), 1, 1, OnError::Quiet)) return handles::Nil();
    return handles::Pin(L, lua_type(L, -1));
}

ILuaObject* LuaHost::FindGlobal(const char* name) { return LookupGlobal(Current(), name); }

ILuaObject* LuaObject::FindMember(const char* name) { return LookupMember(host->Current(), this, name); }

}  // namespace qvhost
