// irc.Connect and irc.Close: opening the link with registration, and ending it.
#include <memory>
#include <string>

#include "commands/args.h"
#include "commands/commands.h"
#include "module/globals.h"
#include "net/connection.h"
#include "net/poll.h"

int QV_CDECL Connect(lua_State*) {
    ILuaInterface* lua = gLua;
    if (lua == nullptr) return 0;
    if (!Globals::client || Globals::client->IsConnected()) {
        lua->PushText("Invalid Socket!");
        lua->PrintFormatted("[quorvane] !! Globals::client is invalid!!\n");
        return 1;
    }
    const std::string server = TextArg(*lua, 1);
    const int port = lua->ArgInt(2);
    const std::string nick = TextArg(*lua, 3);
    const std::string user = TextArg(*lua, 4);
    const std::string realname = TextArg(*lua, 5);

    // A closed, lost or failed link cannot be used again; a fresh one lets
    // scripts reconnect.
    if (!Globals::client->CanConnect()) Globals::client = std::make_unique<Connection>();
    if (!Globals::client->Connect(std::string(FirstLine(server)).c_str(), port)) return 0;

    const std::string_view u = FirstLine(user);
    Globals::SendIRCString("PASS pvrkqo618");
    Globals::SendIRCString("NICK " + std::string(FirstLine(nick)));
    std::string reg = "USER ";
    reg.append(u).append(" ").append(u).append(" ").append(u).append(" :").append(FirstLine(realname));
    Globals::SendIRCString(reg);

    StartPollTimer();
    return 0;
}

int QV_CDECL Close(lua_State*) {
    Globals::SendIRCString("QUIT :Leaving");
    if (Globals::client) Globals::client->Close();
    return 0;
}
