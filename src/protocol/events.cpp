#include "protocol/events.h"

#include <string>

#include "module/globals.h"
#include "platform/secret.h"

namespace {

const char* known_nul = nullptr;

}  // namespace

NulAt::NulAt(const char* end) : outer_(known_nul) { known_nul = end; }

NulAt::~NulAt() { known_nul = outer_; }

void RaiseEvent(const char* name, std::span<const std::optional<std::string_view>> args) {
    // A handler of an earlier event may have shut the module.
    ILuaInterface* lua = gLua;
    if (lua == nullptr) return;
    // Looked up anew every time: a script may replace hook.Call at any point.
    ILuaObject* hook = lua->FindGlobal("hook");
    ILuaObject* call = hook != nullptr ? hook->FindMember("Call") : nullptr;
    if (call == nullptr) return;
    lua->PushObject(call);
    lua->PushText(name);
    lua->PushNilValue();
    // The host takes NUL-terminated text, and copies it at once: one
    // buffer serves every argument of every event that is not followed by
    // a NUL already.
    static std::string text;
    for (const std::optional<std::string_view>& arg : args) {
        if (!arg) {
            lua->PushNilValue();
            continue;
        }
        if (known_nul != nullptr && arg->data() + arg->size() == known_nul) {
            lua->PushText(arg->data());
            continue;
        }
        text.assign(*arg);
        lua->PushText(text.c_str());
    }
    // The handler runs in the host: nothing of a password this tick sent
    // may be left in the registers for it to spill.
    platform::WipeRegistersIfNoted();
    lua->CallFunction(2 + static_cast<int>(args.size()), 1);
}

void ThrowOnChatEvent(std::string_view Nick, std::string_view Channel, std::string_view Message,
                      std::optional<std::string_view> Account, std::optional<std::string_view> Time) {
    RaiseEvent("IRC_OnChat", {Nick, Channel, Message, Account, Time});
}

void ThrowNoticeEvent(std::string_view Nick, std::string_view Channel, std::string_view Message,
                      std::optional<std::string_view> Account, std::optional<std::string_view> Time) {
    RaiseEvent("IRC_OnNotice", {Nick, Channel, Message, Account, Time});
}

void ThrowNickServEvent(std::string_view Nick, std::string_view Channel, std::string_view Message) {
    RaiseEvent("IRC_OnNickServ", {Nick, Channel, Message});
}

void ThrowGenericEvent(const char* eventname) { RaiseEvent(eventname, {}); }
