// ILuaInterface: what the module calls, one event after another. Lookups
// read raw where they can (lookup.cpp); pushes wait in C++ (pending.cpp);
// CallFunction is the one protected call of an event.
#include "lua_host.h"
#include "pending.h"
#include "protect.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace qvhost {

namespace {

struct CallRequest {
    std::size_t from;  // the function's entry in the pending pushes
    int args;
};

int CallStep(lua_State* L, void* data) {
    const auto* r = static_cast<const CallRequest*>(data);
    // A C function starts with LUA_MINSTACK free slots, the request in one.
    if (r->args + 1 > LUA_MINSTACK - 1 && !lua_checkstack(L, r->args + 1)) luaL_error(L, "too many arguments for a call");
    pending::Materialize(L, r->from, static_cast<std::size_t>(r->args) + 1);
    // The interface gives the module no way to read results: none are kept.
    lua_call(L, r->args, 0);
    return 0;
}

int ToStringStep(lua_State* L, void*) {
    lua_tolstring(L, 1, nullptr);
    return 1;
}

struct FunctionRequest {
    const char* name;
    ScriptFunction fn;
    LuaHost* host;
};

int SetFunctionStep(lua_State* L, void* data) {  // (object)
    const auto* r = static_cast<const FunctionRequest*>(data);
    void* box = lua_newuserdata(L, sizeof(ScriptFunction));
    std::memcpy(box, &r->fn, sizeof(ScriptFunction));
    lua_pushlightuserdata(L, r->host);
    lua_pushcclosure(L, LuaHost::TrampolineFn(), 2);
    lua_setfield(L, 1, r->name);
    return 0;
}

int NewGlobalTableStep(lua_State* L, void* data) {
    lua_newtable(L);
    lua_setfield(L, LUA_GLOBALSINDEX, static_cast<const char*>(data));
    return 0;
}

}  // namespace

void LuaHost::SetFunctionMember(LuaObject* object, const char* name, ScriptFunction fn) {
    if (object == nullptr || name == nullptr || fn == nullptr) return;
    lua_State* L = Current();
    FunctionRequest r{name, fn, this};
    handles::Push(L, object);
    Protected(L, SetFunctionStep, &r, 1, 0, OnError::Report);
}

void LuaHost::CreateGlobalTable(const char* name) {
    if (name == nullptr) return;
    Protected(Current(), NewGlobalTableStep, const_cast<char*>(name), 0, 0, OnError::Report);
}

const char* LuaHost::ArgText(int pos) {
    if (frame_ == nullptr || pos < 1 || pos > frame_->nargs) return nullptr;
    lua_State* L = frame_->L;
    int type = lua_type(L, pos);
    if (type == LUA_TSTRING) return lua_tostring(L, pos);
    if (type != LUA_TNUMBER) return nullptr;
    // Converted in place, as lua_tostring would: the argument slot keeps
    // the text alive until the call returns.
    lua_pushvalue(L, pos);
    if (!Protected(L, ToStringStep, nullptr, 1, 1, OnError::Quiet)) return nullptr;
    lua_replace(L, pos);
    return lua_tostring(L, pos);
}

int LuaHost::ArgInt(int pos) {
    if (frame_ == nullptr || pos < 1 || pos > frame_->nargs) return 0;
    lua_Number n = lua_tonumber(frame_->L, pos);
    if (std::isnan(n)) return 0;
    if (n >= 2147483647.0) return 2147483647;
    if (n <= -2147483648.0) return -2147483647 - 1;
    return static_cast<int>(n);
}

bool LuaHost::ArgFlag(int pos) {
    if (frame_ == nullptr || pos < 1 || pos > frame_->nargs) return false;
    return lua_toboolean(frame_->L, pos) != 0;
}

void LuaHost::PushText(const char* text) {
    if (text == nullptr)
        pending::PushNil();
    else
        pending::PushText(text);
}

void LuaHost::PushObject(ILuaObject* object) {
    const auto* o = static_cast<const LuaObject*>(object);
    if (o == nullptr || o->slot == 0)
        pending::PushNil();
    else
        pending::PushValue(o->key);
}

void LuaHost::PushNilValue() { pending::PushNil(); }

bool LuaHost::CallFunction(int args, int /*results*/) {
    // Only what this call into the module pushed can be called: never the
    // caller's arguments or anything below them.
    if (args < 0 || static_cast<std::size_t>(args) + 1 > PushesOfFrame()) return false;
    CallRequest r{pending::Size() - static_cast<std::size_t>(args) - 1, args};
    bool ok = Protected(Current(), CallStep, &r, 0, 0, OnError::Report);
    // The call takes the function and its arguments, as lua_call would.
    pending::DropFrom(r.from);
    return ok;
}

void LuaHost::PrintFormatted(const char* format, ...) {
    if (format == nullptr) return;
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stdout, format, ap);
    va_end(ap);
}

ILuaInterface* LuaHost::InterfaceFor(lua_State* /*state*/) { return this; }

}  // namespace qvhost
