// irc.GetNick, GetChannels, GetUsers, GetUser, GetStatus, GetTopic,
// ISupport and FoldCase: what the link knows of the room, as text. A list
// is one text, its items separated by spaces: the host guarantees a
// function only a few stack slots.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands/args.h"
#include "commands/commands.h"
#include "module/globals.h"
#include "net/connection.h"
#include "room/room.h"

namespace {

// The room of the link that is up; none while no link is.
Room* LiveRoom() {
    Connection* link = Globals::client.get();
    return link != nullptr && link->IsConnected() ? &link->session().room : nullptr;
}

void Push(std::optional<std::string_view> text) {
    if (!text) return gLua->PushNilValue();
    static std::string copy;
    copy.assign(*text);
    gLua->PushText(copy.c_str());
}

std::optional<std::string_view> Known(const std::string& text) {
    if (text.empty()) return std::nullopt;
    return std::string_view(text);
}

}  // namespace

int QV_CDECL GetNick(lua_State*) {
    if (gLua == nullptr) return 0;
    const Room* room = LiveRoom();
    Push(room != nullptr && room->Me() != nullptr ? std::optional<std::string_view>(room->Me()->nick) : std::nullopt);
    return 1;
}

int QV_CDECL GetChannels(lua_State*) {
    if (gLua == nullptr) return 0;
    const Room* room = LiveRoom();
    if (room == nullptr || room->Me() == nullptr) {
        Push(std::nullopt);
        return 1;
    }
    std::string list;
    for (const Channel* channel : room->Channels()) {
        if (!list.empty()) list += ' ';
        list += channel->name;
    }
    Push(list);
    return 1;
}

int QV_CDECL GetUsers(lua_State*) {
    if (gLua == nullptr) return 0;
    Room* room = LiveRoom();
    const Channel* channel = room != nullptr ? room->FindChannel(TextArg(*gLua, 1)) : nullptr;
    if (channel == nullptr) {
        Push(std::nullopt);
        return 1;
    }
    // In the order the server's folding sorts the nicks.
    struct Entry {
        std::string folded;
        const User* user;
        std::uint32_t modes;
    };
    std::vector<Entry> entries;
    entries.reserve(channel->members.size());
    std::size_t bytes = 0;
    for (const auto& [user, member] : channel->members) {
        entries.push_back({room->Fold(user->nick), user, member.modes});
        bytes += user->nick.size() + 4;
    }
    std::ranges::sort(entries, {}, &Entry::folded);
    std::string list;
    list.reserve(bytes);
    for (const Entry& e : entries) {
        if (!list.empty()) list += ' ';
        list += room->Signs(e.modes);
        list += e.user->nick;
    }
    Push(list);
    return 1;
}

int QV_CDECL GetUser(lua_State*) {
    if (gLua == nullptr) return 0;
    Room* room = LiveRoom();
    const User* user = room != nullptr ? room->FindUser(TextArg(*gLua, 1)) : nullptr;
    if (user == nullptr) {
        Push(std::nullopt);
        return 1;
    }
    Push(user->nick);
    Push(Known(user->user));
    Push(Known(user->host));
    Push(Known(user->account));
    Push(Known(user->realname));
    Push(user->away ? std::optional<std::string_view>(*user->away) : std::nullopt);
    return 6;
}

int QV_CDECL GetStatus(lua_State*) {
    if (gLua == nullptr) return 0;
    Room* room = LiveRoom();
    Channel* channel = room != nullptr ? room->FindChannel(TextArg(*gLua, 1)) : nullptr;
    const User* user = channel != nullptr ? room->FindUser(TextArg(*gLua, 2)) : nullptr;
    const Member* member = user != nullptr ? room->FindMember(*channel, *user) : nullptr;
    Push(member != nullptr ? std::optional<std::string_view>(room->Signs(member->modes)) : std::nullopt);
    return 1;
}

int QV_CDECL GetTopic(lua_State*) {
    if (gLua == nullptr) return 0;
    Room* room = LiveRoom();
    const Channel* channel = room != nullptr ? room->FindChannel(TextArg(*gLua, 1)) : nullptr;
    if (channel == nullptr) {
        Push(std::nullopt);
        return 1;
    }
    Push(Known(channel->topic));
    Push(Known(channel->topic_by));
    Push(Known(channel->topic_time));
    return 3;
}

int QV_CDECL ISupport(lua_State*) {
    if (gLua == nullptr) return 0;
    const Room* room = LiveRoom();
    const std::string* value = room != nullptr ? room->Rules().Find(TextArg(*gLua, 1)) : nullptr;
    Push(value != nullptr ? std::optional<std::string_view>(*value) : std::nullopt);
    return 1;
}

int QV_CDECL FoldCase(lua_State*) {
    if (gLua == nullptr) return 0;
    const Room* room = LiveRoom();
    const std::string text = TextArg(*gLua, 1);
    Push(room != nullptr ? room->Fold(text) : Folded(CaseMapping::Rfc1459, text));
    return 1;
}
