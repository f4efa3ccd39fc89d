// The trace on Windows goes to the debugger's output; with no debugger
// attached the system discards it.
#include "platform/trace.h"

#include <windows.h>

#include <string>

namespace platform {

void ConfigureTrace() {}

void DebuggerTrace(std::string_view head, std::string_view line) {
    // Reused from line to line: tracing allocates nothing once warm.
    static std::string text;
    text.assign(head).append(line) += '\n';
    OutputDebugStringA(text.c_str());
}

}  // namespace platform
