#include "lookup.h"

#include "protect.h"

#include <array>
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
    // The address the module last passed the name at: the module names
    // what it looks up with literals, so an address seen before usually
    // finds its entry without comparing against the others.
    const char* seen = nullptr;
    int ref = LUA_NOREF;
    // The handle the last lookup of this name gave, offered to the next:
    // taken again when it still names the value found (handles::Pin).
    LuaObject* last = nullptr;
};
std::array<Name, 32> g_names;
std::size_t g_name_count = 0;

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

bool Same(const std::string& known, const char* name) {
    const char* k = known.c_str();
    while (*k != '\0' && *k == *name) ++k, ++name;
    return *k == *name;
}

// The interned name's entry, or null. The text is compared even when the
// address matches: a caller may reuse a buffer for another name.
Name* NameKey(lua_State* L, const char* name) {
    for (std::size_t i = 0; i < g_name_count; ++i)
        if (g_names[i].seen == name && Same(g_names[i].text, name)) return &g_names[i];
    for (std::size_t i = 0; i < g_name_count; ++i) {
        if (Same(g_names[i].text, name)) {
            g_names[i].seen = name;
            return &g_names[i];
        }
    }
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
    slot.seen = name;
    ++g_name_count;
    return &slot;
}

bool HasMetatable(lua_State* L, int index) {
    if (!lua_getmetatable(L, index)) return false;
    lua_pop(L, 1);
    return true;
}

// (object) -> object[name], with metamethods
int GetField(lua_State* L, void* data) {
    lua_getfield(L, 2, static_cast<const char*>(data));
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
        if (type != LUA_TNIL || !HasMetatable(L, LUA_GLOBALSINDEX)) return handles::Pin(L, type, &key->last);
        lua_pop(L, 1);
    }
    if (!Protected(L, GetGlobal, const_cast<char*>(name), 0, 1, OnError::Quiet)) return handles::Nil();
    return handles::Pin(L, lua_type(L, -1));
}

ILuaObject* LookupMember(lua_State* L, const LuaObject* object, const char* name) {
    if (object == nullptr || object->slot == 0 || name == nullptr) return handles::Nil();
    handles::Push(L, object->slot);
    if (object->type == LUA_TTABLE) {  // the handle knows its value's type
        Name* key = NameKey(L, name);
        if (key != nullptr) {
            int table = lua_gettop(L);
            lua_rawgeti(L, LUA_REGISTRYINDEX, key->ref);
            lua_rawget(L, table);
            int type = lua_type(L, -1);
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

}  // namespace qvhost
