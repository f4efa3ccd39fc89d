#include "room/room.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

// Enough for the channels of a bot and the people in one of them, before
// the first rehash.
constexpr std::size_t kInitialBuckets = 16;

// A new entry named `name`, its key a view of the name it holds. Emplaced
// under the caller's view, then keyed anew by its own.
template <class Map, class Value>
Value& Insert(Map& map, std::string_view name, std::string Value::*field) {
    auto [it, inserted] = map.try_emplace(name);
    if (!inserted) return it->second;
    auto node = map.extract(it);
    (node.mapped().*field).assign(name);
    node.key() = node.mapped().*field;
    return map.insert(std::move(node)).position->second;
}

}  // namespace

std::size_t FoldHash::operator()(std::string_view name) const {
    std::uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a
    for (const char c : name) h = (h ^ static_cast<unsigned char>(::Fold(mapping, c))) * 0x100000001b3ULL;
    return static_cast<std::size_t>(h);
}

bool FoldEqual::operator()(std::string_view a, std::string_view b) const {
    return std::ranges::equal(a, b, [m = mapping](char x, char y) { return ::Fold(m, x) == ::Fold(m, y); });
}

Room::Room()
    : users_(kInitialBuckets, FoldHash{mapping_}, FoldEqual{mapping_}),
      channels_(kInitialBuckets, FoldHash{mapping_}, FoldEqual{mapping_}) {}

void Room::ApplyTokens(const std::string_view* tokens, std::size_t count) {
    const std::string old_modes(rules_.PrefixModes());
    for (std::size_t i = 0; i < count; ++i) rules_.Apply(tokens[i]);
    if (!registered && rules_.casemapping() != mapping_) {
        mapping_ = rules_.casemapping();
        Rekey();
    }
    if (rules_.PrefixModes() != old_modes) RemapStatus(old_modes);
}

User* Room::FindUser(std::string_view nick) {
    const auto it = users_.find(nick);
    return it != users_.end() ? &it->second : nullptr;
}

Channel* Room::FindChannel(std::string_view name) {
    const auto it = channels_.find(name);
    return it != channels_.end() ? &it->second : nullptr;
}

Member* Room::FindMember(Channel& channel, const User& user) {
    const auto it = channel.members.find(const_cast<User*>(&user));
    return it != channel.members.end() ? &it->second : nullptr;
}

std::vector<const Channel*> Room::Channels() const {
    std::vector<const Channel*> ours;
    ours.reserve(channels_.size());
    for (const auto& [name, channel] : channels_) ours.push_back(&channel);
    std::ranges::sort(ours, {}, &Channel::joined);
    return ours;
}

std::vector<const Channel*> Room::ChannelsOf(const User& user) const {
    std::vector<const Channel*> theirs;
    for (const auto& [name, channel] : channels_)
        if (channel.members.contains(const_cast<User*>(&user))) theirs.push_back(&channel);
    std::ranges::sort(theirs, {}, &Channel::joined);
    return theirs;
}

void Room::Welcome(std::string_view nick) {
    if (me_ != nullptr) return Rename(*me_, nick);
    if (User* held = FindUser(nick)) Quit(*held);
    me_ = &Insert(users_, nick, &User::nick);
}

Channel& Room::Enter(std::string_view name) {
    Channel& channel = Insert(channels_, name, &Channel::name);
    // Joined again without having left, as far as we saw: nothing known
    // of it still holds.
    for (auto& [user, member] : channel.members) {
        if (--user->channels == 0) Forget(*user);
    }
    channel.members.clear();
    channel.topic.clear();
    channel.topic_by.clear();
    channel.topic_time.clear();
    channel.naming = false;
    channel.joined = ++joins_;
    if (me_ != nullptr) Add(channel, me_->nick);
    return channel;
}

void Room::Leave(Channel& channel) {
    for (auto& [user, member] : channel.members) {
        if (--user->channels == 0) Forget(*user);
    }
    // By its place: the key is a view of the entry's own name.
    channels_.erase(channels_.find(channel.name));
}

std::pair<User*, Member*> Room::Add(Channel& channel, std::string_view nick) {
    User& user = Insert(users_, nick, &User::nick);
    auto [it, joined] = channel.members.try_emplace(&user);
    if (joined) ++user.channels;
    // Within a names round, a join counts as listed.
    if (channel.naming) it->second.named = channel.round;
    return {&user, &it->second};
}

void Room::Remove(Channel& channel, User& user) {
    if (channel.members.erase(&user) == 0) return;
    if (--user.channels == 0) Forget(user);
}

void Room::Quit(User& user) {
    if (&user == me_) {
        while (!channels_.empty()) Leave(channels_.begin()->second);
        return;
    }
    for (auto& [name, channel] : channels_) {
        if (channel.members.erase(&user) != 0) --user.channels;
    }
    Forget(user);
}

void Room::Rename(User& user, std::string_view nick) {
    if (User* held = FindUser(nick); held != nullptr && held != &user) {
        // Two people with one nick cannot both be right: we keep ours.
        if (held == me_) return Quit(user);
        Quit(*held);
    }
    const auto it = users_.find(user.nick);
    if (it == users_.end()) return;
    // Out of the map before its key's text changes, so no lookup ever
    // hashes a key other than its own.
    auto node = users_.extract(it);
    node.mapped().nick.assign(nick);
    node.key() = node.mapped().nick;
    users_.insert(std::move(node));
}

void Room::EndNames(Channel& channel) {
    if (!channel.naming) return;
    channel.naming = false;
    for (auto it = channel.members.begin(); it != channel.members.end();) {
        User* user = it->first;
        if (it->second.named == channel.round || user == me_) {
            ++it;
            continue;
        }
        it = channel.members.erase(it);
        if (--user->channels == 0) Forget(*user);
    }
}

std::uint32_t Room::StatusBit(char mode) const {
    const std::size_t at = rules_.PrefixModes().find(mode);
    return at == std::string_view::npos ? 0 : 1u << at;
}

std::uint32_t Room::StatusOfSign(char sign) const {
    const std::size_t at = rules_.PrefixSigns().find(sign);
    return at == std::string_view::npos ? 0 : 1u << at;
}

std::string Room::Signs(std::uint32_t modes) const {
    std::string signs;
    const std::string_view all = rules_.PrefixSigns();
    for (std::size_t i = 0; i < all.size(); ++i)
        if (modes & (1u << i)) signs += all[i];
    return signs;
}

std::size_t Room::OwnPrefixLength(const User* me) {
    auto part = [me](std::string User::*field, std::size_t worst) {
        return me == nullptr || (me->*field).empty() ? worst : (me->*field).size();
    };
    return 4 + part(&User::nick, kWorstNick) + part(&User::user, kWorstUser) + part(&User::host, kWorstHost);
}

void Room::Forget(User& user) {
    if (&user == me_ || user.channels != 0) return;
    users_.erase(users_.find(user.nick));
}

void Room::Rekey() {
    const CaseMapping m = mapping_;
    // Names that fold together now were one name all along, as the server
    // sees them: the later of two is dropped.
    ChannelMap channels(channels_.bucket_count(), FoldHash{m}, FoldEqual{m});
    while (!channels_.empty()) {
        auto result = channels.insert(channels_.extract(channels_.begin()));
        if (result.inserted) continue;
        for (auto& [user, member] : result.node.mapped().members) --user->channels;
    }
    channels_ = std::move(channels);
    UserMap users(users_.bucket_count(), FoldHash{m}, FoldEqual{m});
    std::vector<UserMap::node_type> clashes;
    while (!users_.empty()) {
        auto result = users.insert(users_.extract(users_.begin()));
        if (result.inserted) continue;
        if (&result.node.mapped() != me_) {
            clashes.push_back(std::move(result.node));
            continue;
        }
        // Ourselves stay; the other goes.
        clashes.push_back(users.extract(result.position));
        users.insert(std::move(result.node));
    }
    users_ = std::move(users);
    for (UserMap::node_type& gone : clashes) {
        User* user = &gone.mapped();
        for (auto& [name, channel] : channels_) channel.members.erase(user);
    }
    for (auto it = users_.begin(); it != users_.end();) {
        if (it->second.channels == 0 && &it->second != me_) it = users_.erase(it);
        else ++it;
    }
}

void Room::RemapStatus(std::string_view old_modes) {
    const std::string_view modes = rules_.PrefixModes();
    for (auto& [name, channel] : channels_) {
        for (auto& [user, member] : channel.members) {
            std::uint32_t now = 0;
            for (std::size_t i = 0; i < old_modes.size(); ++i) {
                if (!(member.modes & (1u << i))) continue;
                if (const std::size_t at = modes.find(old_modes[i]); at != std::string_view::npos) now |= 1u << at;
            }
            member.modes = now;
        }
    }
}
