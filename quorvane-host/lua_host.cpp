#include "lua_host.h"

#include "platform/loop.h"
#include "prelude.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>

namespace qvhost {

namespace {

// The one host of the process; the loop hands timer callbacks a context
// pointer only, which carries the script timer's key.
LuaHost* g_host = nullptr;

// Everything below that may raise a Lua error (a metamethod, indexing a
// non-table, running out of memory) runs inside lua_pcall through one of
// these small C functions, so no error ever crosses a C++ frame. Each is
// registered once at start-up, because pushing a fresh C function per call
// would itself allocate outside protection.
struct NameRequest {
    const char* name;
    int ref;
};

// A lookup hands back the handle already given out for the same value in
// this call when there is one: a module that raises a hundred thousand
// events in one poll tick then holds two handles (hook, hook.Call), not two
// hundred thousand. Handles name values and cannot be changed through, so
// sharing one is invisible to the module.
struct LookupRequest {
    const char* name;
    int index_ref;  // registry: table value -> slot in the live handles
    int next_slot;  // slot a new handle will get
    int ref;        // out: registry ref of a new value, or LUA_REFNIL
    int slot;       // out: slot of an existing handle, or -1
};

// Value on top of the stack -> request's ref or slot.
void Remember(lua_State* L, LookupRequest* r) {
    r->slot = -1;
    r->ref = LUA_REFNIL;
    int type = lua_type(L, -1);
    if (type == LUA_TNIL) return;
    bool keyable = !(type == LUA_TNUMBER && lua_tonumber(L, -1) != lua_tonumber(L, -1));  // NaN is no key
    if (keyable) {
        lua_rawgeti(L, LUA_REGISTRYINDEX, r->index_ref);
        lua_pushvalue(L, -2);
        lua_rawget(L, -2);
        if (lua_type(L, -1) == LUA_TNUMBER) {
            r->slot = static_cast<int>(lua_tointeger(L, -1));
            return;
        }
        lua_pop(L, 1);
        lua_pushvalue(L, -2);
        lua_pushinteger(L, r->next_slot);
        lua_rawset(L, -3);
        lua_pop(L, 1);
    }
    r->ref = luaL_ref(L, LUA_REGISTRYINDEX);
}

struct FunctionRequest {
    const char* name;
    ScriptFunction fn;
    LuaHost* host;
};

int ProtectedGetGlobal(lua_State* L) {
    auto* r = static_cast<LookupRequest*>(lua_touserdata(L, 1));
    lua_getfield(L, LUA_GLOBALSINDEX, r->name);
    Remember(L, r);
    return 0;
}

int ProtectedGetField(lua_State* L) {  // (request, object)
    auto* r = static_cast<LookupRequest*>(lua_touserdata(L, 1));
    lua_getfield(L, 2, r->name);
    Remember(L, r);
    return 0;
}

int ProtectedSetFunction(lua_State* L) {  // (request, object)
    auto* r = static_cast<FunctionRequest*>(lua_touserdata(L, 1));
    void* box = lua_newuserdata(L, sizeof(ScriptFunction));
    std::memcpy(box, &r->fn, sizeof(ScriptFunction));
    lua_pushlightuserdata(L, r->host);
    lua_pushcclosure(L, r->host->TrampolineFn(), 2);
    lua_setfield(L, 2, r->name);
    return 0;
}

int ProtectedNewGlobalTable(lua_State* L) {
    auto* r = static_cast<NameRequest*>(lua_touserdata(L, 1));
    lua_newtable(L);
    lua_setfield(L, LUA_GLOBALSINDEX, r->name);
    return 0;
}

int ProtectedNewString(lua_State* L) {
    auto* r = static_cast<NameRequest*>(lua_touserdata(L, 1));
    lua_pushstring(L, r->name);
    return 1;
}

int ProtectedToString(lua_State* L) {  // (number) -> its text, as Lua converts it
    lua_tolstring(L, 1, nullptr);
    return 1;
}

int Ref(lua_State* L, lua_CFunction fn) {
    lua_pushcfunction(L, fn);
    return luaL_ref(L, LUA_REGISTRYINDEX);
}

void PrintException(const char* where, const char* what) {
    std::fflush(stdout);
    std::fprintf(stderr, "[ERROR] C++ exception escaped %s: %s\n", where, what);
}

}  // namespace

// ---- ILuaObject ---------------------------------------------------------

void LuaObject::SetFunctionMember(const char* name, ScriptFunction fn) { host->SetFunctionMember(this, name, fn); }

ILuaObject* LuaObject::FindMember(const char* name) { return host->FindMember(this, name); }

// ---- set-up -------------------------------------------------------------

LuaHost::LuaHost(lua_State* L) : main_(L) {
    g_host = this;
    nil_handle_.host = this;
    nil_handle_.ref = LUA_REFNIL;
}

LuaHost::~LuaHost() {
    if (g_host == this) g_host = nullptr;
}

LuaHost* LuaHost::Self(lua_State* L) { return static_cast<LuaHost*>(lua_touserdata(L, lua_upvalueindex(1))); }

int LuaHost::InstallStep(lua_State* L) {
    auto* self = static_cast<LuaHost*>(lua_touserdata(L, 1));
    luaL_openlibs(L);
    self->traceback_ref_ = Ref(L, Traceback);
    self->get_global_ref_ = Ref(L, ProtectedGetGlobal);
    self->get_field_ref_ = Ref(L, ProtectedGetField);
    self->set_function_ref_ = Ref(L, ProtectedSetFunction);
    self->new_table_ref_ = Ref(L, ProtectedNewGlobalTable);
    self->new_string_ref_ = Ref(L, ProtectedNewString);
    self->to_string_ref_ = Ref(L, ProtectedToString);
    lua_newtable(L);
    self->index_ref_ = luaL_ref(L, LUA_REGISTRYINDEX);

    if (luaL_loadbuffer(L, kPrelude, kPreludeSize, "=prelude") != 0) lua_error(L);
    lua_newtable(L);
    const struct {
        const char* name;
        lua_CFunction fn;
    } natives[] = {
        {"quit", NativeQuit},          {"set_timer", NativeSetTimer},     {"kill_timer", NativeKillTimer},
        {"open_module", NativeOpenModule}, {"close_module", NativeCloseModule}, {"stats", NativeStats},
    };
    for (const auto& n : natives) {
        lua_pushlightuserdata(L, self);
        lua_pushcclosure(L, n.fn, 1);
        lua_setfield(L, -2, n.name);
    }
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

// ---- handles --------------------------------------------------------------

ILuaObject* LuaHost::Lookup(int fn_ref, const char* name, LuaObject* object) {
    LookupRequest r{name, index_ref_, static_cast<int>(live_.size()), LUA_REFNIL, -1};
    if (name == nullptr || !Protected(Current(), fn_ref, &r, object, 0, false)) return &nil_handle_;
    if (r.slot >= 0) {
        if (static_cast<std::size_t>(r.slot) < live_.size()) return live_[static_cast<std::size_t>(r.slot)];
        return &nil_handle_;
    }
    if (r.ref == LUA_REFNIL) return &nil_handle_;
    return NewHandle(r.ref);
}

LuaObject* LuaHost::NewHandle(int ref) {
    LuaObject* o;
    if (!spare_.empty()) {
        o = spare_.back();
        spare_.pop_back();
    } else {
        handles_.push_back(std::make_unique<LuaObject>());
        o = handles_.back().get();
        o->host = this;
    }
    o->ref = ref;
    live_.push_back(o);
    if (live_.size() > peak_live_) peak_live_ = live_.size();
    return o;
}

void LuaHost::Reclaim(lua_State* L) {
    if (live_.empty()) return;
    // Forget each value in the index (the key exists, so setting it to nil
    // allocates nothing and cannot fail), then free its registry slot.
    bool indexed = lua_checkstack(L, 3) != 0;
    if (indexed) lua_rawgeti(L, LUA_REGISTRYINDEX, index_ref_);
    for (LuaObject* o : live_) {
        if (indexed) {
            lua_rawgeti(L, LUA_REGISTRYINDEX, o->ref);
            if (lua_rawequal(L, -1, -1)) {
                lua_pushnil(L);
                lua_rawset(L, -3);
            } else {
                lua_pop(L, 1);
            }
        }
        luaL_unref(L, LUA_REGISTRYINDEX, o->ref);
        // A handle kept past its call now reads as nil rather than as some
        // other value that took over its registry slot.
        o->ref = LUA_NOREF;
        spare_.push_back(o);
    }
    live_.clear();
    if (indexed) lua_pop(L, 1);
}

void LuaHost::Enter() { ++depth_; }

void LuaHost::Leave(lua_State* L) {
    if (--depth_ > 0) return;
    Reclaim(L);
    // An open or close asked for while the module was busy raising an
    // event runs now that it has returned.
    while (deferred_ != Deferred::None) {
        bool open = deferred_ == Deferred::Open;
        deferred_ = Deferred::None;
        RunEntry(L, open);
    }
}

bool LuaHost::Protected(lua_State* L, int fn_ref, void* request, LuaObject* object, int nresults, bool report) {
    if (!lua_checkstack(L, 4)) return false;
    lua_rawgeti(L, LUA_REGISTRYINDEX, fn_ref);
    lua_pushlightuserdata(L, request);
    int n = 1;
    if (object != nullptr) {
        lua_rawgeti(L, LUA_REGISTRYINDEX, object->ref);
        n = 2;
    }
    if (lua_pcall(L, n, nresults, 0) != 0) {
        if (report) ReportError(L, -1);
        lua_pop(L, 1);
        return false;
    }
    return true;
}

// ---- ILuaInterface ----------------------------------------------------------

ILuaObject* LuaHost::FindGlobal(const char* name) { return Lookup(get_global_ref_, name, nullptr); }

ILuaObject* LuaHost::FindMember(LuaObject* object, const char* name) {
    // Indexing a value that is no table (a script without `hook`, say)
    // fails quietly into a nil handle; calling it then reports the error.
    return Lookup(get_field_ref_, name, object);
}

void LuaHost::SetFunctionMember(LuaObject* object, const char* name, ScriptFunction fn) {
    if (name == nullptr || fn == nullptr) return;
    FunctionRequest r{name, fn, this};
    Protected(Current(), set_function_ref_, &r, object, 0, true);
}

void LuaHost::CreateGlobalTable(const char* name) {
    if (name == nullptr) return;
    NameRequest r{name, LUA_NOREF};
    Protected(Current(), new_table_ref_, &r, nullptr, 0, true);
}

const char* LuaHost::ArgText(int pos) {
    if (frame_ == nullptr || pos < 1 || pos > frame_->nargs) return nullptr;
    lua_State* L = frame_->L;
    int type = lua_type(L, pos);
    if (type == LUA_TSTRING) return lua_tostring(L, pos);
    if (type != LUA_TNUMBER) return nullptr;
    // Converted in place, as lua_tostring would: the argument slot keeps
    // the text alive until the call returns.
    if (!lua_checkstack(L, 2)) return nullptr;
    lua_rawgeti(L, LUA_REGISTRYINDEX, to_string_ref_);
    lua_pushvalue(L, pos);
    if (lua_pcall(L, 1, 1, 0) != 0) {
        lua_pop(L, 1);
        return nullptr;
    }
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
    if (text == nullptr) {
        PushNilValue();
        return;
    }
    NameRequest r{text, LUA_NOREF};
    Protected(Current(), new_string_ref_, &r, nullptr, 1, false);
}

void LuaHost::PushObject(ILuaObject* object) {
    lua_State* L = Current();
    if (!lua_checkstack(L, 1)) return;
    int ref = object != nullptr ? static_cast<LuaObject*>(object)->ref : LUA_NOREF;
    lua_rawgeti(L, LUA_REGISTRYINDEX, ref);
}

void LuaHost::PushNilValue() {
    lua_State* L = Current();
    if (lua_checkstack(L, 1)) lua_pushnil(L);
}

bool LuaHost::CallFunction(int args, int /*results*/) {
    lua_State* L = Current();
    int top = lua_gettop(L);
    int floor = frame_ != nullptr && frame_->L == L ? frame_->nargs : 0;
    if (args < 0 || top - args - 1 < floor) {
        // Nothing to call: never reach into the caller's arguments or below.
        return false;
    }
    int fn_index = top - args;
    if (!lua_checkstack(L, 2)) {
        lua_settop(L, fn_index - 1);
        return false;
    }
    lua_rawgeti(L, LUA_REGISTRYINDEX, traceback_ref_);
    lua_insert(L, fn_index);
    // The interface gives the module no way to read results, and it pops
    // nothing: asking for none leaves the stack as it was before the push.
    int rc = lua_pcall(L, args, 0, fn_index);
    if (rc != 0) {
        ReportError(L, -1);
        lua_pop(L, 1);
    }
    lua_remove(L, fn_index);
    return rc == 0;
}

void LuaHost::PrintFormatted(const char* format, ...) {
    if (format == nullptr) return;
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stdout, format, ap);
    va_end(ap);
}

ILuaInterface* LuaHost::InterfaceFor(lua_State* /*state*/) { return this; }

// ---- calls into the module ------------------------------------------------

int LuaHost::Trampoline(lua_State* L) {
    ScriptFunction fn;
    std::memcpy(&fn, lua_touserdata(L, lua_upvalueindex(1)), sizeof fn);
    auto* self = static_cast<LuaHost*>(lua_touserdata(L, lua_upvalueindex(2)));
    int nargs = lua_gettop(L);
    Frame frame{L, nargs, self->frame_};
    self->frame_ = &frame;
    self->Enter();
    int n = 0;
    try {
        n = fn(L);
    } catch (const std::exception& e) {
        PrintException("a script function", e.what());
        n = 0;
    } catch (...) {
        PrintException("a script function", "unknown exception");
        n = 0;
    }
    self->frame_ = frame.prev;
    // Lua takes the top n values as results: never more than were pushed.
    int pushed = lua_gettop(L) - nargs;
    if (n > pushed) n = pushed;
    if (n < 0) n = 0;
    self->Leave(L);
    return n;
}

void LuaHost::RunEntry(lua_State* L, bool open) {
    if (open ? open_entry_ == nullptr : close_entry_ == nullptr) return;
    Frame frame{L, 0, frame_};
    frame_ = &frame;
    int top = lua_gettop(L);
    Enter();
    try {
        if (open)
            open_entry_(this);
        else
            close_entry_(main_);
    } catch (const std::exception& e) {
        PrintException(open ? "gmod_open" : "gmod_close", e.what());
    } catch (...) {
        PrintException(open ? "gmod_open" : "gmod_close", "unknown exception");
    }
    module_open_ = open;
    if (lua_gettop(L) > top) lua_settop(L, top);
    frame_ = frame.prev;
    Leave(L);
}

void LuaHost::RequestModule(lua_State* L, bool open) {
    if (depth_ > 0)
        deferred_ = open ? Deferred::Open : Deferred::Close;
    else
        RunEntry(L, open);
}

void LuaHost::OpenModule() { RunEntry(main_, true); }
void LuaHost::CloseModule() { RunEntry(main_, false); }

void LuaHost::DispatchOne(int wait_ms) {
    lua_State* L = main_;
    int top = lua_gettop(L);
    Enter();
    int ran = 0;
    try {
        ran = qv_loop_dispatch_one(wait_ms);
    } catch (const std::exception& e) {
        PrintException("a timer callback", e.what());
    } catch (...) {
        PrintException("a timer callback", "unknown exception");
    }
    int now = lua_gettop(L);
    last_top_ = now;
    if (now > top) dropped_ += now - top;
    if (now != top) lua_settop(L, top);
    dispatches_ += static_cast<unsigned>(ran);
    Leave(L);
    std::fflush(stdout);
}

// ---- errors ---------------------------------------------------------------

int LuaHost::Traceback(lua_State* L) {
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

void LuaHost::ReportError(lua_State* L, int index) {
    const char* msg = lua_type(L, index) == LUA_TSTRING ? lua_tostring(L, index) : "(error object is not a string)";
    // Whatever was printed before the failure comes first.
    std::fflush(stdout);
    std::fprintf(stderr, "[ERROR] %s\n", msg);
}

// ---- the script-facing natives (wrapped by the prelude) --------------------

int LuaHost::NativeQuit(lua_State* L) {
    LuaHost* self = Self(L);
    self->quit_ = true;
    self->exit_code_ = static_cast<int>(lua_tointeger(L, 1));
    qv_loop_wakeup();
    return 0;
}

void LuaHost::TimerThunk(void* context) {
    LuaHost* self = g_host;
    if (self == nullptr) return;
    lua_State* L = self->main_;
    int top = lua_gettop(L);
    if (!lua_checkstack(L, 3)) return;
    // No module code is below a script timer: calls it makes into the
    // module are outermost ones, and it may open or close the module.
    int depth = self->depth_;
    self->depth_ = 0;
    lua_rawgeti(L, LUA_REGISTRYINDEX, self->traceback_ref_);
    lua_rawgeti(L, LUA_REGISTRYINDEX, self->timer_fn_ref_);
    lua_pushnumber(L, static_cast<lua_Number>(reinterpret_cast<std::uintptr_t>(context)));
    if (lua_pcall(L, 1, 0, top + 1) != 0) ReportError(L, -1);
    lua_settop(L, top);
    self->depth_ = depth;
}

int LuaHost::NativeSetTimer(lua_State* L) {  // (milliseconds, key) -> loop timer id
    lua_Number ms = lua_tonumber(L, 1);
    if (!(ms >= 0)) ms = 0;
    if (ms > 2147483647.0) ms = 2147483647.0;
    auto key = static_cast<std::uintptr_t>(lua_tonumber(L, 2));
    unsigned id = 0;
    try {
        id = qv_loop_set_timer(static_cast<unsigned>(ms), TimerThunk, reinterpret_cast<void*>(key));
    } catch (...) {
        return 0;
    }
    lua_pushnumber(L, id);
    return 1;
}

int LuaHost::NativeKillTimer(lua_State* L) {
    qv_loop_kill_timer(static_cast<unsigned>(lua_tonumber(L, 1)));
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
    lua_createtable(L, 0, 9);
    auto set = [L](const char* k, lua_Number v) {
        lua_pushnumber(L, v);
        lua_setfield(L, -2, k);
    };
    set("top", self->last_top_);
    set("dropped", static_cast<lua_Number>(self->dropped_));
    set("handles", static_cast<lua_Number>(self->live_.size()));
    set("peak_handles", static_cast<lua_Number>(self->peak_live_));
    set("handle_pool", static_cast<lua_Number>(self->handles_.size()));
    set("timers", qv_loop_timer_count());
    set("dispatches", static_cast<lua_Number>(self->dispatches_));
    set("depth", self->depth_);
    lua_pushboolean(L, self->module_open_);
    lua_setfield(L, -2, "open");
    return 1;
}

}  // namespace qvhost
