// A test double of the host: records every host operation the module makes,
// keeps a value stack, and turns each call of hook.Call into a record.
#ifndef QV_TESTS_RECORDING_HOST_H
#define QV_TESTS_RECORDING_HOST_H

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "host/lua_interface.h"

class RecordingHost;

class RecordingObject final : public ILuaObject {
public:
    RecordingObject(RecordingHost& host, std::string path) : host_(host), path_(std::move(path)) {}
    void SetFunctionMember(const char* name, ScriptFunction fn) override;
    ILuaObject* FindMember(const char* name) override;
    const std::string& path() const { return path_; }

private:
    RecordingHost& host_;
    std::string path_;  // "irc", or the value a member holds, e.g. "hook.Call"
};

// A script argument: nil, text, number or boolean.
using Arg = std::variant<std::monostate, std::string, int, bool>;

struct HookCall {
    std::string function;                     // which function value was called
    std::vector<std::optional<std::string>> args;  // nullopt stands for nil
};

class RecordingHost final : public ILuaInterface, public ILuaModuleManager {
public:
    RecordingHost();

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

    // Calls irc.<name> as a script would; gives the texts it returned.
    std::vector<std::string> CallIrc(const std::string& name, std::vector<Arg> args = {});
    // The same, nil results as none.
    std::vector<std::optional<std::string>> AskIrc(const std::string& name, std::vector<Arg> args = {});
    bool HasIrcFunction(const std::string& name) const;
    // A handle the host gives out; it lives as long as the host.
    RecordingObject* MakeObject(std::string path);

    // The event names of the recorded hook.Calls, in order.
    std::vector<std::string> EventNames() const;
    void ClearRecords();

    // What the scripts hold: global tables of named function members.
    std::map<std::string, std::map<std::string, ScriptFunction>> tables;
    std::map<std::string, std::map<std::string, std::string>> values;  // e.g. hook.Call
    std::vector<std::string> ops;       // every host operation, in order
    std::vector<HookCall> hook_calls;
    std::string console;                // everything PrintFormatted printed
    std::function<void(const HookCall&)> on_hook;  // a script handler
    std::size_t unwiped = 0;  // hook.Calls reached with a secret's bytes maybe still in the registers
    bool fail_pushes = false;                      // PushText throws, as on exhausted memory
    bool fail_manager = false;                     // ModuleManager throws
    bool lose_tables = false;                      // FindGlobal finds no table, not even one just made
    struct StackValue {
        enum Kind { Nil, Text, Object } kind;
        std::string text;  // the text, or the object's path
    };
    std::vector<StackValue> stack;
    lua_State* const state;

private:
    std::vector<StackValue> Call(const std::string& name, std::vector<Arg> args);

    std::vector<Arg> args_;
    std::string arg_text_;
    std::deque<RecordingObject> objects_;
};

#endif
