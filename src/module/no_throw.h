// The boundary to the host: the host is C-like and cannot unwind a C++
// exception, so none may leave the module. Where one is thrown (memory
// exhausted, or thrown by a host call) the work in hand is dropped, as the
// module drops a line it cannot send.
#ifndef QV_MODULE_NO_THROW_H
#define QV_MODULE_NO_THROW_H

#include "host/lua_interface.h"
#include "platform/secret.h"

template <class Fn>
int NoThrow(Fn&& fn) noexcept {
    try {
        return fn();
    } catch (...) {
        return 0;
    }
}

// A script function as the host may call it. What it copied (a password
// it sent, say) leaves no trace in the registers the host gets back.
template <ScriptFunction Fn>
int QV_CDECL NoThrowScriptFunction(lua_State* state) noexcept {
    const int results = NoThrow([state] { return Fn(state); });
    platform::WipeRegisters();
    return results;
}

#endif
