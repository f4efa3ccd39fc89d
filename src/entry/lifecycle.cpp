#include "entry/lifecycle.h"

#include <iterator>

#include "commands/commands.h"
#include "module/globals.h"
#include "module/no_throw.h"
#include "net/connection.h"
#include "platform/tls.h"
#include "platform/trace.h"

namespace {

struct Registration {
    const char* name;
    ScriptFunction fn;
};

// Stored in this order; a host sees the registrations in it.
constexpr Registration kScriptFunctions[] = {
    {"Connect", NoThrowScriptFunction<Connect>},
    {"Close", NoThrowScriptFunction<Close>},
    {"SendRaw", NoThrowScriptFunction<SendRaw>},
    {"Debug", NoThrowScriptFunction<bDebug>},
    {"SendMessage", NoThrowScriptFunction<SendMessage>},
    {"Join", NoThrowScriptFunction<Join>},
    {"Part", NoThrowScriptFunction<Part>},
    {"NickServ", NoThrowScriptFunction<NickServ>},
    {"GetVersion", NoThrowScriptFunction<GetVersion>},
    // The nine above keep their places; a function added goes below.
    {"SetPingTimeout", NoThrowScriptFunction<SetPingTimeout>},
    {"SetPassword", NoThrowScriptFunction<SetPassword>},
    {"SetSASL", NoThrowScriptFunction<SetSASL>},
    {"SetUTF8", NoThrowScriptFunction<SetUTF8>},
    {"SetClientCert", NoThrowScriptFunction<SetClientCert>},
    {"SetStsFile", NoThrowScriptFunction<SetStsFile>},
    {"GetNick", NoThrowScriptFunction<GetNick>},
    {"GetChannels", NoThrowScriptFunction<GetChannels>},
    {"GetUsers", NoThrowScriptFunction<GetUsers>},
    {"GetUser", NoThrowScriptFunction<GetUser>},
    {"GetStatus", NoThrowScriptFunction<GetStatus>},
    {"GetTopic", NoThrowScriptFunction<GetTopic>},
    {"ISupport", NoThrowScriptFunction<ISupport>},
    {"FoldCase", NoThrowScriptFunction<FoldCase>},
};

ILuaInterface* InterfaceFor(lua_State* state) {
    return modulemanager != nullptr ? modulemanager->InterfaceFor(state) : nullptr;
}

}  // namespace

int Init(lua_State* state) {
    // The connection outlives every opening: a reopened module keeps talking
    // on the link it already has.
    if (!Globals::client) Globals::client = std::make_unique<Connection>();
    platform::ConfigureTrace();
    platform::PrepareTls();

    gLua = InterfaceFor(state);

    // The host is asked for the state's interface anew at each step: the
    // table is created and filled through whatever serves the state now.
    if (ILuaInterface* lua = InterfaceFor(state)) lua->CreateGlobalTable("irc");
    ILuaInterface* lua = InterfaceFor(state);
    ILuaObject* irc = lua != nullptr ? lua->FindGlobal("irc") : nullptr;
    if (irc == nullptr) return 0;
    for (const Registration& r : kScriptFunctions) irc->SetFunctionMember(r.name, r.fn);
    return 0;
}

int Shutdown(lua_State*) {
    // Only the scripts are let go: the connection and its poll stay, so the
    // server's PINGs are still answered while the module is shut.
    gLua = nullptr;
    return 0;
}
