// The debugger trace: a side channel for developers, never seen by scripts.
#ifndef QV_PLATFORM_TRACE_H
#define QV_PLATFORM_TRACE_H

#include <string_view>

namespace platform {

// Writes one trace line; the line end is added here.
void DebuggerTrace(std::string_view line);

}  // namespace platform

#endif
