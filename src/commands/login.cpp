// irc.SetPassword and irc.SetSASL: what the next Connect logs in with.
// The script's text is read where the host holds it and copied only into
// the settings, which clear what they held when it is replaced.
#include <string>

#include "commands/args.h"
#include "commands/commands.h"
#include "module/console.h"
#include "module/globals.h"
#include "net/ascii.h"
#include "net/frame.h"

namespace {

// The mechanism a script names, in any case; false for one we do not have.
bool MechanismNamed(std::string_view name, SaslMechanism& mechanism) {
    auto same = [name](std::string_view known) { return ascii::SameFolded(name, known); };
    if (name.empty() || same("PLAIN")) {
        mechanism = SaslMechanism::Plain;
    } else if (same("EXTERNAL")) {
        mechanism = SaslMechanism::External;
    } else if (same("SCRAM-SHA-256")) {
        mechanism = SaslMechanism::ScramSha256;
    } else {
        return false;
    }
    return true;
}

}  // namespace

int QV_CDECL SetPassword(lua_State*) {
    if (gLua == nullptr) return 0;
    // No text (nil, false, nothing: the host tells them apart by none)
    // returns to the fixed password; empty text is no password at all.
    const char* text = gLua->ArgText(1);
    Globals::settings.password.Assign(FirstLine(text != nullptr ? std::string_view(text) : std::string_view()));
    Globals::settings.no_password = text != nullptr && Globals::settings.password.Empty();
    return 0;
}

int QV_CDECL SetSASL(lua_State*) {
    ILuaInterface* lua = gLua;
    if (lua == nullptr) return 0;
    SaslMechanism mechanism;
    const std::string_view name = TextArgView(*lua, 3);
    if (!MechanismNamed(name, mechanism)) {
        // Nothing changes: the script learns of its mistake at once, not
        // from a login that fails later.
        return ReportFailure(*lua, "SASL: unknown mechanism " + std::string(FirstLine(name)));
    }
    Settings& s = Globals::settings;
    const std::string_view account = FirstLine(TextArgView(*lua, 1));
    s.sasl_account.Assign(account);
    // EXTERNAL has no password: the certificate is the proof.
    const bool password = !account.empty() && mechanism != SaslMechanism::External;
    s.sasl_password.Assign(password ? FirstLine(TextArgView(*lua, 2)) : std::string_view{});
    s.sasl_mechanism = mechanism;
    return 0;
}
