// Raising script events: each is a call of the scripts' own hook.Call with
// the event name, nil, and the event's texts.
#ifndef QV_PROTOCOL_EVENTS_H
#define QV_PROTOCOL_EVENTS_H

#include <initializer_list>
#include <string_view>

// Raises `name` with `args`; does nothing while the module is shut.
void RaiseEvent(const char* name, std::initializer_list<std::string_view> args);

void ThrowOnChatEvent(std::string_view Nick, std::string_view Channel, std::string_view Message);
void ThrowNoticeEvent(std::string_view Nick, std::string_view Channel, std::string_view Message);
void ThrowNickServEvent(std::string_view Nick, std::string_view Channel, std::string_view Message);
void ThrowGenericEvent(const char* eventname);

#endif
