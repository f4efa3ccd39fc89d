// What a line tells of the room: who joined, left, was renamed or given a
// status, what the server's rules are, who we are. The room changes first;
// the event that tells scripts of it is handed back, to be raised after
// the line's own events.
#ifndef QV_PROTOCOL_ROOM_LINES_H
#define QV_PROTOCOL_ROOM_LINES_H

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "protocol/tags.h"
#include "protocol/tokenize.h"

struct Session;

// An event and its texts, views into the line or into buffers that stay
// as they are until the next line.
struct RoomEvent {
    const char* name = nullptr;
    std::size_t count = 0;
    std::array<std::optional<std::string_view>, 4> args{};
};

// A token of ours on the WHOX query we send on joining, so that replies
// to a script's own WHO are not read as ours.
inline constexpr std::string_view kWhoxToken = "415";

// Applies what `message` says to the session's room; `event` is what to
// tell scripts, if anything. WHOX queries go out from here.
void RoomOnLine(Session& session, const Message& message, const MessageTags& tags, RoomEvent& event);

#endif
