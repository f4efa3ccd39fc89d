// irc.SetStsFile: the file STS policies are kept in, so that a host started
// again still takes a plain connect to TLS where a server required it.
#include <string>
#include <utility>

#include "commands/args.h"
#include "commands/commands.h"
#include "module/console.h"
#include "module/globals.h"
#include "net/utf8.h"
#include "platform/file.h"
#include "protocol/sts_file.h"

namespace {

// A console line, not a document: a path of absurd length is cut.
constexpr std::size_t kMaxPathShown = 256;

}  // namespace

int QV_CDECL SetStsFile(lua_State*) {
    ILuaInterface* lua = gLua;
    if (lua == nullptr) return 0;
    const std::string path = TextArg(*lua, 1);
    if (path.empty()) {
        if (!Globals::stsFile.empty()) ConsoleLine("STS policies are kept for this process only from now on");
        Globals::stsFile.clear();
        return 0;
    }
    std::string bytes;
    std::string error;
    const platform::FileRead read =
        platform::ReadWholeFile(path, kMaxStsFileBytes, "too large for an STS policy file", bytes, error);
    if (read == platform::FileRead::Refused) return ReportFailure(*lua, "STS file: " + error);
    // Into a copy: a file refused changes nothing, the file used before stays.
    StsPolicies policies = Globals::stsPolicies;
    std::size_t taken = 0;
    std::string skipped;
    if (read == platform::FileRead::Read && !ReadStsFileText(bytes, policies, taken, error, skipped))
        return ReportFailure(*lua, "STS file: " + error);
    // Written at once: a file that cannot be kept is told now, not when a
    // server's policy is lost.
    if (!platform::ReplaceWholeFile(path, StsFileText(policies), error)) return ReportFailure(*lua, "STS file: " + error);
    Globals::stsPolicies = std::move(policies);
    Globals::stsFile = path;
    if (!skipped.empty()) ConsoleWarning("STS file: " + skipped);
    ConsoleLine("STS policies are kept in " + utf8::OneLine(path, kMaxPathShown) + " (" + std::to_string(taken) +
                " read from it)");
    return 0;
}
