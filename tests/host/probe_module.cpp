// A stand-in module for testing the host without a network: it enters and
// uses the host exactly as the IRC module does (same entries, same event
// convention: look up hook.Call anew, push, call, never pop, never release),
// plus a few deliberate misuses the host must survive.
#include "host/lua_interface.h"
#include "platform/loop.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

ILuaInterface* gLua = nullptr;
ILuaInterface* lastLua = nullptr;  // kept across close, for the close message

struct Ticker {
    unsigned id = 0;
    int per_tick = 0;
    int ticks_left = 0;
    bool leave = false;  // push without calling: the host must drop it
    std::string event;
    long long raised = 0;
} ticker;

// The module's way of raising an event, step for step.
bool Raise(const std::string& event, const char* a1, const char* a2) {
    ILuaObject* call = gLua->FindGlobal("hook")->FindMember("Call");
    gLua->PushObject(call);
    gLua->PushText(event.c_str());
    gLua->PushNilValue();
    int k = 0;
    if (a1 != nullptr) gLua->PushText(a1), ++k;
    if (a2 != nullptr) gLua->PushText(a2), ++k;
    return gLua->CallFunction(2 + k, 1);
}

void Tick(void*) {
    if (gLua != nullptr) {
        for (int i = 0; i < ticker.per_tick; ++i) {
            if (ticker.leave) {
                gLua->PushText("left behind");
                continue;
            }
            Raise(ticker.event, "line", std::to_string(ticker.raised).c_str());
            ++ticker.raised;
        }
    }
    if (ticker.ticks_left > 0 && --ticker.ticks_left == 0) {
        qv_loop_kill_timer(ticker.id);
        ticker.id = 0;
    }
}

int PushCount(long long n) {
    gLua->PushText(std::to_string(n).c_str());
    return 1;
}

// probe.Raise(event, count, a1, a2) -> number of calls that succeeded
int ProbeRaise(lua_State*) {
    const char* event = gLua->ArgText(1);
    int count = gLua->ArgInt(2);
    std::string a1 = gLua->ArgText(3) != nullptr ? gLua->ArgText(3) : "";
    std::string a2 = gLua->ArgText(4) != nullptr ? gLua->ArgText(4) : "";
    bool has1 = gLua->ArgText(3) != nullptr, has2 = gLua->ArgText(4) != nullptr;
    long long ok = 0;
    for (int i = 0; i < count; ++i)
        ok += Raise(event != nullptr ? event : "", has1 ? a1.c_str() : nullptr, has2 ? a2.c_str() : nullptr);
    return PushCount(ok);
}

// probe.Tick(period_ms, per_tick, ticks, event [, leave])
int ProbeTick(lua_State*) {
    if (ticker.id != 0) qv_loop_kill_timer(ticker.id);
    ticker.per_tick = gLua->ArgInt(2);
    ticker.ticks_left = gLua->ArgInt(3);
    ticker.event = gLua->ArgText(4) != nullptr ? gLua->ArgText(4) : "";
    ticker.leave = gLua->ArgFlag(5);
    ticker.id = qv_loop_set_timer(static_cast<unsigned>(gLua->ArgInt(1)), Tick, nullptr);
    return 0;
}

int ProbeRaised(lua_State*) { return PushCount(ticker.raised); }

// probe.Watch(event): a pipe with a byte in it, watched; its callback
// raises `event` once (leaving a text pushed, as a careless tick might),
// then stops the watch and closes the pipe.
struct PipeWatch {
    int fd[2] = {-1, -1};
    unsigned id = 0;
    std::string event;
} piped;

void PipeReady(void*) {
    char c;
    if (read(piped.fd[0], &c, 1) != 1) return;
    qv_loop_unwatch_fd(piped.id);
    close(piped.fd[0]);
    close(piped.fd[1]);
    piped.id = 0;
    if (gLua == nullptr) return;
    Raise(piped.event, "ready", nullptr);
    gLua->PushText("left behind");
}

int ProbeWatch(lua_State*) {
    if (piped.id != 0 || pipe(piped.fd) != 0) return 0;
    piped.event = gLua->ArgText(1) != nullptr ? gLua->ArgText(1) : "";
    piped.id = qv_loop_watch_fd(piped.fd[0], 0, PipeReady, nullptr);
    if (write(piped.fd[1], "x", 1) != 1) return 0;
    return 0;
}

// probe.Describe(...) -> "text/int/flag" for positions 1 to 4, joined by "|"
int ProbeDescribe(lua_State*) {
    std::string out;
    for (int pos = 1; pos <= 4; ++pos) {
        const char* t = gLua->ArgText(pos);
        if (pos > 1) out += "|";
        out += t != nullptr ? t : "<none>";
        out += "/" + std::to_string(gLua->ArgInt(pos)) + "/" + (gLua->ArgFlag(pos) ? "1" : "0");
    }
    gLua->PushText(out.c_str());
    return 1;
}

// probe.Print(text, n): formatted console output between Lua prints
int ProbePrint(lua_State*) {
    const char* t = gLua->ArgText(1);
    gLua->PrintFormatted("%s:%d\n", t != nullptr ? t : "", gLua->ArgInt(2));
    return 0;
}

// probe.BadCall() -> "false" when the host refused a call with nothing pushed
int ProbeBadCall(lua_State*) {
    bool ok = gLua->CallFunction(5, 1);
    gLua->PushText(ok ? "true" : "false");
    return 1;
}

int ProbeThrow(lua_State*) { throw std::runtime_error("probe threw"); }

// probe.Lie() claims three results and pushes none
int ProbeLie(lua_State*) { return 3; }

int ProbeTwo(lua_State*) {
    gLua->PushText("one");
    gLua->PushText("two");
    return 2;
}

// probe.Keep() keeps hook's handle past the call, as a careless module
// might; probe.Kept() then takes its pin slot for probe, sets a function
// through the kept handle (an error the host reports) and returns it: nil,
// with nothing set.
ILuaObject* kept = nullptr;

int ProbeKeep(lua_State*) {
    kept = gLua->FindGlobal("hook");
    gLua->FindGlobal("probe");
    return 0;
}

int ProbeKept(lua_State*) {
    gLua->FindGlobal("probe");
    kept->SetFunctionMember("Stray", ProbeTwo);
    gLua->PushObject(kept);
    return 1;
}

// probe.Lookup(name): the global, its name in one buffer for every call.
int ProbeLookup(lua_State*) {
    static char name[32];
    std::snprintf(name, sizeof name, "%s", gLua->ArgText(1) != nullptr ? gLua->ArgText(1) : "");
    gLua->PushObject(gLua->FindGlobal(name));
    return 1;
}

void Register(lua_State* state, ILuaModuleManager* manager) {
    gLua = manager->InterfaceFor(state);
    lastLua = gLua;
    gLua->CreateGlobalTable("probe");
    ILuaObject* t = gLua->FindGlobal("probe");
    t->SetFunctionMember("Raise", ProbeRaise);
    t->SetFunctionMember("Tick", ProbeTick);
    t->SetFunctionMember("Watch", ProbeWatch);
    t->SetFunctionMember("Raised", ProbeRaised);
    t->SetFunctionMember("Describe", ProbeDescribe);
    t->SetFunctionMember("Print", ProbePrint);
    t->SetFunctionMember("BadCall", ProbeBadCall);
    t->SetFunctionMember("Throw", ProbeThrow);
    t->SetFunctionMember("Lie", ProbeLie);
    t->SetFunctionMember("Two", ProbeTwo);
    t->SetFunctionMember("Keep", ProbeKeep);
    t->SetFunctionMember("Kept", ProbeKept);
    t->SetFunctionMember("Lookup", ProbeLookup);
}

}  // namespace

extern "C" QV_EXPORT int QV_CDECL gmod_open(ILuaInterface* lua) {
    Register(lua->InterpreterState(), lua->ModuleManager());
    return 0;
}

#ifndef QV_PROBE_NO_CLOSE
extern "C" QV_EXPORT int QV_CDECL gmod_close(lua_State*) {
    if (lastLua != nullptr) lastLua->PrintFormatted("[probe] closed\n");
    gLua = nullptr;
    return 0;
}
#endif
