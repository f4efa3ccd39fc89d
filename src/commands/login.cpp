// irc.SetPassword and irc.SetSASL: what the next Connect logs in with.
#include "commands/args.h"
#include "commands/commands.h"
#include "commands/registration.h"
#include "module/globals.h"
#include "protocol/sasl.h"

int QV_CDECL SetPassword(lua_State*) {
    if (gLua == nullptr) return 0;
    SetServerPassword(TextArg(*gLua, 1));
    return 0;
}

int QV_CDECL SetSASL(lua_State*) {
    if (gLua == nullptr) return 0;
    const std::string account = TextArg(*gLua, 1);
    const std::string password = TextArg(*gLua, 2);
    SetSaslCredentials(FirstLine(account), FirstLine(password));
    return 0;
}
