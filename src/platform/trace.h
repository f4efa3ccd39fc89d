// The debugger trace: a side channel for developers, never seen by scripts.
#ifndef QV_PLATFORM_TRACE_H
#define QV_PLATFORM_TRACE_H

#include <string_view>

namespace platform {

// Settles where the trace goes, once per opening of the module, so that
// tracing a line costs no lookup of the environment.
void ConfigureTrace();

// Writes `head` and `line` as one trace line; the line end is added here.
// In two parts so that nothing is joined when no one is listening.
void DebuggerTrace(std::string_view head, std::string_view line);

}  // namespace platform

#endif
