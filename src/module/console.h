// The module's own lines on the host console, and a script function's
// failure in words: one form for all of them.
#ifndef QV_MODULE_CONSOLE_H
#define QV_MODULE_CONSOLE_H

#include <string_view>

#include "host/lua_interface.h"

// "[quorvane] " and `text`, a line of its own; nothing while the module is
// shut.
void ConsoleLine(std::string_view text);
// The same for what went wrong, or may: "[quorvane] !! " and `text`.
void ConsoleWarning(std::string_view text);
// `text` as it is, a line of its own: the echo of what the server sent.
void ConsoleEcho(std::string_view text);

// A script function that fails says why twice: a warning on the console,
// and the same text as its one result. Gives the count of results.
int ReportFailure(ILuaInterface& lua, std::string_view text);
// The same where the console's words are not the result's.
int ReportFailure(ILuaInterface& lua, std::string_view console, std::string_view result);

#endif
