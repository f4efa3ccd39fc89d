// The test host's machinery: memory and text, the stand-in for the host's
// Lua embedding, the message loop, the peer's control link, and the run of
// the scenarios. See harness.h.
#include "harness.h"

#ifndef QV_HOST_VARIANT
#define QV_HOST_VARIANT "?"
#endif

// ---- Memory and text ------------------------------------------------------

namespace {

[[noreturn]] void Abort(const char* why) {
    Print("ABORT: %s\n", why);
    TerminateProcess(GetCurrentProcess(), 3);
    for (;;) {}
}

// Counts what it is given and keeps what fits.
struct Sink {
    char* out;
    int capacity;
    int length;
    void Put(char c) {
        if (length < capacity) out[length] = c;
        ++length;
    }
    void Put(const char* text) {
        while (*text != '\0') Put(*text++);
    }
};

void PutUnsigned(Sink& sink, unsigned value) {
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) sink.Put(digits[--n]);
}

void FormatTo(Sink& sink, const char* format, va_list args) {
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            sink.Put(*p);
            continue;
        }
        switch (*++p) {
        case 's': {
            const char* text = va_arg(args, const char*);
            sink.Put(text != nullptr ? text : "(null)");
            break;
        }
        case 'd': {
            int value = va_arg(args, int);
            if (value < 0) sink.Put('-');
            PutUnsigned(sink, value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value));
            break;
        }
        case 'u': PutUnsigned(sink, va_arg(args, unsigned)); break;
        case 'c': sink.Put(static_cast<char>(va_arg(args, int))); break;
        case '%': sink.Put('%'); break;
        case '\0': return;
        default:
            sink.Put('%');
            sink.Put(*p);
        }
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The reverse of Escaped.
const char* Unescaped(Arena& arena, const char* text, int n) {
    char* out = static_cast<char*>(arena.Alloc(static_cast<size_t>(n) + 1));
    int len = 0;
    for (int i = 0; i < n; ++i) {
        if (text[i] == '\\' && i + 3 < n && text[i + 1] == 'x' && HexDigit(text[i + 2]) >= 0 &&
            HexDigit(text[i + 3]) >= 0) {
            out[len++] = static_cast<char>(HexDigit(text[i + 2]) * 16 + HexDigit(text[i + 3]));
            i += 3;
        } else {
            out[len++] = text[i];
        }
    }
    return out;
}

}  // namespace

void* Arena::Alloc(size_t bytes) {
    void* block = HeapAlloc(heap_, HEAP_ZERO_MEMORY, bytes != 0 ? bytes : 1);
    if (block == nullptr) Abort("out of memory");
    return block;
}

void* Arena::Resize(void* block, size_t bytes) {
    if (block == nullptr) return Alloc(bytes);
    block = HeapReAlloc(heap_, HEAP_ZERO_MEMORY, block, bytes);
    if (block == nullptr) Abort("out of memory");
    return block;
}

const char* Arena::Copy(const char* text, int n) {
    if (text == nullptr) return nullptr;
    if (n < 0) n = Length(text);
    char* copy = static_cast<char*>(Alloc(static_cast<size_t>(n) + 1));
    for (int i = 0; i < n; ++i) copy[i] = text[i];
    return copy;
}

const char* Arena::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const char* text = FormatV(format, args);
    va_end(args);
    return text;
}

const char* Arena::FormatV(const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    Sink count{nullptr, 0, 0};
    FormatTo(count, format, args);
    char* text = static_cast<char*>(Alloc(static_cast<size_t>(count.length) + 1));
    Sink sink{text, count.length, 0};
    FormatTo(sink, format, again);
    va_end(again);
    return text;
}

void Text::Append(const char* text, int n) {
    if (n < 0) n = Length(text);
    if (chars_.Count() > 0) chars_.Truncate(chars_.Count() - 1);  // the NUL
    for (int i = 0; i < n; ++i) chars_.Add(text[i]);
    chars_.Add('\0');
}

int Length(const char* text) {
    int n = 0;
    while (text[n] != '\0') ++n;
    return n;
}

bool Same(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return a == b;
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

bool Contains(const char* text, const char* part) {
    if (text == nullptr || part == nullptr) return false;
    const int n = Length(part);
    for (; *text != '\0'; ++text) {
        int i = 0;
        while (i < n && text[i] == part[i]) ++i;
        if (i == n) return true;
    }
    return n == 0;
}

const char* Escaped(Arena& arena, const char* text) {
    if (text == nullptr) return "(none)";
    Text out(arena);
    for (const char* p = text; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out.Append(p, 1);
        } else {
            const char hex[] = {'\\', 'x', "0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
            out.Append(hex, 4);
        }
    }
    return out.c_str();
}

void Print(const char* format, ...) {
    Arena arena;
    va_list args;
    va_start(args, format);
    const char* text = arena.FormatV(format, args);
    va_end(args);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(Length(text)), &written, nullptr);
}

double NowMs() {
    LARGE_INTEGER frequency, count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// ---- The host's scripting interfaces --------------------------------------

namespace {
char state_tag;  // the one interpreter state is named by this address
}

void HostObject::SetFunctionMember(const char* name, ScriptFunction fn) {
    if (kind_ == IrcTable) host_.StoreFunction(name, fn);
}

ILuaObject* HostObject::FindMember(const char* name) {
    if (kind_ == HookTable && Same(name, "Call")) return &host_.call_;
    return nullptr;
}

Host::Host(Arena& arena_in)
    : arena(arena_in),
      events(arena_in),
      console(arena_in),
      trace(arena_in),
      irc_(*this, HostObject::IrcTable),
      hook_(*this, HostObject::HookTable),
      call_(*this, HostObject::HookCall),
      stack_(arena_in) {}

lua_State* Host::InterpreterState() { return reinterpret_cast<lua_State*>(&state_tag); }

ILuaObject* Host::FindGlobal(const char* name) {
    if (Same(name, "irc")) return irc_exists_ ? &irc_ : nullptr;
    if (Same(name, "hook")) return &hook_;
    return nullptr;
}

const char* Host::ArgText(int pos) {
    if (pos < 1 || pos > arg_count_) return nullptr;
    const Value& v = args_[pos - 1];
    if (v.kind == Value::String) return v.text;
    if (v.kind == Value::Number) return arena.Format("%d", v.number);  // as Lua's tostring
    return nullptr;
}

int Host::ArgInt(int pos) {
    if (pos < 1 || pos > arg_count_) return 0;
    const Value& v = args_[pos - 1];
    if (v.kind == Value::Number) return v.number;
    if (v.kind != Value::String) return 0;
    int n = 0;
    for (const char* p = v.text; *p >= '0' && *p <= '9'; ++p) n = n * 10 + (*p - '0');
    return n;
}

bool Host::ArgFlag(int pos) {
    if (pos < 1 || pos > arg_count_) return false;
    const Value& v = args_[pos - 1];
    if (v.kind == Value::Nil) return false;
    return v.kind != Value::Flag || v.number != 0;  // Lua: all but nil and false are true
}

void Host::PushText(const char* text) {
    Value v;
    v.kind = Value::String;
    v.text = arena.Copy(text != nullptr ? text : "");
    stack_.Add(v);
}

void Host::PushObject(ILuaObject* object) {
    Value v;
    v.kind = Value::Object;
    v.object = object;
    stack_.Add(v);
}

void Host::PushNilValue() { stack_.Add(Value{}); }

bool Host::CallFunction(int args, int) {
    const int base = stack_.Count() - args - 1;
    if (args < 0 || base < 0) return false;
    const Value& fn = stack_[base];
    if (fn.kind != Value::Object || fn.object != &call_) {
        stack_.Truncate(base);
        return false;
    }
    // hook.Call(name, nil, ...): recorded as a script's dispatcher would
    // see it. Its results are dropped, as the module never reads them.
    Event e{};
    auto arg = [&](int i) -> const Value& { return stack_[base + 1 + i]; };
    e.name = args >= 1 && arg(0).kind == Value::String ? arg(0).text : nullptr;
    e.nil_second = args >= 2 && arg(1).kind == Value::Nil;
    for (int i = 2; i < args && e.argc < 6; ++i) e.args[e.argc++] = arg(i).kind == Value::String ? arg(i).text : nullptr;
    e.tick = tick;
    e.woken = woken;
    e.at_ms = tick != 0 ? tick_at : NowMs();
    stack_.Truncate(base);
    events.Add(e);
    if (on_event != nullptr) on_event(*this, e);
    return true;
}

void Host::CreateGlobalTable(const char* name) {
    if (!Same(name, "irc")) return;
    irc_exists_ = true;
    function_count_ = 0;
}

ILuaModuleManager* Host::ModuleManager() { return this; }

void Host::PrintFormatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    console.Append(arena.FormatV(format, args));
    va_end(args);
}

ILuaInterface* Host::InterfaceFor(lua_State* state) { return state == InterpreterState() ? this : nullptr; }

void Host::StoreFunction(const char* name, ScriptFunction fn) {
    for (int i = 0; i < function_count_; ++i) {
        if (Same(functions_[i].name, name)) {
            functions_[i].fn = fn;
            return;
        }
    }
    if (function_count_ < kMaxFunctions) functions_[function_count_++] = {arena.Copy(name), fn};
}

Results Host::CallWith(const char* name, const Value* args, int count) {
    Results r{};
    ScriptFunction fn = nullptr;
    for (int i = 0; i < function_count_; ++i)
        if (Same(functions_[i].name, name)) fn = functions_[i].fn;
    if (fn == nullptr) {
        r.count = -1;
        return r;
    }
    // A handler may call another irc function while this one runs.
    const Value* saved_args = args_;
    const int saved_count = arg_count_;
    const int base = stack_.Count();
    args_ = args;
    arg_count_ = count;
    const int n = fn(InterpreterState());
    args_ = saved_args;
    arg_count_ = saved_count;
    r.count = n;
    for (int i = 0; i < n && i < 4; ++i) {
        const int at = stack_.Count() - n + i;
        r.text[i] = at >= base && stack_[at].kind == Value::String ? stack_[at].text : nullptr;
    }
    stack_.Truncate(base);
    return r;
}

// ---- The peer ---------------------------------------------------------------

bool Peer::Open(int port) {
    sock_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<u_short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (sock_ == INVALID_SOCKET || connect(sock_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    BOOL nodelay = TRUE;
    setsockopt(sock_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&nodelay), sizeof nodelay);
    u_long nonblocking = 1;
    return ioctlsocket(sock_, FIONBIO, &nonblocking) == 0;
}

bool Peer::Command(const char* verb, const char* args, const char* text, int wait_ms) {
    Arena& arena = test->arena;
    Text line(arena);
    line.Append(verb);
    if (args != nullptr) line.Append(" "), line.Append(args);
    if (text != nullptr) line.Append(" "), line.Append(Escaped(arena, text));
    // A copy: the line end appended below would show in failure messages.
    const char* shown = arena.Copy(line.c_str());
    line.Append("\n");
    reply = nullptr;

    // The peer answers within its own `wait_ms`; the margin is for a busy
    // machine. Meanwhile the module keeps ticking.
    const double deadline = NowMs() + wait_ms + 10000;
    const char* out = line.c_str();
    int left = Length(out);
    while (left > 0) {
        const int n = send(sock_, out, left, 0);
        if (n > 0) {
            out += n;
            left -= n;
        } else if (WSAGetLastError() != WSAEWOULDBLOCK || NowMs() > deadline) {
            return test->Check(false, "peer: cannot send '%s' (error %d)", shown, WSAGetLastError());
        } else {
            test->PumpOnce(5);
        }
    }
    for (;;) {
        for (int i = 0; i < inbox_len_; ++i) {
            if (inbox_[i] != '\n') continue;
            const bool ok = i >= 2 && inbox_[0] == 'O' && inbox_[1] == 'K';
            const int skip = ok ? (i > 2 ? 3 : 2) : (i > 4 ? 4 : i);  // "OK " / "ERR "
            const char* said = Unescaped(arena, inbox_ + skip, i - skip);
            inbox_len_ -= i + 1;
            for (int k = 0; k < inbox_len_; ++k) inbox_[k] = inbox_[i + 1 + k];
            if (ok) reply = said;
            return test->Check(ok, "peer: %s: %s", shown, Escaped(arena, said));
        }
        if (inbox_len_ == static_cast<int>(sizeof inbox_))
            return test->Check(false, "peer: reply to '%s' too long", shown);
        const int n = recv(sock_, inbox_ + inbox_len_, static_cast<int>(sizeof inbox_) - inbox_len_, 0);
        if (n > 0) {
            inbox_len_ += n;
        } else if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
            return test->Check(false, "peer: control link lost during '%s'", shown);
        } else if (NowMs() > deadline) {
            return test->Check(false, "peer: no reply to '%s'", shown);
        } else {
            test->PumpOnce(5);
        }
    }
}

int ReplyNumber(const char* reply) {
    int n = 0;
    for (const char* p = reply; p != nullptr && *p >= '0' && *p <= '9'; ++p) n = n * 10 + (*p - '0');
    return n;
}

bool Peer::Reset() { return Command("RESET", nullptr, nullptr); }
int Peer::Listen() { return Command("LISTEN", nullptr, nullptr) ? ReplyNumber(reply) : 0; }
int Peer::Silent() { return Command("SILENT", nullptr, nullptr) ? ReplyNumber(reply) : 0; }
bool Peer::Accept(int ms) { return Command("ACCEPT", test->arena.Format("%d", ms), nullptr, ms); }
bool Peer::Send(const char* bytes) { return Command("SEND", nullptr, bytes); }
bool Peer::Drop() { return Command("DROP", nullptr, nullptr); }
bool Peer::Quiet(int ms) { return Command("QUIET", test->arena.Format("%d", ms), nullptr, ms); }
bool Peer::Eof(int ms) { return Command("EOF", test->arena.Format("%d", ms), nullptr, ms); }

bool Peer::Trickle(int every_ms, int count, const char* line) {
    return Command("TRICKLE", test->arena.Format("%d %d", every_ms, count), line);
}

const char* Peer::Next(int ms) { return Command("NEXT", test->arena.Format("%d", ms), nullptr, ms) ? reply : nullptr; }

bool Peer::Expect(const char* line, int ms) {
    const char* got = Next(ms);
    if (got == nullptr) return test->Check(false, "expected '%s' from the module", Escaped(test->arena, line));
    return test->Check(Same(got, line), "expected '%s' from the module, got '%s'", Escaped(test->arena, line),
                       Escaped(test->arena, got));
}

bool Peer::ExpectRegistration(const char* nick) {
    if (!Expect("CAP LS 302") || !Expect("PASS pvrkqo618") || !Expect(test->arena.Format("NICK %s", nick)) ||
        !Expect("USER u u u :Ann Lee"))
        return false;
    return Send(test->arena.Format(":srv 421 %s CAP :Unknown command\r\n:srv 001 %s :Welcome\r\n", nick, nick));
}

bool Peer::Await(const char* line, int ms) { return Command("AWAIT", test->arena.Format("%d", ms), line, ms); }

// ---- A running scenario -------------------------------------------------------

Test::Test(Arena& arena_in, Host& host_in, Peer& peer_in, const char* dll_path)
    : arena(arena_in), host(host_in), peer(peer_in), tick_times(arena_in), wake_times(arena_in), dll_path_(dll_path) {
    peer.test = this;
}

bool Test::Load() {
    module_ = LoadLibraryA(dll_path_);
    if (!Check(module_ != nullptr, "LoadLibrary(%s) failed: error %u", dll_path_, GetLastError())) return false;
    GetModuleFileNameA(module_, module_file_, MAX_PATH);
    using Open = int(QV_CDECL*)(ILuaInterface*);
    auto open = reinterpret_cast<Open>(reinterpret_cast<void*>(GetProcAddress(module_, "gmod_open")));
    close_ = reinterpret_cast<int(QV_CDECL*)(lua_State*)>(reinterpret_cast<void*>(GetProcAddress(module_, "gmod_close")));
    if (!Check(open != nullptr && close_ != nullptr, "the DLL lacks gmod_open or gmod_close")) return false;
    const int r = open(&host);
    host.ResetStack();
    const bool ok = Check(r == 0, "gmod_open returned %d", r);
    // The nine of old, then SetPingTimeout, SetPassword, SetSASL, SetUTF8,
    // SetClientCert, SetStsFile and the eight that read the room.
    return Check(host.FunctionCount() == 23, "irc holds %d functions, not 23", host.FunctionCount()) && ok;
}

void Test::Unload() {
    if (module_ == nullptr) return;
    if (close_ != nullptr) close_(host.InterpreterState());
    host.ResetStack();
    FreeLibrary(module_);
    module_ = nullptr;
    Check(GetModuleHandleA(module_file_) == nullptr, "FreeLibrary left %s loaded", module_file_);
}

namespace {

bool SameIgnoringCase(const char* a, const char* b) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    while (*a != '\0' && lower(*a) == lower(*b)) ++a, ++b;
    return lower(*a) == lower(*b);
}

}  // namespace

void* Test::PatchImport(const char* dll, const char* function, void* replacement) {
    if (!Check(module_ != nullptr, "no module to patch")) return nullptr;
    auto* base = reinterpret_cast<BYTE*>(module_);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name != 0; ++d) {
        if (!SameIgnoringCase(reinterpret_cast<const char*>(base + d->Name), dll)) continue;
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + (d->OriginalFirstThunk != 0 ? d->OriginalFirstThunk : d->FirstThunk));
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if ((name->u1.Ordinal & IMAGE_ORDINAL_FLAG) != 0) continue;
            const auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            if (!Same(reinterpret_cast<const char*>(by_name->Name), function)) continue;
            DWORD old = 0;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &old);
            void* original = reinterpret_cast<void*>(slot->u1.Function);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, old, &old);
            return original;
        }
    }
    Check(false, "the module imports no %s from %s", function, dll);
    return nullptr;
}

void Test::PumpOnce(int ms) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(ms > 0 ? ms : 0), QS_ALLINPUT);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        // The harness has no window: one a message names is the module's.
        // Its socket's message only queues a WM_TIMER to it, the woken tick.
        const bool to_window = msg.hwnd != nullptr;
        const bool wake = to_window && msg.message == WM_TIMER;
        if (module_ == nullptr && (msg.message == WM_TIMER || to_window)) {
            // Its callback would run in code that is no longer mapped.
            if (to_window && IsWindow(msg.hwnd) && ++wakes_after_unload == 1)
                Check(false, "a window of the module outlived FreeLibrary (message %u)", msg.message);
            if (!to_window && ++ticks_after_unload == 1) Check(false, "a WM_TIMER arrived after FreeLibrary");
            continue;
        }
        if (msg.message == WM_TIMER) {
            host.tick = static_cast<unsigned>(tick_times.Count() + wake_times.Count() + 1);
            host.tick_at = NowMs();
            host.woken = wake;
            (wake ? wake_times : tick_times).Add(host.tick_at);
        }
        DispatchMessageA(&msg);
        host.tick = 0;
        host.woken = false;
        host.ResetStack();
    }
}

void Test::Pump(int ms) {
    const double end = NowMs() + ms;
    for (double now = NowMs(); now < end; now = NowMs()) PumpOnce(static_cast<int>(end - now) + 1);
}

bool Test::PumpTicks(int n, int ms) {
    const int want = tick_times.Count() + n;
    const double deadline = NowMs() + ms;
    while (tick_times.Count() < want && NowMs() < deadline) PumpOnce(10);
    return tick_times.Count() >= want;
}

int Test::WaitEvent(const char* name, int from, int ms) {
    const double deadline = NowMs() + ms;
    for (;;) {
        for (int i = from; i < host.events.Count(); ++i)
            if (Same(host.events[i].name, name)) return i;
        if (NowMs() > deadline) {
            Check(false, "no %s event within %d ms", name, ms);
            return -1;
        }
        PumpOnce(10);
    }
}

bool Test::Check(bool ok, const char* format, ...) {
    if (ok) return true;
    ++failures_;
    va_list args;
    va_start(args, format);
    Print("     FAIL: %s\n", arena.FormatV(format, args));
    va_end(args);
    return false;
}

void Test::Note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Print("     %s\n", arena.FormatV(format, args));
    va_end(args);
}

bool Test::CheckEventWith(int index, const char* name, const char* const* want, int count) {
    if (!Check(index >= 0 && index < host.events.Count(), "no event #%d (%d recorded) for %s", index,
               host.events.Count(), name))
        return false;
    const Event& e = host.events[index];
    bool ok = Check(Same(e.name, name), "event #%d is %s, not %s", index, e.name, name);
    ok = Check(e.nil_second, "%s: second argument is not nil", name) && ok;
    ok = Check(e.argc == count, "%s: %d arguments after the nil, not %d", name, e.argc, count) && ok;
    for (int i = 0; i < count && i < e.argc; ++i)
        ok = Check(Same(e.args[i], want[i]), "%s: argument %d is '%s', not '%s'", name, i + 3,
                   Escaped(arena, e.args[i]), Escaped(arena, want[i])) &&
             ok;
    return ok;
}

bool Test::ConnectToPeer(const char* nick) {
    const int port = peer.Listen();
    if (port == 0) return false;
    const Results r = host.Call("Connect", "127.0.0.1", port, nick, "u", "Ann Lee");
    if (!Check(r.count == 0, "irc.Connect gave %d results ('%s')", r.count, r.count > 0 ? r.text[0] : ""))
        return false;
    const int from = host.events.Count();
    // Once the welcome has reached the scripts, their lines go at once.
    if (!peer.Accept() || !peer.ExpectRegistration(nick)) return false;
    const int cap = WaitEvent("IRC_RawData", from);
    return cap >= 0 && WaitEvent("IRC_RawData", cap + 1) >= 0;
}

// ---- Timing ------------------------------------------------------------------

double MedianGap(const List<double>& times) {
    const int n = times.Count() - 1;
    if (n < 1) return -1;
    Arena arena;
    double* gaps = static_cast<double*>(arena.Alloc(sizeof(double) * static_cast<size_t>(n)));
    for (int i = 0; i < n; ++i) {
        const double gap = times[i + 1] - times[i];
        int k = i;
        for (; k > 0 && gaps[k - 1] > gap; --k) gaps[k] = gaps[k - 1];
        gaps[k] = gap;
    }
    return gaps[n / 2];
}

List<double> TicksThatRaised(const Test& test, const char* event, int from) {
    List<double> times(test.arena);
    unsigned last = 0;
    for (int i = from; i < test.host.events.Count(); ++i) {
        const Event& e = test.host.events[i];
        if (e.tick == 0 || e.tick == last || !Same(e.name, event)) continue;
        last = e.tick;
        times.Add(e.at_ms);
    }
    return times;
}

// ---- The run -------------------------------------------------------------------

namespace {

constinit Peer peer;
Test* volatile current = nullptr;  // for the trace catcher
DWORD main_thread = 0;
volatile LONG watch_deadline = 0;  // GetTickCount() at which the watchdog fires; 0: off
const char* volatile watch_name = "";

// OutputDebugStringA raises this exception for a debugger to take; taking
// it here, first of all handlers, stands in for one.
constexpr DWORD kDebugPrint = 0x40010006;  // DBG_PRINTEXCEPTION_C

LONG CALLBACK CatchTrace(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* r = info->ExceptionRecord;
    if (r->ExceptionCode != kDebugPrint || r->NumberParameters < 2) return EXCEPTION_CONTINUE_SEARCH;
    Test* test = current;
    if (test != nullptr && GetCurrentThreadId() == main_thread) {
        const int n = static_cast<int>(r->ExceptionInformation[0]);  // with its NUL
        test->host.trace.Add(test->arena.Copy(reinterpret_cast<const char*>(r->ExceptionInformation[1]), n > 0 ? n - 1 : 0));
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

// A call into the module that never returns would hang the run; this ends it
// with the scenario's name instead.
DWORD WINAPI Watchdog(void*) {
    for (;;) {
        Sleep(200);
        const LONG deadline = watch_deadline;
        if (deadline != 0 && static_cast<LONG>(GetTickCount() - static_cast<DWORD>(deadline)) > 0) {
            Print("TIMEOUT: %s did not finish in time (a call into the module hangs?)\n", watch_name);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }
}

void PrintRecent(const Test& t) {
    const int n = t.host.events.Count();
    Print("     %d events, %d ticks; the last ones:\n", n, t.tick_times.Count());
    for (int i = n > 6 ? n - 6 : 0; i < n; ++i) {
        const Event& e = t.host.events[i];
        Print("       #%d tick %u %s", i, e.tick, e.name);
        for (int k = 0; k < e.argc; ++k) Print(" '%s'", Escaped(t.arena, e.args[k]));
        Print("\n");
    }
}

bool RunScenario(const Scenario& s, const char* dll) {
    Arena arena;
    Host host(arena);
    Test t(arena, host, peer, dll);
    current = &t;
    watch_name = s.name;
    watch_deadline = static_cast<LONG>(GetTickCount() + 60000);
    Print("RUN  %s\n", s.name);
    const double start = NowMs();

    if (peer.Reset() && t.Load()) s.run(t);
    t.Unload();
    // Whatever the scenario did, nothing may tick once the DLL is gone.
    t.Pump(250);

    watch_deadline = 0;
    current = nullptr;
    const bool ok = !t.Failed();
    if (!ok) PrintRecent(t);
    Print("%s %s (%d ms)\n", ok ? "PASS" : "FAIL", s.name, static_cast<int>(NowMs() - start));
    return ok;
}

// The command line's words; quotes group, as Windows programs read them.
int Words(Arena& arena, const char* line, const char** words, int max) {
    int n = 0;
    while (*line != '\0' && n < max) {
        while (*line == ' ' || *line == '\t') ++line;
        if (*line == '\0') break;
        Text word(arena);
        bool quoted = false;
        for (; *line != '\0' && (quoted || (*line != ' ' && *line != '\t')); ++line) {
            if (*line == '"') quoted = !quoted;
            else word.Append(line, 1);
        }
        words[n++] = word.c_str();
    }
    return n;
}

}  // namespace

// usage: host.exe DLL CONTROL-PORT [SCENARIO...]
int HostMain() {
    Arena arena;
    const char* argv[64];
    const int argc = Words(arena, GetCommandLineA(), argv, 64);
    if (argc < 3) {
        Print("usage: %s DLL CONTROL-PORT [SCENARIO...]\nscenarios:", argc > 0 ? argv[0] : "host");
        for (int i = 0; i < kScenarioCount; ++i) Print(" %s", kScenarios[i].name);
        Print("\n");
        return 2;
    }
    const char* dll = argv[1];
    Print("quorvane Windows test host (%s), %s\n", QV_HOST_VARIANT, dll);
    main_thread = GetCurrentThreadId();

    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) Abort("WSAStartup failed");
    AddVectoredExceptionHandler(1, CatchTrace);
    CloseHandle(CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr));
    int port = 0;
    for (const char* p = argv[2]; *p >= '0' && *p <= '9'; ++p) port = port * 10 + (*p - '0');
    if (!peer.Open(port)) Abort("cannot reach the peer's control port");

    int passed = 0, failed = 0;
    for (int i = 3; i < argc; ++i) {
        bool known = false;
        for (int k = 0; k < kScenarioCount; ++k) known = known || Same(argv[i], kScenarios[k].name);
        if (!known) Print("FAIL %s: no such scenario\n", argv[i]), ++failed;
    }
    for (int k = 0; k < kScenarioCount; ++k) {
        bool chosen = argc == 3;
        for (int i = 3; i < argc; ++i) chosen = chosen || Same(argv[i], kScenarios[k].name);
        if (!chosen) continue;
        if (RunScenario(kScenarios[k], dll)) ++passed;
        else ++failed;
    }
    Print("%s: %d passed, %d failed\n", QV_HOST_VARIANT, passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}

#if !defined(_MSC_VER)
int main() { return HostMain(); }
#endif
