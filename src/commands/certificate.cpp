// irc.SetClientCert: the certificate that TLS links connected from then on
// present to a server that asks for one, as networks log bots in by its
// fingerprint (CertFP).
#include <string>
#include <utility>

#include "commands/args.h"
#include "commands/commands.h"
#include "module/console.h"
#include "module/globals.h"
#include "net/utf8.h"
#include "platform/client_cert.h"
#include "platform/secret.h"

namespace {

// A console line, not a document: a subject of absurd length is cut.
constexpr std::size_t kMaxSubjectShown = 256;

}  // namespace

int QV_CDECL SetClientCert(lua_State*) {
    ILuaInterface* lua = gLua;
    if (lua == nullptr) return 0;
    const std::string path = TextArg(*lua, 1);
    if (path.empty()) {
        if (Globals::settings.client_cert) ConsoleLine("TLS links from now on present no client certificate");
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
        return ReportFailure(*lua, "Client certificate: " + error);
    }
    Globals::settings.client_cert = std::move(cert);
    // The name is whatever the file's maker wrote: cleaned like a server's words.
    ConsoleLine("TLS links from now on present the client certificate " +
                utf8::OneLine(Globals::settings.client_cert->Subject(), kMaxSubjectShown) + ", SHA-256 fingerprint " +
                Globals::settings.client_cert->Fingerprint());
    return 0;
}
