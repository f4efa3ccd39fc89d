// irc.SetClientCert: the certificate that TLS links connected from then on
// present to a server that asks for one, as networks log bots in by its
// fingerprint (CertFP).
#include <string>
#include <utility>

#include "commands/args.h"
#include "commands/commands.h"
#include "module/globals.h"
#include "platform/client_cert.h"
#include "platform/secret.h"

int QV_CDECL SetClientCert(lua_State*) {
    ILuaInterface* lua = gLua;
    if (lua == nullptr) return 0;
    const std::string path = TextArg(*lua, 1);
    if (path.empty()) {
        if (Globals::settings.client_cert) lua->PrintFormatted("[quorvane] TLS links from now on present no client certificate\n");
        Globals::settings.client_cert.reset();
        return 0;
    }
    // Read now, so neither the host's working directory later nor a change
    // to the file matters; a file that does not do keeps the one set before.
    std::string error;
    std::string password(TextArgView(*lua, 2));
    auto cert = platform::LoadClientCert(path, password, error);
    platform::Wipe(password.data(), password.size());
    if (!cert) {
        const std::string text = "Client certificate: " + error;
        lua->PrintFormatted("[quorvane] !! %s\n", text.c_str());
        lua->PushText(text.c_str());
        return 1;
    }
    Globals::settings.client_cert = std::move(cert);
    lua->PrintFormatted("[quorvane] TLS links from now on present the client certificate %s, SHA-256 fingerprint %s\n",
                        Globals::settings.client_cert->Subject().c_str(), Globals::settings.client_cert->Fingerprint().c_str());
    return 0;
}
