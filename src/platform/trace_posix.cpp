// POSIX has no debugger output channel, so the trace goes where the
// environment variable QUORVANE_TRACE says: "stderr", or a file to append
// to. Unset or empty, lines are discarded, as a Windows trace is when no
// debugger listens.
#include "platform/trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace platform {
namespace {

// The open trace file, kept across lines and reopened when the variable
// names another destination.
struct TraceFile {
    std::string path;
    std::FILE* file = nullptr;

    ~TraceFile() { Reset(); }
    void Reset() {
        if (file != nullptr) std::fclose(file);
        file = nullptr;
        path.clear();
    }
    std::FILE* For(const char* wanted) {
        if (file == nullptr || path != wanted) {
            Reset();
            file = std::fopen(wanted, "ae");
            if (file != nullptr) path = wanted;
        }
        return file;
    }
};

TraceFile trace_file;

}  // namespace

void DebuggerTrace(std::string_view head, std::string_view line) {
    const char* dest = std::getenv("QUORVANE_TRACE");
    if (dest == nullptr || *dest == '\0') return;
    std::FILE* out = std::strcmp(dest, "stderr") == 0 ? stderr : trace_file.For(dest);
    if (out == nullptr) return;
    std::string text;
    text.reserve(head.size() + line.size() + 1);
    text.append(head).append(line) += '\n';
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
}

}  // namespace platform
