// quorvane-host [--module PATH | --no-module] SCRIPT [ARGS...]
//
// Loads the module into a LuaJIT state the way the scripting host does,
// runs the script, then pumps the process's message loop (the module's
// poll and the script's timers) until host.Quit or SIGINT/SIGTERM. On a
// signal the script gets hook.Call("ShutDown") and up to a second of loop
// to leave cleanly; a second signal cuts that short.
#include "lua_host.h"
#include "platform/loop.h"

#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

volatile std::sig_atomic_t g_stop = 0;  // stop signals received

void OnStopSignal(int) {
    if (g_stop < 2) g_stop = g_stop + 1;
    qv_loop_wakeup();
}

// After ShutDown: the loop runs while something falls due within the
// grace period (a QUIT to flush, a timer the handler set), never longer,
// and not at all when nothing is pending.
void PumpForShutDown(qvhost::LuaHost& host) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (!host.QuitRequested() && g_stop < 2) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        int next = qv_loop_next_due_ms();
        if (next < 0 || next > left) break;
        host.DispatchOne(static_cast<int>(left));
    }
}

void InstallSignals() {
    // A peer that hangs up, or a closed stdout, must show up as a write
    // error, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

std::string DefaultModulePath() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "./quorvane.so";
    buf[n] = '\0';
    std::string dir(buf);
    dir.erase(dir.rfind('/') + 1);
    return dir + "quorvane.so";
}

int Fail(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "quorvane-host: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string module_path;
    bool with_module = true;
    int script_index = 1;
    if (argc > 2 && std::strcmp(argv[1], "--module") == 0) {
        module_path = argv[2];
        script_index = 3;
    } else if (argc > 1 && std::strcmp(argv[1], "--no-module") == 0) {
        with_module = false;
        script_index = 2;
    }
    if (script_index >= argc) {
        std::fprintf(stderr, "usage: %s [--module PATH | --no-module] SCRIPT [ARGS...]\n",
                     argc > 0 ? argv[0] : "quorvane-host");
        return 2;
    }
    const char* script = argv[script_index];
    if (module_path.empty()) module_path = DefaultModulePath();
    // dlopen searches the library path for a bare name; a path given on
    // the command line means that file.
    if (module_path.find('/') == std::string::npos) module_path = "./" + module_path;

    InstallSignals();
    // One buffered stream for print and the module's console output,
    // flushed after each loop callback rather than per line.
    static char out_buffer[1 << 16];
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);

    lua_State* L = luaL_newstate();
    if (L == nullptr) return Fail("cannot create a Lua state");
    int status = 0;
    {
        qvhost::LuaHost host(L);
        std::string error;
        if (!host.Install(&error)) {
            lua_close(L);
            return Fail("cannot start the Lua prelude: " + error);
        }

        if (with_module) {
            void* module = dlopen(module_path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (module == nullptr) {
                const char* why = dlerror();
                lua_close(L);
                return Fail("cannot load module " + module_path + ": " + (why != nullptr ? why : "unknown error"));
            }
            auto open = reinterpret_cast<qvhost::OpenEntry>(dlsym(module, "gmod_open"));
            auto close = reinterpret_cast<qvhost::CloseEntry>(dlsym(module, "gmod_close"));
            if (open == nullptr || close == nullptr) {
                lua_close(L);
                return Fail("module " + module_path + " has no " + (open == nullptr ? "gmod_open" : "gmod_close") +
                            " entry");
            }
            host.SetModule(open, close);
            host.OpenModule();
        }

        if (!host.RunScript(argc, argv, script_index, &error)) {
            host.CloseModule();
            lua_close(L);
            return Fail(std::string(script) + ": " + error);
        }
        while (!host.QuitRequested() && g_stop == 0) host.DispatchOne(-1);
        if (!host.QuitRequested()) {
            host.RaiseShutDown();
            PumpForShutDown(host);
        }

        if (host.ModuleIsOpen()) host.CloseModule();
        status = host.QuitRequested() ? host.ExitCode() : 0;
        std::fflush(stdout);
        // The module is never unloaded: its poll timer may still be
        // registered with the loop, and nothing pumps the loop from here on.
        lua_close(L);
    }
    std::fflush(stdout);
    return status & 0xff;
}
