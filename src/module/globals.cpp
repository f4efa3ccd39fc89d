#include "module/globals.h"

#include "net/connection.h"

ILuaInterface* gLua = nullptr;
ILuaModuleManager* modulemanager = nullptr;

std::unique_ptr<Connection> Globals::client;
bool Globals::bDebug = true;
Settings Globals::settings;
