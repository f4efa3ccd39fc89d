// The script functions that each send protocol lines.
#include <string>
#include <string_view>

#include "commands/args.h"
#include "commands/commands.h"
#include "module/globals.h"

namespace {

// Sends `command` followed by the script's first argument, kept to one line.
int SendWithArg(std::string_view command) {
    if (gLua == nullptr) return 0;
    std::string line(command);
    line += FirstLine(TextArg(*gLua, 1));
    Globals::SendIRCString(line);
    return 0;
}

}  // namespace

int QV_CDECL SendRaw(lua_State*) {
    // Raw on purpose: the script owns the protocol here, line breaks included.
    if (gLua == nullptr) return 0;
    Globals::SendIRCString(TextArg(*gLua, 1));
    return 0;
}

int QV_CDECL SendMessage(lua_State*) {
    if (gLua == nullptr) return 0;
    const std::string target_arg = TextArg(*gLua, 1);
    const std::string message = TextArg(*gLua, 2);
    const std::string prefix = "PRIVMSG " + std::string(FirstLine(target_arg)) + " :";
    // A message of several lines goes out as several messages; a line break
    // never reaches the server inside one.
    std::string_view rest = message;
    while (!rest.empty()) {
        std::string_view line = FirstLine(rest);
        rest.remove_prefix(line.size());
        if (!rest.empty()) rest.remove_prefix(1);
        if (!line.empty()) Globals::SendIRCString(prefix + std::string(line));
    }
    return 0;
}

int QV_CDECL Join(lua_State*) { return SendWithArg("JOIN "); }

int QV_CDECL Part(lua_State*) { return SendWithArg("PART "); }

int QV_CDECL NickServ(lua_State*) { return SendWithArg("NICKSERV "); }
