#include "handles.h"

#include "lua_host.h"
#include "protect.h"

#include <cstring>
#include <memory>
#include <vector>

namespace qvhost {

void LuaObject::SetFunctionMember(const char* name, ScriptFunction fn) { host->SetFunctionMember(this, name, fn); }

namespace handles {
namespace {

constexpr std::size_t kFirstPins = 64;

LuaObject g_nil;
std::vector<int> g_pins;                         // registry key of slot i at [i - 1]
std::vector<std::unique_ptr<LuaObject>> g_pool;  // every handle ever made
std::vector<LuaObject*> g_live;                  // handle of slot i at [i - 1]
std::vector<LuaObject*> g_spare;                 // reclaimed, ready for reuse
std::vector<LuaObject*> g_index;  // open addressing by identity; null is empty; always larger than g_live
std::size_t g_peak = 0;

// Identity of the value on top: what makes two lookups the same value.
// Strings are interned, so their address is their content.
bool Identify(lua_State* L, int type, std::uint64_t* bits) {
    switch (type) {
        case LUA_TNIL:
            return false;
        case LUA_TBOOLEAN:
            *bits = static_cast<std::uint64_t>(lua_toboolean(L, -1));
            return true;
        case LUA_TNUMBER: {
            lua_Number n = lua_tonumber(L, -1);
            std::memcpy(bits, &n, sizeof n);
            return true;
        }
        default:
            *bits = reinterpret_cast<std::uintptr_t>(lua_topointer(L, -1));
            return true;
    }
}

std::size_t Hash(int type, std::uint64_t bits) {
    bits ^= static_cast<std::uint64_t>(type) * 0x9e3779b97f4a7c15ull;
    bits ^= bits >> 33;
    bits *= 0xff51afd7ed558ccdull;
    bits ^= bits >> 33;
    return static_cast<std::size_t>(bits);
}

// The live handle of a value, or null with `bucket` where it would go.
LuaObject* Find(int type, std::uint64_t bits, std::size_t* bucket) {
    std::size_t mask = g_index.size() - 1;
    for (std::size_t i = Hash(type, bits) & mask;; i = (i + 1) & mask) {
        LuaObject* o = g_index[i];
        if (o == nullptr) {
            *bucket = i;
            return nullptr;
        }
        if (o->type == type && o->bits == bits) return o;
    }
}

int AddPins(lua_State* L, void* data) {
    std::size_t want = *static_cast<std::size_t*>(data);
    while (g_pins.size() < want) {
        lua_pushboolean(L, 0);
        g_pins.push_back(luaL_ref(L, LUA_REGISTRYINDEX));  // capacity reserved: cannot throw
    }
    return 0;
}

// Room for `want` live handles. The C++ side is reserved first, so that
// nothing on the hot path allocates; the registry keys are made under
// protection.
bool Grow(lua_State* L, std::size_t want) {
    try {
        g_pins.reserve(want);
        g_live.reserve(want);
        g_spare.reserve(want);
        g_pool.reserve(want);
        std::vector<LuaObject*> index(2 * want, nullptr);
        for (LuaObject* o : g_live) {
            std::size_t mask = index.size() - 1;
            std::size_t i = Hash(o->type, o->bits) & mask;
            while (index[i] != nullptr) i = (i + 1) & mask;
            index[i] = o;
            o->bucket = i;
        }
        g_index.swap(index);
    } catch (...) {
        return false;
    }
    return Protected(L, AddPins, &want, 0, 0, OnError::Quiet) && g_pins.size() >= want;
}

LuaObject* Take() {
    if (!g_spare.empty()) {
        LuaObject* o = g_spare.back();
        g_spare.pop_back();
        return o;
    }
    try {
        g_pool.push_back(std::make_unique<LuaObject>());
    } catch (...) {
        return nullptr;
    }
    g_pool.back()->host = g_nil.host;
    return g_pool.back().get();
}

}  // namespace

void Install(lua_State* L, LuaHost* host) {
    g_nil.host = host;
    Grow(L, kFirstPins);
}

ILuaObject* Pin(lua_State* L, int type, LuaObject** hint) {
    std::uint64_t bits = 0;
    std::size_t bucket = 0;
    if (!Identify(L, type, &bits) || g_index.empty()) {
        lua_pop(L, 1);
        return &g_nil;
    }
    // A reclaimed handle has slot 0; one reused since names its new value.
    if (hint != nullptr && *hint != nullptr && (*hint)->slot != 0 && (*hint)->type == type && (*hint)->bits == bits) {
        lua_pop(L, 1);
        return *hint;
    }
    if (LuaObject* o = Find(type, bits, &bucket)) {
        lua_pop(L, 1);
        if (hint != nullptr) *hint = o;
        return o;
    }
    if (g_live.size() == g_pins.size()) {
        if (!Grow(L, 2 * g_pins.size())) {
            lua_pop(L, 1);
            return &g_nil;
        }
        Find(type, bits, &bucket);
    }
    LuaObject* o = Take();
    if (o == nullptr) {
        lua_pop(L, 1);
        return &g_nil;
    }
    g_live.push_back(o);
    o->slot = static_cast<int>(g_live.size());
    o->key = g_pins[g_live.size() - 1];
    o->type = type;
    o->bits = bits;
    o->bucket = bucket;
    g_index[bucket] = o;
    lua_rawseti(L, LUA_REGISTRYINDEX, o->key);
    if (g_live.size() > g_peak) g_peak = g_live.size();
    if (hint != nullptr) *hint = o;
    return o;
}

void Reclaim(lua_State* L) {
    for (std::size_t i = 0; i < g_live.size(); ++i) {
        LuaObject* o = g_live[i];
        lua_pushboolean(L, 0);
        lua_rawseti(L, LUA_REGISTRYINDEX, g_pins[i]);
        g_index[o->bucket] = nullptr;
        o->slot = 0;
        g_spare.push_back(o);
    }
    g_live.clear();
}

ILuaObject* Nil() { return &g_nil; }
std::size_t Live() { return g_live.size(); }
std::size_t Peak() { return g_peak; }
std::size_t PoolSize() { return g_pool.size(); }

}  // namespace handles
}  // namespace qvhost
