// The operations the module needs of its host's Lua embedding. The host
// implements these classes; the module only ever calls through them.
// Operations stand in the order the host declares them: the order is the
// vtable layout, so it is part of the binary contract.
#ifndef QV_HOST_LUA_INTERFACE_H
#define QV_HOST_LUA_INTERFACE_H

#include "platform/abi.h"

struct lua_State;  // opaque: one interpreter state

class ILuaInterface;

// A native function callable from scripts: reads its arguments by position,
// pushes its results and returns how many it pushed.
using ScriptFunction = int(QV_CDECL*)(lua_State*);

// Handle to a script value (a table or function) handed out by the host.
// The module never releases one; the host reclaims them.
class ILuaObject {
public:
    virtual void SetFunctionMember(const char* name, ScriptFunction fn) = 0;
    virtual ILuaObject* FindMember(const char* name) = 0;

protected:
    ~ILuaObject() = default;
};

class ILuaModuleManager {
public:
    virtual ILuaInterface* InterfaceFor(lua_State* state) = 0;

protected:
    ~ILuaModuleManager() = default;
};

// The host's scripting interface for one interpreter state. Text is 8-bit
// and NUL-terminated in both directions.
class ILuaInterface {
public:
    virtual lua_State* InterpreterState() = 0;
    virtual ILuaObject* FindGlobal(const char* name) = 0;
    // The call's argument at `pos` (from 1) as text, or null for none.
    virtual const char* ArgText(int pos) = 0;
    virtual int ArgInt(int pos) = 0;
    virtual bool ArgFlag(int pos) = 0;
    virtual void PushText(const char* text) = 0;
    virtual void PushObject(ILuaObject* object) = 0;
    // Calls the function pushed before the `args` arguments, Lua's order.
    virtual bool CallFunction(int args, int results) = 0;
    virtual void CreateGlobalTable(const char* name) = 0;
    virtual ILuaModuleManager* ModuleManager() = 0;
    virtual void PushNilValue() = 0;
    // printf-style print to the host console; adds no line end.
    virtual void PrintFormatted(const char* format, ...) = 0;

protected:
    ~ILuaInterface() = default;
};

#endif
