#include "recording_host.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "platform/secret.h"

namespace {
// Any non-null address serves: the module never looks inside a state.
int state_token;
}  // namespace

void RecordingObject::SetFunctionMember(const char* name, ScriptFunction fn) {
    host_.ops.push_back("SetFunctionMember " + path_ + "." + name);
    host_.tables[path_][name] = fn;
}

ILuaObject* RecordingObject::FindMember(const char* name) {
    host_.ops.push_back("FindMember " + path_ + "." + name);
    auto table = host_.values.find(path_);
    if (table == host_.values.end()) return nullptr;
    auto member = table->second.find(name);
    if (member == table->second.end()) return nullptr;
    return host_.MakeObject(member->second);
}

RecordingHost::RecordingHost() : state(reinterpret_cast<lua_State*>(&state_token)) {
    values["hook"]["Call"] = "hook.Call";
}

RecordingObject* RecordingHost::MakeObject(std::string path) { return &objects_.emplace_back(*this, std::move(path)); }

lua_State* RecordingHost::InterpreterState() {
    ops.push_back("InterpreterState");
    return state;
}

ILuaObject* RecordingHost::FindGlobal(const char* name) {
    ops.push_back(std::string("FindGlobal ") + name);
    if (lose_tables && tables.contains(name)) return nullptr;
    if (!tables.contains(name) && !values.contains(name)) return nullptr;
    return MakeObject(name);
}

const char* RecordingHost::ArgText(int pos) {
    if (pos < 1 || pos > static_cast<int>(args_.size())) return nullptr;
    const Arg& a = args_[pos - 1];
    if (const auto* text = std::get_if<std::string>(&a)) return text->c_str();
    if (const auto* num = std::get_if<int>(&a)) {
        arg_text_ = std::to_string(*num);
        return arg_text_.c_str();
    }
    return nullptr;
}

int RecordingHost::ArgInt(int pos) {
    if (pos < 1 || pos > static_cast<int>(args_.size())) return 0;
    const Arg& a = args_[pos - 1];
    if (const auto* num = std::get_if<int>(&a)) return *num;
    if (const auto* text = std::get_if<std::string>(&a)) return std::atoi(text->c_str());
    return 0;
}

bool RecordingHost::ArgFlag(int pos) {
    if (pos < 1 || pos > static_cast<int>(args_.size())) return false;
    const Arg& a = args_[pos - 1];
    if (const auto* flag = std::get_if<bool>(&a)) return *flag;
    return !std::holds_alternative<std::monostate>(a);
}

void RecordingHost::PushText(const char* text) {
    ops.push_back("PushText");
    if (fail_pushes) throw std::bad_alloc();
    stack.push_back({StackValue::Text, text});
}

void RecordingHost::PushObject(ILuaObject* object) {
    ops.push_back("PushObject");
    stack.push_back({StackValue::Object, static_cast<RecordingObject*>(object)->path()});
}

void RecordingHost::PushNilValue() {
    ops.push_back("PushNilValue");
    stack.push_back({StackValue::Nil, {}});
}

bool RecordingHost::CallFunction(int nargs, int results) {
    ops.push_back("CallFunction " + std::to_string(nargs) + " " + std::to_string(results));
    if (nargs < 0 || static_cast<std::size_t>(nargs) + 1 > stack.size())
        throw std::logic_error("CallFunction with too few values pushed");
    auto first = stack.end() - nargs - 1;
    HookCall call{first->text, {}};
    if (first->kind != StackValue::Object) throw std::logic_error("CallFunction on a non-function");
    for (auto it = first + 1; it != stack.end(); ++it)
        call.args.push_back(it->kind == StackValue::Nil ? std::nullopt : std::optional<std::string>(it->text));
    // A real host drops what was called; the module never pops it.
    stack.erase(first, stack.end());
    hook_calls.push_back(call);
    if (platform::registers_noted) ++unwiped;
    if (on_hook) on_hook(hook_calls.back());
    return true;
}

void RecordingHost::CreateGlobalTable(const char* name) {
    ops.push_back(std::string("CreateGlobalTable ") + name);
    tables[name].clear();
}

ILuaModuleManager* RecordingHost::ModuleManager() {
    ops.push_back("ModuleManager");
    if (fail_manager) throw std::runtime_error("host failed");
    return this;
}

void RecordingHost::PrintFormatted(const char* format, ...) {
    char buffer[4096];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, ap);
    va_end(ap);
    if (n > 0) console.append(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
}

ILuaInterface* RecordingHost::InterfaceFor(lua_State* s) {
    ops.push_back("InterfaceFor");
    return s == state ? this : nullptr;
}

bool RecordingHost::HasIrcFunction(const std::string& name) const {
    auto irc = tables.find("irc");
    return irc != tables.end() && irc->second.contains(name);
}

std::vector<RecordingHost::StackValue> RecordingHost::Call(const std::string& name, std::vector<Arg> args) {
    auto fn = tables.at("irc").at(name);
    args_ = std::move(args);
    std::size_t base = stack.size();
    int n = fn(state);
    args_.clear();
    if (n < 0 || base + static_cast<std::size_t>(n) != stack.size())
        throw std::logic_error("script function result count does not match its pushes");
    std::vector<StackValue> results(stack.begin() + static_cast<std::ptrdiff_t>(base), stack.end());
    stack.resize(base);
    return results;
}

std::vector<std::string> RecordingHost::CallIrc(const std::string& name, std::vector<Arg> args) {
    std::vector<std::string> results;
    for (StackValue& value : Call(name, std::move(args))) results.push_back(std::move(value.text));
    return results;
}

std::vector<std::optional<std::string>> RecordingHost::AskIrc(const std::string& name, std::vector<Arg> args) {
    std::vector<std::optional<std::string>> results;
    for (StackValue& value : Call(name, std::move(args)))
        results.push_back(value.kind == StackValue::Nil ? std::nullopt : std::optional(std::move(value.text)));
    return results;
}

std::vector<std::string> RecordingHost::EventNames() const {
    std::vector<std::string> names;
    for (const HookCall& c : hook_calls) names.push_back(c.args.empty() || !c.args[0] ? "" : *c.args[0]);
    return names;
}

void RecordingHost::ClearRecords() {
    ops.clear();
    hook_calls.clear();
    console.clear();
}
