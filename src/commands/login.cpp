// irc.SetPassword and irc.SetSASL: what the next Connect logs in with.
// The script's text is read where the host holds it and copied only into
// the settings, which clear what they held when it is replaced.
#include "commands/args.h"
#include "commands/commands.h"
#include "module/globals.h"

int QV_CDECL SetPassword(lua_State*) {
    if (gLua == nullptr) return 0;
    Globals::settings.password.Assign(FirstLine(TextArgView(*gLua, 1)));
    return 0;
}

int QV_CDECL SetSASL(lua_State*) {
    if (gLua == nullptr) return 0;
    Settings& s = Globals::settings;
    const std::string_view account = FirstLine(TextArgView(*gLua, 1));
    s.sasl_account.Assign(account);
    s.sasl_password.Assign(account.empty() ? std::string_view{} : FirstLine(TextArgView(*gLua, 2)));
    return 0;
}
