// The two entries the host looks up by name.
#include "module/globals.h"
#include "entry/lifecycle.h"
#include "module/no_throw.h"
#include "platform/abi.h"

extern "C" QV_EXPORT int QV_CDECL gmod_open(ILuaInterface* lua) {
    if (lua == nullptr) return 0;
    return NoThrow([lua] {
        modulemanager = lua->ModuleManager();
        return Init(lua->InterpreterState());
    });
}

extern "C" QV_EXPORT int QV_CDECL gmod_close(lua_State* state) {
    return NoThrow([state] { return Shutdown(state); });
}
