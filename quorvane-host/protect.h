// Protected steps: the one way host code runs Lua operations that may
// raise an error.
//
// Almost every Lua C API call that allocates can raise: on memory
// exhaustion, and (in this LuaJIT) with the error of a __gc finalizer that
// the allocation's GC step runs. Raised outside lua_pcall, such an error
// would unwind through C++ frames, where the module's catch(...) guards
// would swallow it and leave the Lua state corrupt. So the host calls the
// Lua API directly only for operations that cannot raise: raw reads, raw
// writes to keys that already exist, pushes of nil, booleans, numbers and
// light userdata, stack moves. Everything else runs as a step here.
//
// Stack room: growing the stack also allocates. Wherever module code is on
// the C stack, the host keeps at least kHeadroom free slots and its direct
// calls use fewer, so it never has to grow the stack there. The room is
// set up when the host enters module code (a Lua call into a C function
// gets LUA_MINSTACK slots; the loop and the entries call EnsureHeadroom)
// and restored at the end of every step.
#ifndef QV_HOST_PROTECT_H
#define QV_HOST_PROTECT_H

#include <lua.hpp>

namespace qvhost {

inline constexpr int kHeadroom = 8;

// Runs under lua_pcall; its arguments are at 1..nargs of its own frame.
// Returns how many results it left on top.
using StepFn = int (*)(lua_State* L, void* data);

// Registers the entry that runs steps; inside a protected call at start-up.
void InstallSteps(lua_State* L);

// What a failed step leaves: nothing (Quiet), nothing after printing the
// error with a traceback (Report), or the error value on top (Keep).
enum class OnError { Quiet, Report, Keep };

// Runs `step` with the `nargs` values on top of the stack as its arguments
// (they are consumed). On success leaves `nresults` values; on failure
// what `on_error` says. Uses two slots of headroom beyond the arguments.
bool Protected(lua_State* L, StepFn step, void* data, int nargs, int nresults, OnError on_error);

// Makes sure kHeadroom slots are free. Safe with no room at all: it enters
// protection through lua_cpcall, which needs no stack slot checked.
bool EnsureHeadroom(lua_State* L);

}  // namespace qvhost

#endif
