// The Windows test host: loads quorvane.dll as a Windows host does (built
// 32- and 64-bit, each loading the DLL of its width), stands in for the host's Lua embedding (the three interfaces, in C++: each
// hook.Call is recorded as an event, script arguments are given by
// position), pumps the thread's message loop that runs the module's timer,
// and drives each scenario against a loopback IRC peer (irc_peer.py) that it
// steers over a control link.
//
// Built twice from these files: by MinGW g++, and by clang for Microsoft's
// C++ ABI with no C runtime at all. So nothing here uses the C or C++
// library: memory comes from one heap per scenario, freed whole at its end,
// and text from the helpers below.
#ifndef QV_TESTS_WIN32_HARNESS_H
#define QV_TESTS_WIN32_HARNESS_H

#include <winsock2.h>
#include <windows.h>

#include <stdarg.h>
#include <stddef.h>

#include "host/lua_interface.h"

// ---- Memory and text ------------------------------------------------------

// One scenario's memory: a private heap, destroyed with everything in it.
class Arena {
public:
    Arena() : heap_(HeapCreate(0, 0, 0)) {}
    ~Arena() { HeapDestroy(heap_); }
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;

    void* Alloc(size_t bytes);  // zeroed
    void* Resize(void* block, size_t bytes);
    // A copy of `n` bytes of `text` (all of it for -1), NUL-terminated.
    const char* Copy(const char* text, int n = -1);
    // printf-like: %s %d %u %c %% only.
    const char* Format(const char* format, ...);
    const char* FormatV(const char* format, va_list args);

private:
    HANDLE heap_;
};

// A growable array of plain values (copied bytewise, never destroyed).
template <class T>
class List {
public:
    explicit List(Arena& arena) : arena_(&arena) {}
    void Add(const T& item) {
        if (count_ == capacity_) {
            capacity_ = capacity_ == 0 ? 16 : capacity_ * 2;
            items_ = static_cast<T*>(arena_->Resize(items_, sizeof(T) * capacity_));
        }
        items_[count_++] = item;
    }
    int Count() const { return count_; }
    T& operator[](int i) { return items_[i]; }
    const T& operator[](int i) const { return items_[i]; }
    void Truncate(int count) {
        if (count < count_) count_ = count;
    }
    void Clear() { count_ = 0; }

private:
    Arena* arena_;
    T* items_ = nullptr;
    int count_ = 0;
    int capacity_ = 0;
};

// Text that grows at its end.
class Text {
public:
    explicit Text(Arena& arena) : chars_(arena) {}
    void Append(const char* text, int n = -1);
    const char* c_str() const { return chars_.Count() == 0 ? "" : &chars_[0]; }

private:
    List<char> chars_;  // always NUL-terminated once non-empty
};

int Length(const char* text);
bool Same(const char* a, const char* b);  // equal texts; two nulls are equal
bool Contains(const char* text, const char* part);
// `text` with control bytes, bytes above 0x7E and '\' written as \xNN: for
// messages, and the form text takes on the peer's control link.
const char* Escaped(Arena& arena, const char* text);

// To the host's standard output; printf-like as Arena::Format.
void Print(const char* format, ...);

// Milliseconds on a monotonic clock (QueryPerformanceCounter).
double NowMs();

// ---- The host's scripting interfaces --------------------------------------

// A script value handed to irc.* as an argument.
struct Value {
    enum Kind { Nil, String, Number, Flag, Object } kind = Nil;
    const char* text = nullptr;
    int number = 0;
    ILuaObject* object = nullptr;
};
inline Value ToValue(const char* text) { return {Value::String, text}; }
inline Value ToValue(int number) { return {Value::Number, nullptr, number}; }
inline Value ToValue(bool flag) { return {Value::Flag, nullptr, flag ? 1 : 0}; }
inline Value ToValue(decltype(nullptr)) { return {}; }

// What a script function returned: its results as text (null for non-text).
struct Results {
    const char* text[4];
    int count;
};

// One call of hook.Call, as a script's handler would see it.
struct Event {
    const char* name;
    const char* args[6];  // after the nil; null for a value that is not text
    int argc;
    bool nil_second;      // the module passes nil as the second argument
    unsigned tick;        // the module's WM_TIMER dispatch that raised it; 0 for none
    bool woken;           // that WM_TIMER was to the module's window (a socket's wake), not the poll's timer
    double at_ms;         // NowMs() at that dispatch
};

class Host;

// The tables and functions the module looks up: irc, hook, hook.Call.
class HostObject final : public ILuaObject {
public:
    enum Kind { IrcTable, HookTable, HookCall };
    HostObject(Host& host, Kind kind) : host_(host), kind_(kind) {}
    void SetFunctionMember(const char* name, ScriptFunction fn) override;
    ILuaObject* FindMember(const char* name) override;
    Kind kind() const { return kind_; }

private:
    Host& host_;
    Kind kind_;
};

class Host final : public ILuaInterface, public ILuaModuleManager {
public:
    explicit Host(Arena& arena);

    // ILuaInterface
    lua_State* InterpreterState() override;
    ILuaObject* FindGlobal(const char* name) override;
    const char* ArgText(int pos) override;
    int ArgInt(int pos) override;
    bool ArgFlag(int pos) override;
    void PushText(const char* text) override;
    void PushObject(ILuaObject* object) override;
    bool CallFunction(int args, int results) override;
    void CreateGlobalTable(const char* name) override;
    ILuaModuleManager* ModuleManager() override;
    void PushNilValue() override;
    void PrintFormatted(const char* format, ...) override;
    // ILuaModuleManager
    ILuaInterface* InterfaceFor(lua_State* state) override;

    // Calls irc.<name> as a script would: Call("Join", "#c").
    template <class... A>
    Results Call(const char* name, A... args) {
        const Value values[] = {ToValue(args)..., Value{}};
        return CallWith(name, values, static_cast<int>(sizeof...(A)));
    }
    Results CallWith(const char* name, const Value* args, int count);
    int FunctionCount() const { return function_count_; }
    void ResetStack() { stack_.Clear(); }
    void StoreFunction(const char* name, ScriptFunction fn);

    Arena& arena;
    List<Event> events;
    Text console;            // everything PrintFormatted printed
    List<const char*> trace; // the module's debugger-trace lines
    unsigned tick = 0;       // set by the message loop around a dispatch to the module
    double tick_at = 0;
    bool woken = false;      // and whether it is a socket's wake, not the poll's timer
    // A script's handler: runs inside hook.Call, after the event is recorded.
    void (*on_event)(Host& host, const Event& event) = nullptr;
    void* user = nullptr;    // for on_event

private:
    friend class HostObject;
    struct Function {
        const char* name;
        ScriptFunction fn;
    };
    HostObject irc_, hook_, call_;
    bool irc_exists_ = false;
    // More than the module registers, so a function too many shows in the count.
    static constexpr int kMaxFunctions = 32;
    Function functions_[kMaxFunctions] = {};
    int function_count_ = 0;
    List<Value> stack_;
    const Value* args_ = nullptr;
    int arg_count_ = 0;
};

// ---- The peer ---------------------------------------------------------------

class Test;

// The number a peer reply starts with (a port).
int ReplyNumber(const char* reply);

// The control link to irc_peer.py, which plays the IRC server on loopback.
// One command line out, one reply line back ("OK [text]" or "ERR why");
// while a reply is awaited the test's message loop keeps running, so the
// module ticks as it would in a host. A failing command fails the test and
// returns false (or 0, or null).
class Peer {
public:
    bool Open(int port);
    Test* test = nullptr;

    bool Reset();                 // no listener, no client, no background sender
    int Listen();                 // a fresh listener: its port
    int Silent();                 // a port whose listener never answers a connect
    bool Accept(int ms = 5000);   // the module connects to the latest listener
    bool Send(const char* bytes); // to the module, as they are
    // `line` + CR LF, `count` times, one every `every_ms`, in the background.
    bool Trickle(int every_ms, int count, const char* line);
    const char* Next(int ms = 3000);              // the next line the module sent
    bool Expect(const char* line, int ms = 3000); // the next line is this one
    // The registration (CAP LS 302, PASS, NICK, USER), answered as a server
    // that knows no CAP answers it (421) and welcomed (001), so the script's
    // lines go at once.
    bool ExpectRegistration(const char* nick = "qv");
    bool Await(const char* line, int ms = 3000);  // skips lines until this one
    bool Quiet(int ms);                           // no line within `ms`
    bool Eof(int ms = 3000);                      // the module closes the link
    bool Drop();                                  // the peer closes the link

    // Any command: `verb`, then `args` as they are, then `text` escaped.
    // Waits for the reply up to `wait_ms` plus a margin. The text after OK
    // lands in `reply`.
    bool Command(const char* verb, const char* args, const char* text, int wait_ms = 0);
    const char* reply = nullptr;

private:
    SOCKET sock_ = INVALID_SOCKET;
    char inbox_[8192] = {};
    int inbox_len_ = 0;
};

// ---- A running scenario -------------------------------------------------------

class Test {
public:
    Test(Arena& arena, Host& host, Peer& peer, const char* dll_path);

    Arena& arena;
    Host& host;
    Peer& peer;

    // LoadLibrary and gmod_open; gmod_close, FreeLibrary, and a check that
    // the DLL is gone.
    bool Load();
    void Unload();
    bool Loaded() const { return module_ != nullptr; }
    // Points the loaded module's import of `function` from `dll` at
    // `replacement`, as a seam into the system calls it makes; the original,
    // or null (and a failure) when it imports no such function. Undone by
    // the unload.
    void* PatchImport(const char* dll, const char* function, void* replacement);

    // The message loop, which runs the module's WM_TIMER ticks: Pump runs
    // it for `ms`; PumpOnce waits at most `ms` for a message, then
    // dispatches all that are queued.
    void Pump(int ms);
    void PumpOnce(int ms);
    // Pumps until `n` more ticks have run (at most `ms`); true if they did.
    bool PumpTicks(int n, int ms = 3000);
    // The index in host.events of the first `name` event at or after index
    // `from`, pumping until it is there; -1 (and a failure) after `ms`.
    int WaitEvent(const char* name, int from = 0, int ms = 3000);

    // False checks print why and fail the scenario; they return `ok`.
    bool Check(bool ok, const char* format, ...);
    // host.events[index] is `name` with nil and then exactly these texts.
    template <class... A>
    bool CheckEvent(int index, const char* name, A... texts) {
        const char* want[] = {texts..., nullptr};
        return CheckEventWith(index, name, want, static_cast<int>(sizeof...(A)));
    }
    bool CheckEventWith(int index, const char* name, const char* const* want, int count);
    void Note(const char* format, ...);  // a line in the log
    bool Failed() const { return failures_ > 0; }

    // irc.Connect to a fresh peer listener as nick `nick`, user "u",
    // realname "Ann Lee"; checks the registration lines arrive in order.
    bool ConnectToPeer(const char* nick = "qv");

    // Each WM_TIMER of the poll's timer dispatched, in order: when it came.
    List<double> tick_times;
    // Each WM_TIMER to the module's window (a socket's wake, which its
    // window procedure posts) dispatched, in order: when it came.
    List<double> wake_times;
    int wakes_after_unload = 0;
    int ticks_after_unload = 0;

private:
    const char* dll_path_;
    HMODULE module_ = nullptr;
    int(QV_CDECL* close_)(lua_State*) = nullptr;
    char module_file_[MAX_PATH] = {};
    int failures_ = 0;
};

// ---- Timing ------------------------------------------------------------------

// The median gap between successive times, or -1 for fewer than two.
double MedianGap(const List<double>& times);
// When the ticks that raised `event` (from event index `from` on) ran: one
// time per tick, however many such events it raised.
List<double> TicksThatRaised(const Test& test, const char* event, int from = 0);

// ---- Scenarios ---------------------------------------------------------------

struct Scenario {
    const char* name;
    void (*run)(Test& test);
};
extern const Scenario kScenarios[];
extern const int kScenarioCount;

#endif
