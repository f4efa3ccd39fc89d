#include "module/console.h"

#include <string>

#include "module/globals.h"

namespace {

void Print(ILuaInterface& lua, std::string_view head, std::string_view text) {
    // Reused from line to line: the echo of every received line passes
    // here. The host takes text up to a NUL, so the text is cut there and
    // its line end still follows.
    static std::string line;
    line.assign(head).append(text.substr(0, text.find('\0'))).append(1, '\n');
    // As data, never as the format: a server's text may hold '%'.
    lua.PrintFormatted("%s", line.c_str());
}

}  // namespace

void ConsoleLine(std::string_view text) {
    if (gLua != nullptr) Print(*gLua, "[quorvane] ", text);
}

void ConsoleWarning(std::string_view text) {
    if (gLua != nullptr) Print(*gLua, "[quorvane] !! ", text);
}

void ConsoleEcho(std::string_view text) {
    if (gLua != nullptr) Print(*gLua, {}, text);
}

int ReportFailure(ILuaInterface& lua, std::string_view text) { return ReportFailure(lua, text, text); }

int ReportFailure(ILuaInterface& lua, std::string_view console, std::string_view result) {
    Print(lua, "[quorvane] !! ", console);
    const std::string text(result);
    lua.PushText(text.c_str());
    return 1;
}
