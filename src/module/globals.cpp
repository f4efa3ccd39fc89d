#include "module/globals.h"

#include "net/connection.h"
#include "net/frame.h"

ILuaInterface* gLua = nullptr;
ILuaModuleManager* modulemanager = nullptr;

std::unique_ptr<Connection> Globals::client;
bool Globals::bDebug = true;
Settings Globals::settings;
StsPolicies Globals::stsPolicies;
std::string Globals::stsFile;

SendResult Globals::SendIRCString(std::string_view text, LineKind kind) {
    return SendLine(client.get(), text, kind, settings.utf8);
}
