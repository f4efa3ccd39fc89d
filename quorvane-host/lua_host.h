// The host side of the module boundary: ILuaInterface and
// ILuaModuleManager over one LuaJIT state.
//
// The module never pops what it pushes, never releases a handle and cannot
// tell a Lua error from a C++ one, so the host carries those duties: calls
// are protected, results of calls the module makes are dropped, and handles
// live until the outermost call into the module returns. Where each duty
// lives:
//   protect.*     running what may raise, and the stack room around it
//   handles.*     the handle pool
//   lookup.*      FindGlobal / FindMember
//   pending.*     pushes waiting for the call that takes them
//   interface.cpp the rest of ILuaInterface
//   calls.cpp     calls into the module: frames, depth, deferred open/close,
//                 the loop callbacks, shutdown
//   script.cpp    start-up and the script
//   natives.cpp   the C functions behind the prelude's host and timer
//   errors.*      "[ERROR]" reports
#ifndef QV_HOST_LUA_HOST_H
#define QV_HOST_LUA_HOST_H

#include "handles.h"
#include "host/lua_interface.h"
#include "tick_stats.h"

#include <lua.hpp>

#include <cstddef>
#include <string>

namespace qvhost {

using OpenEntry = int (*)(ILuaInterface*);
using CloseEntry = int (*)(lua_State*);

class LuaHost final : public ILuaInterface, public ILuaModuleManager {
public:
    explicit LuaHost(lua_State* L);
    ~LuaHost();
    LuaHost(const LuaHost&) = delete;
    LuaHost& operator=(const LuaHost&) = delete;

    // Opens the standard libraries, registers the host's helpers and runs
    // the prelude. On failure returns false with the reason in `error`.
    bool Install(std::string* error);

    // Sets `arg` as the standalone interpreter does (argv[script_index] is
    // arg[0]) and runs the script with its arguments as `...`.
    bool RunScript(int argc, char** argv, int script_index, std::string* error);

    void SetModule(OpenEntry open, CloseEntry close) {
        open_entry_ = open;
        close_entry_ = close;
    }
    void OpenModule();
    void CloseModule();
    bool ModuleIsOpen() const { return module_open_; }

    // Waits up to `wait_ms` (negative: no limit) for the loop, then runs one
    // loop callback (a module poll or a script timer) as one call into the
    // module: stack restored and handles reclaimed afterwards.
    void DispatchOne(int wait_ms);

    // hook.Call("ShutDown"), protected, as the process is asked to stop.
    void RaiseShutDown();

    bool QuitRequested() const { return quit_; }
    int ExitCode() const { return exit_code_; }

    // ILuaInterface
    lua_State* InterpreterState() override { return main_; }
    ILuaObject* FindGlobal(const char* name) override;
    const char* ArgText(int pos) override;
    int ArgInt(int pos) override;
    bool ArgFlag(int pos) override;
    void PushText(const char* text) override;
    void PushObject(ILuaObject* object) override;
    bool CallFunction(int args, int results) override;
    void CreateGlobalTable(const char* name) override;
    ILuaModuleManager* ModuleManager() override { return this; }
    void PushNilValue() override;
    void PrintFormatted(const char* format, ...) override __attribute__((format(printf, 2, 3)));

    // ILuaModuleManager
    ILuaInterface* InterfaceFor(lua_State* state) override;

    // Used by LuaObject.
    void SetFunctionMember(LuaObject* object, const char* name, ScriptFunction fn);
    // The state the call into the module in progress works on.
    lua_State* Current() const { return frame_ != nullptr ? frame_->L : main_; }

    static lua_CFunction TrampolineFn() { return Trampoline; }

private:
    // One call into the module in progress: the Lua state it reads and
    // pushes on (a script function called from a coroutine works on that
    // coroutine's stack), its argument count, and where its pushes start.
    // Lives on the C stack; trivially destructible.
    struct Frame {
        lua_State* L;
        int nargs;
        std::size_t pushes;
        Frame* prev;
    };

    enum class Deferred { None, Open, Close };

    std::size_t PushesOfFrame() const;
    void Enter();
    void Leave(lua_State* L);
    void RunEntry(lua_State* L, bool open);
    void RequestModule(lua_State* L, bool open);

    static int InstallStep(lua_State* L);
    static int ArgsStep(lua_State* L);
    static int Trampoline(lua_State* L);
    static void TimerThunk(void* context);
    static LuaHost* Self(lua_State* L);
    static void RegisterNatives(lua_State* L, LuaHost* self);
    static int NativeQuit(lua_State* L);
    static int NativeSetTimer(lua_State* L);
    static int NativeKillTimer(lua_State* L);
    static int NativeOpenModule(lua_State* L);
    static int NativeCloseModule(lua_State* L);
    static int NativeStats(lua_State* L);
    static int NativeResetTickStats(lua_State* L);
    static int NativeClock(lua_State* L);

    lua_State* main_;
    Frame* frame_ = nullptr;
    int depth_ = 0;  // calls into the module in progress (module code on the C stack)
    Deferred deferred_ = Deferred::None;

    int last_top_ = 0;       // main stack top after the last dispatch, pushes left included
    long long dropped_ = 0;  // stack slots and pushes the host had to drop after a dispatch
    unsigned long long dispatches_ = 0;
    bool timer_ran_ = false;  // the callback in progress is a script timer
    TickStats ticks_;         // module callbacks only

    OpenEntry open_entry_ = nullptr;
    CloseEntry close_entry_ = nullptr;
    bool module_open_ = false;
    bool quit_ = false;
    int exit_code_ = 0;

    int timer_fn_ref_ = LUA_NOREF;
    int traceback_ref_ = LUA_NOREF;
};

}  // namespace qvhost

#endif
