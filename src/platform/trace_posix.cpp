// POSIX has no debugger output channel, so the trace goes where the
// environment variable QUORVANE_TRACE says: "stderr", or a file to append
// to. Unset or empty, lines are discarded, as a Windows trace is when no
// debugger listens.
#include "platform/trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

struct TraceOutput {
    std::FILE* out = nullptr;
    bool owned = false;

    ~TraceOutput() { Reset(); }
    void Reset() {
        if (owned) std::fclose(out);
        out = nullptr;
        owned = false;
    }
};

TraceOutput trace;

}  // namespace

void ConfigureTrace() {
    trace.Reset();
    const char* dest = std::getenv("QUORVANE_TRACE");
    if (dest == nullptr || *dest == '\0') return;
    if (std::strcmp(dest, "stderr") == 0) {
        trace.out = stderr;
        return;
    }
    trace.out = std::fopen(dest, "ae");
    trace.owned = trace.out != nullptr;
}

void DebuggerTrace(std::string_view head, std::string_view line) {
    std::FILE* out = trace.out;
    if (out == nullptr) return;
    std::fwrite(head.data(), 1, head.size(), out);
    std::fwrite(line.data(), 1, line.size(), out);
    std::fputc('\n', out);
    std::fflush(out);
}

}  // namespace platform
