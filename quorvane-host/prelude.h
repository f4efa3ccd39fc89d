// The Lua code every script runs on top of (hook, timer, host), compiled
// into the binary from prelude.lua.
#ifndef QV_HOST_PRELUDE_H
#define QV_HOST_PRELUDE_H

namespace qvhost {
extern const char kPrelude[];
extern const unsigned long kPreludeSize;
}  // namespace qvhost

#endif
