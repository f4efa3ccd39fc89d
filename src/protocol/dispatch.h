// What a line from the server means: automatic replies and script events.
#ifndef QV_PROTOCOL_DISPATCH_H
#define QV_PROTOCOL_DISPATCH_H

#include <string_view>

// One line from the server as received (message tags and all), without
// its CR LF; `nul_after`: a NUL follows it.
void ProcessLine(std::string_view received, bool nul_after = false);

#endif
