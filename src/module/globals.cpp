#include "module/globals.h"

#include "net/connection.h"

ILuaInterface* gLua = nullptr;
ILuaModuleManager* modulemanager = nullptr;

std::unique_ptr<Connection> Globals::client;
bool Globals::bDebug = true;
int Globals::pingTimeout = Connection::kDefaultPingTimeoutS;
bool Globals::bUTF8 = false;
OwnPrefix Globals::self;
std::shared_ptr<const platform::ClientCert> Globals::clientCert;
