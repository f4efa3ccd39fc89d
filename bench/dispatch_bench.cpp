// Cost of interpreting one server line, against a baseline of merely copying
// it, measured in the same run. Report the ratio, not the absolute times:
// the machine is shared.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "host/lua_interface.h"
#include "module/globals.h"
#include "net/connection.h"
#include "protocol/dispatch.h"
#include "protocol/tokenize.h"

namespace {

// A host that does the least a host can: counts what it is given.
class NullHost final : public ILuaInterface, public ILuaObject {
public:
    lua_State* InterpreterState() override { return nullptr; }
    ILuaObject* FindGlobal(const char*) override { return this; }
    const char* ArgText(int) override { return nullptr; }
    int ArgInt(int) override { return 0; }
    bool ArgFlag(int) override { return false; }
    void PushText(const char* text) override { pushed += text[0]; }
    void PushObject(ILuaObject*) override { ++pushed; }
    bool CallFunction(int args, int) override {
        calls += args;
        return true;
    }
    void CreateGlobalTable(const char*) override {}
    ILuaModuleManager* ModuleManager() override { return nullptr; }
    void PushNilValue() override { ++pushed; }
    void PrintFormatted(const char*, ...) override {}
    void SetFunctionMember(const char*, ScriptFunction) override {}
    ILuaObject* FindMember(const char*) override { return this; }

    long pushed = 0;
    long calls = 0;
};

const std::string kChat = ":alice!ali@host.example PRIVMSG #lobby :hello there, how is everyone today?";
// The same line as a server with server-time and account-tag sends it.
const std::string kTaggedChat = "@time=2026-12-09T20:00:00.000Z;account=alice " + kChat;

void BM_Baseline_CopyLine(benchmark::State& state) {
    for (auto _ : state) {
        std::string copy = kChat;
        benchmark::DoNotOptimize(copy.data());
    }
}
BENCHMARK(BM_Baseline_CopyLine);

void BM_Tokenize(benchmark::State& state) {
    for (auto _ : state) {
        auto tokens = MySplit(kChat, " ");
        benchmark::DoNotOptimize(tokens.count);
        benchmark::DoNotOptimize(GetPRIVMSG(kChat, kTrailing));
    }
}
BENCHMARK(BM_Tokenize);

// One chat line through the dispatcher into a host that does nothing, on
// a link (unconnected) that negotiated the tags' capabilities.
void BM_ProcessLine(benchmark::State& state, const std::string& line) {
    NullHost host;
    gLua = &host;
    Globals::bDebug = false;
    Globals::client = std::make_unique<Connection>();
    Globals::client->session().caps.enabled = kCapServerTime | kCapAccountTag;
    for (auto _ : state) ProcessLine(line);
    Globals::client.reset();
    gLua = nullptr;
    benchmark::DoNotOptimize(host.calls);
}
BENCHMARK_CAPTURE(BM_ProcessLine, Chat, kChat);
BENCHMARK_CAPTURE(BM_ProcessLine, TaggedChat, kTaggedChat);

void BM_ProcessLineWhileShut(benchmark::State& state) {
    gLua = nullptr;
    for (auto _ : state) ProcessLine(kChat);
}
BENCHMARK(BM_ProcessLineWhileShut);

}  // namespace

BENCHMARK_MAIN();
