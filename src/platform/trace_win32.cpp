// The trace on Windows goes to the debugger's output; with no debugger
// attached the system discards it.
#include "platform/trace.h"

#include <windows.h>

#include <string>

namespace platform {

void DebuggerTrace(std::string_view head, std::string_view line) {
    std::string text;
    text.reserve(head.size() + line.size() + 1);
    text.append(head).append(line) += '\n';
    OutputDebugStringA(text.c_str());
}

}  // namespace platform
