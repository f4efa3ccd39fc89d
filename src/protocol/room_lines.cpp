#include "protocol/room_lines.h"

#include <chrono>
#include <string>

#include "module/globals.h"
#include "room/room.h"
#include "session/session.h"

namespace {

// The texts an event hands on that are not the line's own bytes; each is
// rewritten only by the next line.
std::string account_text, list_text, nick_text, tag_scratch;

void Tell(RoomEvent& event, const char* name, std::initializer_list<std::optional<std::string_view>> args) {
    event.name = name;
    event.count = 0;
    for (const auto& arg : args) event.args[event.count++] = arg;
}

// Parameter i, when the line has it.
std::optional<std::string_view> Reason(const Message& m, std::size_t i) {
    if (m.size <= i) return std::nullopt;
    return m.params[i];
}

// "nick!user@host": what it says of `user`.
void LearnUserHost(User& user, std::string_view prefix) {
    const std::size_t bang = prefix.find('!');
    const std::size_t at = prefix.find('@', bang == std::string_view::npos ? 0 : bang);
    if (bang == std::string_view::npos || at == std::string_view::npos) return;
    user.user.assign(prefix.substr(bang + 1, at - bang - 1));
    user.host.assign(prefix.substr(at + 1));
}

// The account an account parameter names: "*" is none.
void LearnAccount(User& user, std::string_view account) {
    if (account == "*") account = {};
    user.account.assign(account);
}

// Asks the server's WHOX of the next channel that waits for it, one at a
// time (each is over at its 315) and behind every line of the script's: a
// bouncer's replay of many joins must not hold the script's lines up.
void AskWho(Room& room) {
    while (room.who_asked.empty() && !room.who_wanted.empty()) {
        std::string name = std::move(room.who_wanted.front());
        room.who_wanted.pop_front();
        if (room.FindChannel(name) == nullptr) continue;  // left meanwhile
        Globals::SendIRCString("WHO " + name + " %tcuhnfar," + std::string(kWhoxToken), LineKind::Background);
        room.who_asked = std::move(name);
    }
}

std::optional<std::string_view> AccountOf(const User* user) {
    if (user == nullptr || user->account.empty()) return std::nullopt;
    account_text = user->account;
    return std::string_view(account_text);
}

void OnWelcome(Room& room, const Message& m) {
    if (m.size == 0) return;
    room.Welcome(m[0]);
    User& me = *room.Me();
    me.account = room.own_account;
    // A new registration: what we knew of our user and host may be of
    // another link.
    me.user.clear();
    me.host.clear();
    // Most servers end the welcome with the prefix they will use.
    std::string_view last = m.trailing.substr(m.trailing.rfind(' ') + 1);
    const std::size_t bang = last.find('!');
    if (bang != std::string_view::npos && room.Same(last.substr(0, bang), me.nick)) LearnUserHost(me, last);
}

void OnJoin(Room& room, const Message& m, std::optional<std::string_view> tagged, RoomEvent& event) {
    const std::string_view nick = m.Nick(), name = m[0];
    User* user = nullptr;
    if (!room.Rules().IsChannel(name)) {
        // No channel of ours: nothing to keep.
    } else if (room.IsMe(nick)) {
        room.Enter(name);
        user = room.Me();
        // The server's own WHO of the channel tells every member's account.
        if (room.Rules().Whox()) {
            room.who_wanted.emplace_back(name);
            AskWho(room);
        }
    } else if (Channel* channel = room.FindChannel(name)) {
        user = room.Add(*channel, nick).first;
    }
    if (user != nullptr) {
        LearnUserHost(*user, m.prefix);
        // extended-join: "JOIN #chan account :realname".
        if (m.size >= 3) {
            LearnAccount(*user, m[1]);
            user->realname.assign(m[2]);
        }
        if (tagged) user->account.assign(*tagged);
    }
    // The server's tag, where it vouches, before the join's own word.
    std::optional<std::string_view> account = AccountOf(user);
    if (!account) account = tagged;
    if (!account && m.size >= 3 && m[1] != "*") account = m[1];
    Tell(event, "IRC_OnJoin", {nick, name, account});
}

void OnPart(Room& room, const Message& m, RoomEvent& event) {
    const std::string_view nick = m.Nick();
    if (Channel* channel = room.FindChannel(m[0])) {
        if (room.IsMe(nick)) room.Leave(*channel);
        else if (User* user = room.FindUser(nick)) room.Remove(*channel, *user);
    }
    Tell(event, "IRC_OnPart", {nick, m[0], Reason(m, 1)});
}

void OnKick(Room& room, const Message& m, RoomEvent& event) {
    if (m.size < 2) return;
    if (Channel* channel = room.FindChannel(m[0])) {
        if (room.IsMe(m[1])) room.Leave(*channel);
        else if (User* user = room.FindUser(m[1])) room.Remove(*channel, *user);
    }
    Tell(event, "IRC_OnKick", {m[0], m[1], m.Nick(), Reason(m, 2)});
}

void OnQuit(Room& room, const Message& m, RoomEvent& event) {
    const std::string_view nick = m.Nick();
    list_text.clear();
    if (User* user = room.FindUser(nick)) {
        for (const Channel* channel : room.ChannelsOf(*user)) {
            if (!list_text.empty()) list_text += ' ';
            list_text += channel->name;
        }
        room.Quit(*user);
    }
    Tell(event, "IRC_OnQuit", {nick, Reason(m, 0), std::string_view(list_text)});
}

void OnNick(Room& room, const Message& m, RoomEvent& event) {
    if (m.size == 0) return;
    const std::string_view old = m.Nick(), now = m[0];
    if (User* user = room.FindUser(old)) {
        if (user == room.Me()) LearnUserHost(*user, m.prefix);
        room.Rename(*user, now);
    }
    Tell(event, "IRC_OnNick", {old, now});
}

// "+ov-v alice bob carol": each status change to its member, each other
// mode's parameter passed over as the server's rules say it takes one.
void ApplyModes(Room& room, Channel& channel, const Message& m) {
    bool adding = true;
    std::size_t next = 2;
    for (const char c : m[1]) {
        if (c == '+' || c == '-') {
            adding = c == '+';
            continue;
        }
        const ModeParam takes = room.Rules().ParamOf(c);
        if (takes == ModeParam::Never || (takes == ModeParam::WhenSet && !adding)) continue;
        if (next >= m.size) return;  // the server left a parameter out
        const std::string_view param = m.params[next++];
        const std::uint32_t bit = room.StatusBit(c);
        if (bit == 0) continue;
        User* user = room.FindUser(param);
        Member* member = user != nullptr ? room.FindMember(channel, *user) : nullptr;
        if (member == nullptr) continue;
        member->modes = adding ? member->modes | bit : member->modes & ~bit;
    }
}

void OnMode(Room& room, const Message& m, RoomEvent& event) {
    if (m.size < 2) return;
    if (room.Rules().IsChannel(m[0])) {
        if (Channel* channel = room.FindChannel(m[0])) ApplyModes(room, *channel, m);
    }
    list_text.assign(m[1]);
    for (std::size_t i = 2; i < m.size; ++i) list_text.append(1, ' ').append(m.params[i]);
    Tell(event, "IRC_OnMode", {m[0], m.Nick(), std::string_view(list_text)});
}

std::string Now() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

void OnTopic(Room& room, const Message& m, RoomEvent& event) {
    if (m.size < 2) return;
    if (Channel* channel = room.FindChannel(m[0])) {
        channel->topic.assign(m[1]);
        channel->topic_by.assign(m.Nick());
        channel->topic_time = Now();
    }
    Tell(event, "IRC_OnTopic", {m[0], m[1], m.Nick()});
}

// "353 me = #chan :@+alice bob!b@h": each name, its status signs in front
// and, with userhost-in-names, its user and host behind.
void OnNames(Session& session, const Message& m) {
    Room& room = session.room;
    if (m.size < 3) return;
    Channel* channel = room.FindChannel(m.params[m.size - 2]);
    if (channel == nullptr) return;
    if (!channel->naming) {
        channel->naming = true;
        ++channel->round;
    }
    // Without multi-prefix a name shows its highest status only: the
    // lower ones known stay.
    const bool all_shown = session.caps.enabled & kCapMultiPrefix;
    std::string_view names = m.params[m.size - 1];
    while (!names.empty()) {
        const std::size_t space = names.find(' ');
        std::string_view name = names.substr(0, space);
        names.remove_prefix(space == std::string_view::npos ? names.size() : space + 1);
        std::uint32_t modes = 0;
        while (!name.empty() && room.StatusOfSign(name.front()) != 0) {
            modes |= room.StatusOfSign(name.front());
            name.remove_prefix(1);
        }
        const std::string_view nick = name.substr(0, name.find('!'));
        if (nick.empty()) continue;
        auto [user, member] = room.Add(*channel, nick);
        if (all_shown || modes == 0) {
            member->modes = modes;
        } else {
            // Everything below the highest sign shown is kept.
            const std::uint32_t highest = modes & (~modes + 1);
            member->modes = modes | (member->modes & ~(highest | (highest - 1)));
        }
        if (nick.size() != name.size()) LearnUserHost(*user, name);
    }
}

// A WHO reply's flags: 'G' is away, 'H' here.
void LearnAway(User& user, std::string_view flags) {
    if (flags.starts_with('G') && !user.away) user.away.emplace();
    if (flags.starts_with('H')) user.away.reset();
}

// "354 me 415 #chan user host nick flags account :realname".
void OnWhox(Room& room, const Message& m) {
    if (m.size < 9 || m[1] != kWhoxToken) return;
    User* user = room.FindUser(m[5]);
    if (user == nullptr) return;
    user->user.assign(m[3]);
    user->host.assign(m[4]);
    LearnAway(*user, m[6]);
    // WHOX says "0" for an account of none.
    user->account.assign(m[7] == "0" ? std::string_view{} : m[7]);
    user->realname.assign(m[8]);
}

// "352 me #chan user host server nick flags :hops realname".
void OnWho(Room& room, const Message& m) {
    if (m.size < 8) return;
    User* user = room.FindUser(m[5]);
    if (user == nullptr) return;
    user->user.assign(m[2]);
    user->host.assign(m[3]);
    LearnAway(*user, m[6]);
    const std::string_view text = m[7];
    const std::size_t space = text.find(' ');
    user->realname.assign(space == std::string_view::npos ? std::string_view{} : text.substr(space + 1));
}

void OnNumeric(Session& session, const Message& m, RoomEvent& event) {
    Room& room = session.room;
    const std::string_view n = m.command;
    if (n == "001") return OnWelcome(room, m);
    if (n == "005") {
        // "005 me TOKEN... :are supported by this server".
        const std::size_t end = m.colon ? m.size - 1 : m.size;
        if (end > 1) room.ApplyTokens(m.params.data() + 1, end - 1);
        return;
    }
    if (n == "396") {
        // "396 me host :is now your displayed host"; some send user@host.
        User* me = room.Me();
        if (me == nullptr || m.size < 3 || m[1].empty()) return;
        const std::size_t at = m[1].find('@');
        if (at != std::string_view::npos) me->user.assign(m[1].substr(0, at));
        me->host.assign(m[1].substr(at == std::string_view::npos ? 0 : at + 1));
        return;
    }
    if (n == "353") return OnNames(session, m);
    if (n == "366") {
        if (Channel* channel = room.FindChannel(m[1])) room.EndNames(*channel);
        return;
    }
    if (n == "332" || n == "331") {
        if (m.size < 3) return;
        const std::string_view topic = n == "332" ? m[2] : std::string_view{};
        if (Channel* channel = room.FindChannel(m[1])) {
            channel->topic.assign(topic);
            channel->topic_by.clear();
            channel->topic_time.clear();
        }
        if (n == "332") Tell(event, "IRC_OnTopic", {m[1], topic, std::nullopt});
        return;
    }
    if (n == "333") {
        // "333 me #chan setter unixtime"; the setter is a nick or a whole
        // mask by the server, kept as the nick a TOPIC line gives.
        if (m.size < 4) return;
        if (Channel* channel = room.FindChannel(m[1])) {
            channel->topic_by.assign(m[2].substr(0, m[2].find('!')));
            channel->topic_time.assign(m[3]);
        }
        return;
    }
    if (n == "900" || n == "901") {
        // "900 me me!user@host account :You are now logged in"; 901: out.
        // A login while registering comes before the welcome names us.
        if (m.size < 3) return;
        room.own_account.assign(n == "900" ? m[2] : "");
        if (User* me = room.Me()) me->account = room.own_account;
        return;
    }
    if (n == "354") return OnWhox(room, m);
    if (n == "315") {
        // "315 me #chan :End of WHO list": ours is over, the next may go.
        if (!room.who_asked.empty() && room.Same(m[1], room.who_asked)) {
            room.who_asked.clear();
            AskWho(room);
        }
        return;
    }
    if (n == "352") return OnWho(room, m);
    if ((n == "376" || n == "422") && room.Me() != nullptr && !room.registered) {
        room.registered = true;
        nick_text = room.Me()->nick;
        Tell(event, "IRC_OnRegistered", {std::string_view(nick_text)});
    }
}

}  // namespace

void RoomOnLine(Session& session, const Message& m, const MessageTags& tags, RoomEvent& event) {
    Room& room = session.room;
    const std::string_view c = m.command;
    if (c.size() == 3 && c[0] >= '0' && c[0] <= '9') return OnNumeric(session, m, event);
    if (m.prefix.empty()) return;
    // Who sent it, as the server vouches with its account tag.
    std::optional<std::string_view> tagged;
    if (tags.account && (session.caps.enabled & kCapAccountTag)) tagged = TagText(tags.account, tag_scratch);
    if (c == "JOIN") return OnJoin(room, m, tagged, event);
    if (tagged) {
        if (User* user = room.FindUser(m.Nick())) user->account.assign(*tagged);
    }
    if (c == "PRIVMSG" || c == "NOTICE") {
        // While account-tag is on, a message without the tag says its
        // sender is logged in to none.
        if (!tagged && (session.caps.enabled & kCapAccountTag)) {
            if (User* user = room.FindUser(m.Nick())) user->account.clear();
        }
        return;
    }
    if (c == "PART") return OnPart(room, m, event);
    if (c == "KICK") return OnKick(room, m, event);
    if (c == "QUIT") return OnQuit(room, m, event);
    if (c == "NICK") return OnNick(room, m, event);
    if (c == "MODE") return OnMode(room, m, event);
    if (c == "TOPIC") return OnTopic(room, m, event);
    User* user = room.FindUser(m.Nick());
    if (c == "INVITE") {
        if (m.size >= 2 && room.IsMe(m[0])) Tell(event, "IRC_OnInvite", {m.Nick(), m[1]});
    } else if (c == "ACCOUNT") {
        if (user != nullptr && m.size >= 1) LearnAccount(*user, m[0]);
        std::optional<std::string_view> account = m[0];
        if (m[0] == "*" || m[0].empty()) account.reset();
        Tell(event, "IRC_OnAccount", {m.Nick(), account});
    } else if (user == nullptr) {
        return;
    } else if (c == "AWAY") {
        if (m[0].empty()) user->away.reset();
        else user->away.emplace(m[0]);
    } else if (c == "CHGHOST") {
        if (m.size < 2) return;
        user->user.assign(m[0]);
        user->host.assign(m[1]);
    } else if (c == "SETNAME") {
        if (m.size >= 1) user->realname.assign(m[0]);
    }
}
