// Calls into the module and what the host owes around them: the frame of
// each call, the depth of nesting (handles are reclaimed when the outermost
// call returns), open/close asked for while module code is busy, the loop
// callbacks, and the script's ShutDown.
#include "errors.h"
#include "lua_host.h"
#include "pending.h"
#include "platform/loop.h"
#include "protect.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>

namespace qvhost {

namespace {

// The one host of the process; the loop hands timer callbacks a context
// pointer only, which carries the script timer's key.
LuaHost* g_host = nullptr;

struct ResultsRequest {
    std::size_t from;
    int count;
};

int ResultsStep(lua_State* L, void* data) {
    const auto* r = static_cast<const ResultsRequest*>(data);
    if (!lua_checkstack(L, r->count)) luaL_error(L, "too many results");
    pending::Materialize(L, r->from, static_cast<std::size_t>(r->count));
    return r->count;
}

int ShutDownStep(lua_State* L, void*) {
    lua_getfield(L, LUA_GLOBALSINDEX, "hook");
    lua_getfield(L, -1, "Call");
    lua_pushliteral(L, "ShutDown");
    lua_call(L, 1, 0);
    return 0;
}

}  // namespace

LuaHost::LuaHost(lua_State* L) : main_(L) { g_host = this; }

LuaHost::~LuaHost() {
    if (g_host == this) g_host = nullptr;
}

LuaHost* LuaHost::Self(lua_State* L) { return static_cast<LuaHost*>(lua_touserdata(L, lua_upvalueindex(1))); }

std::size_t LuaHost::PushesOfFrame() const { return pending::Size() - (frame_ != nullptr ? frame_->pushes : 0); }

void LuaHost::Enter() { ++depth_; }

void LuaHost::Leave(lua_State* L) {
    if (--depth_ > 0) return;
    handles::Reclaim(L);
    // An open or close asked for while the module was busy raising an
    // event runs now that it has returned.
    while (deferred_ != Deferred::None) {
        bool open = deferred_ == Deferred::Open;
        deferred_ = Deferred::None;
        RunEntry(L, open);
    }
}

int LuaHost::Trampoline(lua_State* L) {
    ScriptFunction fn;
    std::memcpy(&fn, lua_touserdata(L, lua_upvalueindex(1)), sizeof fn);
    auto* self = static_cast<LuaHost*>(lua_touserdata(L, lua_upvalueindex(2)));
    // A Lua call into a C function comes with LUA_MINSTACK free slots,
    // more than the headroom the host needs under module code.
    int nargs = lua_gettop(L);
    Frame frame{L, nargs, pending::Size(), self->frame_};
    self->frame_ = &frame;
    self->Enter();
    int n = 0;
    try {
        n = fn(L);
    } catch (const std::exception& e) {
        ReportException("a script function", e.what());
        n = 0;
    } catch (...) {
        ReportException("a script function", "unknown exception");
        n = 0;
    }
    self->frame_ = frame.prev;
    // Lua takes the top n values as results: never more than were pushed.
    int pushed = static_cast<int>(pending::Size() - frame.pushes);
    if (n > pushed) n = pushed;
    if (n < 0) n = 0;
    ResultsRequest results{pending::Size() - static_cast<std::size_t>(n), n};
    // Pushing the results allocates: its error (memory, a failing __gc
    // finalizer) is the caller's, raised once the bookkeeping is done.
    bool ok = n == 0 || Protected(L, ResultsStep, &results, 0, n, OnError::Keep);
    pending::DropFrom(frame.pushes);
    self->Leave(L);
    // Only host code is below: an error may be raised from here.
    if (!ok) return lua_error(L);
    return n;
}

void LuaHost::RunEntry(lua_State* L, bool open) {
    if (open ? open_entry_ == nullptr : close_entry_ == nullptr) return;
    if (!EnsureHeadroom(L)) return;
    Frame frame{L, 0, pending::Size(), frame_};
    frame_ = &frame;
    int top = lua_gettop(L);
    Enter();
    try {
        if (open)
            open_entry_(this);
        else
            close_entry_(main_);
    } catch (const std::exception& e) {
        ReportException(open ? "gmod_open" : "gmod_close", e.what());
    } catch (...) {
        ReportException(open ? "gmod_open" : "gmod_close", "unknown exception");
    }
    module_open_ = open;
    pending::DropFrom(frame.pushes);
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
    // Waiting runs nothing, so the callback can be timed apart from it.
    if (qv_loop_wait(wait_ms) == 0) return;
    lua_State* L = main_;
    if (!EnsureHeadroom(L)) return;
    int top = lua_gettop(L);
    Frame frame{L, 0, pending::Size(), frame_};
    frame_ = &frame;
    Enter();
    timer_ran_ = false;
    int ran = 0;
    auto start = std::chrono::steady_clock::now();
    try {
        ran = qv_loop_dispatch_one(0);
    } catch (const std::exception& e) {
        ReportException("a timer callback", e.what());
    } catch (...) {
        ReportException("a timer callback", "unknown exception");
    }
    auto took = std::chrono::steady_clock::now() - start;
    if (ran != 0 && !timer_ran_)
        ticks_.Record(static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(took).count()));
    // What the callback pushed and never used is dropped here, so it
    // cannot pile up from one callback to the next.
    std::size_t left = pending::Size() - frame.pushes;
    int now = lua_gettop(L);
    last_top_ = now + static_cast<int>(left);
    dropped_ += static_cast<long long>(left) + (now > top ? now - top : 0);
    pending::DropFrom(frame.pushes);
    if (now != top) lua_settop(L, top);
    frame_ = frame.prev;
    dispatches_ += static_cast<unsigned>(ran);
    Leave(L);
    std::fflush(stdout);
}

void LuaHost::TimerThunk(void* context) {
    LuaHost* self = g_host;
    if (self == nullptr) return;
    self->timer_ran_ = true;
    lua_State* L = self->main_;
    int top = lua_gettop(L);
    // No module code is below a script timer: calls it makes into the
    // module are outermost ones, and it may open or close the module.
    // DispatchOne made the room for these three slots.
    int depth = self->depth_;
    self->depth_ = 0;
    lua_rawgeti(L, LUA_REGISTRYINDEX, self->traceback_ref_);
    lua_rawgeti(L, LUA_REGISTRYINDEX, self->timer_fn_ref_);
    lua_pushnumber(L, static_cast<lua_Number>(reinterpret_cast<std::uintptr_t>(context)));
    if (lua_pcall(L, 1, 0, top + 1) != 0) ReportError(L, -1);
    lua_settop(L, top);
    // The script may have run a GC step that shrank this stack, and the
    // host still writes to it before the callback is over.
    EnsureHeadroom(L);
    self->depth_ = depth;
}

void LuaHost::RaiseShutDown() {
    lua_State* L = main_;
    if (!EnsureHeadroom(L)) return;
    int top = lua_gettop(L);
    Protected(L, ShutDownStep, nullptr, 0, 0, OnError::Report);
    lua_settop(L, top);
    std::fflush(stdout);
}

}  // namespace qvhost
