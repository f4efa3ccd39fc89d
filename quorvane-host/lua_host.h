// The host side of the module boundary: ILuaInterface, ILuaObject and
// ILuaModuleManager over one LuaJIT state.
//
// The module never pops what it pushes, never releases a handle and cannot
// tell a Lua error from a C++ one, so this class carries those duties:
// calls are protected, results of calls the module makes are dropped, and
// handles live until the outermost call into the module returns.
#ifndef QV_HOST_LUA_HOST_H
#define QV_HOST_LUA_HOST_H

#include "host/lua_interface.h"

#include <lua.hpp>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace qvhost {

class LuaHost;

class LuaObject final : public ILuaObject {
public:
    void SetFunctionMember(const char* name, ScriptFunction fn) override;
    ILuaObject* FindMember(const char* name) override;

    LuaHost* host = nullptr;
    int ref = LUA_NOREF;  // registry slot holding the value; LUA_REFNIL for nil
};

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

    // Runs one loop callback (a module poll or a script timer) as one call
    // into the module: stack restored and handles reclaimed afterwards.
    void DispatchOne(int wait_ms);

    // Prints a failed protected call's error value as an "[ERROR]" block.
    static void ReportError(lua_State* L, int index);
    static int Traceback(lua_State* L);
    static lua_CFunction TrampolineFn() { return Trampoline; }
    int TracebackRef() const { return traceback_ref_; }

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
    ILuaObject* FindMember(LuaObject* object, const char* name);

private:
    // The Lua state and argument count of the script call in progress, so
    // a function called from a coroutine reads and pushes on that
    // coroutine's stack. Lives on the C stack; trivially destructible.
    struct Frame {
        lua_State* L;
        int nargs;
        Frame* prev;
    };

    enum class Deferred { None, Open, Close };

    struct ScriptRequest {
        int argc;
        char** argv;
        int script_index;
    };

    lua_State* Current() const { return frame_ != nullptr ? frame_->L : main_; }
    ILuaObject* Lookup(int fn_ref, const char* name, LuaObject* object);
    LuaObject* NewHandle(int ref);
    void Reclaim(lua_State* L);
    bool Protected(lua_State* L, int fn_ref, void* request, LuaObject* object, int nresults, bool report);
    void Enter();
    void Leave(lua_State* L);
    void RunEntry(lua_State* L, bool open);
    void RequestModule(lua_State* L, bool open);

    static int InstallStep(lua_State* L);
    static int ArgsStep(lua_State* L);
    static int Trampoline(lua_State* L);
    static int NativeQuit(lua_State* L);
    static int NativeSetTimer(lua_State* L);
    static int NativeKillTimer(lua_State* L);
    static int NativeOpenModule(lua_State* L);
    static int NativeCloseModule(lua_State* L);
    static int NativeStats(lua_State* L);
    static void TimerThunk(void* context);
    static LuaHost* Self(lua_State* L);

    lua_State* main_;
    Frame* frame_ = nullptr;
    int depth_ = 0;  // calls into the module in progress (module code on the C stack)
    Deferred deferred_ = Deferred::None;

    std::vector<std::unique_ptr<LuaObject>> handles_;  // every handle ever made
    std::vector<LuaObject*> live_;                     // handed out, not yet reclaimed
    std::vector<LuaObject*> spare_;                    // reclaimed, ready for reuse
    std::size_t peak_live_ = 0;
    LuaObject nil_handle_;  // every lookup that finds nil; never reclaimed

    int last_top_ = 0;       // main stack top after the last dispatch, before repair
    long long dropped_ = 0;  // stack slots the host had to drop after a dispatch
    unsigned long long dispatches_ = 0;

    OpenEntry open_entry_ = nullptr;
    CloseEntry close_entry_ = nullptr;
    bool module_open_ = false;
    bool quit_ = false;
    int exit_code_ = 0;

    int traceback_ref_ = LUA_NOREF;
    int timer_fn_ref_ = LUA_NOREF;
    int get_global_ref_ = LUA_NOREF;
    int get_field_ref_ = LUA_NOREF;
    int set_function_ref_ = LUA_NOREF;
    int new_table_ref_ = LUA_NOREF;
    int new_string_ref_ = LUA_NOREF;
    int to_string_ref_ = LUA_NOREF;
    int index_ref_ = LUA_NOREF;  // table: value -> slot in live_, for the call in progress
};

}  // namespace qvhost

#endif
