#include "module/console.h"

#include <string>

#include "module/globals.h"

namespace {

void Print(ILuaInterface& lua, std::string_view head, std::string_view text) {
    std::string line(head);
    line.append(text).append(1, '\n');
    // As data, never as the format: a reason may quote a server's '%'.
    lua.PrintFormatted("%s", line.c_str());
}

}  // namespace

void ConsoleLine(std::string_view text) {
    if (gLua != nullptr) Print(*gLua, "[quorvane] ", text);
}

void ConsoleWarning(std::string_view text) {
    if (gLua != nullptr) Print(*gLua, "[quorvane] !! ", text);
}

int ReportFailure(ILuaInterface& lua, std::string_view text) {
    Print(lua, "[quorvane] !! ", text);
    const std::string result(text);
    lua.PushText(result.c_str());
    return 1;
}
