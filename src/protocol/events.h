// Raising script events: each is a call of the scripts' own hook.Call with
// the event name, nil, and the event's texts (nil where one has none).
#ifndef QV_PROTOCOL_EVENTS_H
#define QV_PROTOCOL_EVENTS_H

#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>

// Raises `name` with `args`, an absent one as nil; does nothing while the
// module is shut.
void RaiseEvent(const char* name, std::span<const std::optional<std::string_view>> args);
inline void RaiseEvent(const char* name, std::initializer_list<std::optional<std::string_view>> args) {
    RaiseEvent(name, std::span(args.begin(), args.size()));
}

// While one lives, a NUL is known to stand at `end` (a line from the
// reader): an argument that ends there goes to the host without a copy.
class NulAt {
public:
    explicit NulAt(const char* end);
    ~NulAt();
    NulAt(const NulAt&) = delete;
    NulAt& operator=(const NulAt&) = delete;

private:
    const char* outer_;
};

// `Account` and `Time`: the sender's account and the server's time stamp,
// from the line's tags; nil when it has none.
void ThrowOnChatEvent(std::string_view Nick, std::string_view Channel, std::string_view Message,
                      std::optional<std::string_view> Account, std::optional<std::string_view> Time);
void ThrowNoticeEvent(std::string_view Nick, std::string_view Channel, std::string_view Message,
                      std::optional<std::string_view> Account, std::optional<std::string_view> Time);
void ThrowNickServEvent(std::string_view Nick, std::string_view Channel, std::string_view Message);
void ThrowGenericEvent(const char* eventname);

#endif
