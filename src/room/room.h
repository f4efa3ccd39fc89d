// The channels we are in and the people in them, as the server has told
// us: one Room a link, made with it and gone with it. Every name is found
// under the link's CASEMAPPING; a member costs one entry in its channel,
// and each person one entry however many channels they share with us.
#ifndef QV_ROOM_ROOM_H
#define QV_ROOM_ROOM_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "room/casemap.h"
#include "room/isupport.h"

struct User {
    std::string nick;  // as the server spells it
    // Empty while unknown.
    std::string user, host;
    std::string account;  // empty: logged in to none, as far as known
    std::string realname;
    std::optional<std::string> away;  // the away text (maybe empty); none while here
    std::uint32_t channels = 0;       // of ours, how many they are in
};

struct Member {
    std::uint32_t modes = 0;  // status: bit i is PREFIX's mode i
    std::uint32_t named = 0;  // the last names round that listed them (or a join within it)
};

// Names as the server compares them, keyed by a view of the name the
// entry itself holds.
struct FoldHash {
    CaseMapping mapping;
    std::size_t operator()(std::string_view name) const;
};
struct FoldEqual {
    CaseMapping mapping;
    bool operator()(std::string_view a, std::string_view b) const;
};

struct Channel {
    std::string name;
    std::unordered_map<User*, Member> members;
    std::string topic, topic_by, topic_time;  // topic_time: Unix seconds, as text
    // A 353 after a 366 opens a new round; its 366 drops whoever the round
    // did not name.
    std::uint32_t round = 0;
    bool naming = false;
    std::uint64_t joined = 0;  // our join's place among ours
};

class Room {
public:
    Room();
    Room(Room&&) = default;
    Room& operator=(Room&&) = default;
    // The maps' keys view their own entries: a copy would view another's.
    Room(const Room&) = delete;
    Room& operator=(const Room&) = delete;

    const ServerRules& Rules() const { return rules_; }
    // A 005 line's tokens. A new PREFIX is applied to every member once the
    // line is read; a new CASEMAPPING too, but only until the welcome ends:
    // no network changes it on a live link, and each change costs a pass
    // over everyone in the room.
    void ApplyTokens(const std::string_view* tokens, std::size_t count);
    CaseMapping Mapping() const { return mapping_; }
    std::string Fold(std::string_view text) const { return Folded(mapping_, text); }
    bool Same(std::string_view a, std::string_view b) const { return FoldEqual{mapping_}(a, b); }

    // The end of the welcome (376 or 422) was told to scripts.
    bool registered = false;
    // The account we are logged in to, as its 900 said (maybe before the
    // welcome).
    std::string own_account;
    // Our channels whose WHOX is still to be asked, and the one asked:
    // one at a time, each answered when its 315 comes.
    std::deque<std::string> who_wanted;
    std::string who_asked;

    // Ourselves, once the welcome named us.
    User* Me() const { return me_; }
    bool IsMe(std::string_view nick) const { return me_ != nullptr && Same(nick, me_->nick); }
    User* FindUser(std::string_view nick);
    Channel* FindChannel(std::string_view name);
    Member* FindMember(Channel& channel, const User& user);
    // Ours, in the order we joined them; those `user` is in.
    std::vector<const Channel*> Channels() const;
    std::vector<const Channel*> ChannelsOf(const User& user) const;

    // The welcome (001) names us.
    void Welcome(std::string_view nick);
    // We joined `name`: a channel of ours, with us its one known member.
    Channel& Enter(std::string_view name);
    // We left it (PART, KICK): it and whoever we shared only it with go.
    void Leave(Channel& channel);
    // Someone is in `channel` (a JOIN, a name listed); known ones keep
    // what we knew of them.
    std::pair<User*, Member*> Add(Channel& channel, std::string_view nick);
    // Someone left `channel`.
    void Remove(Channel& channel, User& user);
    // Someone left every channel (QUIT).
    void Quit(User& user);
    // Someone's nick changed. Whoever held `nick` before, the server says,
    // holds it no longer.
    void Rename(User& user, std::string_view nick);
    // A names round ends: members it did not list are gone.
    void EndNames(Channel& channel);

    // The length of ":nick!user@host ", what the server puts in front of
    // the lines it relays from us. Until it has told us, the longest each
    // part may well be: a 30-character nick, a 10-character user name with
    // the '~' servers add when ident fails, a 63-character host name.
    static constexpr std::size_t kWorstNick = 30, kWorstUser = 11, kWorstHost = 63;
    static std::size_t OwnPrefixLength(const User* me);

    // Status: PREFIX's bit for `mode` (0 for none), and the signs of
    // `modes`, highest first.
    std::uint32_t StatusBit(char mode) const;
    std::uint32_t StatusOfSign(char sign) const;
    std::string Signs(std::uint32_t modes) const;

private:
    using UserMap = std::unordered_map<std::string_view, User, FoldHash, FoldEqual>;
    using ChannelMap = std::unordered_map<std::string_view, Channel, FoldHash, FoldEqual>;

    void Forget(User& user);
    void Rekey();
    void RemapStatus(std::string_view old_modes);

    ServerRules rules_;
    CaseMapping mapping_ = CaseMapping::Rfc1459;  // what the maps are keyed by
    UserMap users_;
    ChannelMap channels_;
    User* me_ = nullptr;
    std::uint64_t joins_ = 0;
};

#endif
