// The flood benchmark's floor: the least any client of the host contract
// spends on a line. Per line, one lua_pcall of hook.Call for IRC_RawData
// and one for IRC_OnChat, their texts pushed fresh from the line through
// Lua's C API, hook and Call found anew each time. No socket, no framing,
// no parsing while timed: where each text lies is found before. The prelude
// and the counting handlers are the other clients'.
//   qv_bench_floor PRELUDE HANDLERS CORPUS RESULT_FILE
// CORPUS is the flood server's dump. Every line raises both events, so
// the handlers count one chat event a line; the report checks that.
#include <lua.hpp>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Span {
    std::size_t at, size;
};

// A line and the texts IRC_OnChat gets from it: nick, target, text.
struct Line {
    Span line, nick, target, text;
};

// The module's rules, run once before the clock starts: the nick is the
// prefix up to '!', the target the third token, the text what follows the
// first " :" after the prefix, else the last word.
Line Locate(std::string_view all, Span s) {
    const std::string_view line = all.substr(s.at, s.size);
    Line l{s, {s.at, 0}, {s.at, 0}, {s.at, 0}};
    const std::size_t s1 = line.find(' ');
    const std::size_t s2 = s1 == line.npos ? s1 : line.find(' ', s1 + 1);
    std::size_t prefix = 0;
    if (line.starts_with(':')) {
        prefix = s1 == line.npos ? line.size() : s1;
        const std::size_t bang = line.substr(0, prefix).find('!');
        l.nick = {s.at + 1, (bang == line.npos ? prefix : bang) - 1};
    }
    if (s2 != line.npos) {
        const std::size_t s3 = line.find(' ', s2 + 1);
        l.target = {s.at + s2 + 1, (s3 == line.npos ? line.size() : s3) - s2 - 1};
    }
    const std::string_view rest = line.substr(prefix);
    const std::size_t colon = rest.find(" :");
    const std::size_t from = colon != rest.npos ? colon + 2 : rest.rfind(' ') + 1;
    l.text = {s.at + prefix + from, rest.size() - from};
    return l;
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double WallSeconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

int Clock(lua_State* L) {
    lua_pushnumber(L, WallSeconds());
    return 1;
}

int Nothing(lua_State*) { return 0; }

long RssKb(const char* field) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return 0;
    char row[256];
    long kb = 0;
    const std::size_t n = std::strlen(field);
    while (std::fgets(row, sizeof row, f) != nullptr)
        if (std::strncmp(row, field, n) == 0) kb = std::strtol(row + n, nullptr, 10);
    std::fclose(f);
    return kb;
}

bool Fail(lua_State* L, const char* what) {
    std::fprintf(stderr, "floor client: %s: %s\n", what, lua_tostring(L, -1));
    return false;
}

void PushText(lua_State* L, const std::string& all, Span s) { lua_pushlstring(L, all.data() + s.at, s.size); }

// Pushes hook.Call, the event's name and nil, looked up anew each time as
// the module does.
void PushCall(lua_State* L, const char* event) {
    lua_getfield(L, LUA_GLOBALSINDEX, "hook");
    lua_getfield(L, -1, "Call");
    lua_remove(L, -2);
    lua_pushstring(L, event);
    lua_pushnil(L);
}

// hook.Call(event, nil, ...) for the line, as the module raises it.
bool Raise(lua_State* L, const std::string& all, const Line& l) {
    PushCall(L, "IRC_RawData");
    PushText(L, all, l.line);
    if (lua_pcall(L, 3, 0, 0) != 0) return Fail(L, "IRC_RawData");
    PushCall(L, "IRC_OnChat");
    PushText(L, all, l.nick);
    PushText(L, all, l.target);
    PushText(L, all, l.text);
    if (lua_pcall(L, 5, 0, 0) != 0) return Fail(L, "IRC_OnChat");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s PRELUDE HANDLERS CORPUS RESULT_FILE\n", argv[0]);
        return 2;
    }
    std::string all;
    {
        std::FILE* f = std::fopen(argv[3], "rb");
        if (f == nullptr) {
            std::perror(argv[3]);
            return 1;
        }
        char buf[1 << 16];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) all.append(buf, n);
        std::fclose(f);
    }
    std::vector<Line> lines;
    for (std::size_t at = 0, end; (end = all.find('\n', at)) != all.npos; at = end + 1)
        lines.push_back(Locate(all, {at, end - at}));
    // The two welcome lines go before the clock starts, like the others'.
    if (lines.size() < 3) return 1;

    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    if (luaL_loadfile(L, argv[1]) != 0) return Fail(L, "prelude"), 1;
    lua_newtable(L);
    lua_pushcfunction(L, Clock);
    lua_setfield(L, -2, "clock");
    if (lua_pcall(L, 1, 0, 0) != 0) return Fail(L, "prelude"), 1;
    lua_newtable(L);
    lua_setfield(L, LUA_GLOBALSINDEX, "arg");
    if (luaL_loadfile(L, argv[2]) != 0 || lua_pcall(L, 0, 1, 0) != 0) return Fail(L, "handlers"), 1;
    // The end marker's chat event calls bench.on_end: the clock is read here.
    lua_pushcfunction(L, Nothing);
    lua_setfield(L, -2, "on_end");
    lua_getfield(L, -1, "counts");
    lua_remove(L, -2);  // the handlers' table; bench.counts stays

    for (std::size_t i = 0; i < 2; ++i)
        if (!Raise(L, all, lines[i])) return 1;
    const long idle_rss = RssKb("VmRSS:");
    const double cpu0 = CpuSeconds(), wall0 = WallSeconds();
    for (std::size_t i = 2; i < lines.size(); ++i)
        if (!Raise(L, all, lines[i])) return 1;
    const double cpu = CpuSeconds() - cpu0, wall = WallSeconds() - wall0;

    if (lua_pcall(L, 0, 1, 0) != 0) return Fail(L, "counts"), 1;
    std::FILE* out = std::fopen(argv[4], "w");
    if (out == nullptr) return 1;
    std::fprintf(out, "cpu=%.6f wall=%.6f idle_rss=%ld peak_rss=%ld tick_max=nan tick_p99=nan ticks=nan %s\n", cpu, wall,
                 idle_rss, RssKb("VmHWM:"), lua_tostring(L, -1));
    std::fclose(out);
    lua_close(L);
    return 0;
}
