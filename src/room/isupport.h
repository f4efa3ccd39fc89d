// The server's own rules, as its 005 (ISUPPORT) lines state them: every
// token kept for the link, and the ones the module reads turned into the
// rules it follows.
#ifndef QV_ROOM_ISUPPORT_H
#define QV_ROOM_ISUPPORT_H

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "room/casemap.h"

// How a channel mode takes its parameter (CHANMODES' four kinds, PREFIX's
// modes always).
enum class ModeParam { Never, Always, WhenSet };

class ServerRules {
public:
    // The most status modes a PREFIX may name to be taken.
    static constexpr std::size_t kMaxPrefixModes = 32;

    // "NAME=VALUE" (value escaped as \xHH), "NAME" (an empty value) or
    // "-NAME" (withdrawn); the last word on a name wins.
    void Apply(std::string_view token);

    // A token's value, unescaped; null when the server has not sent it.
    const std::string* Find(std::string_view name) const;

    CaseMapping casemapping() const { return casemapping_; }
    // PREFIX: the status modes, highest first, and the sign of each.
    std::string_view PrefixModes() const { return prefix_modes_; }
    std::string_view PrefixSigns() const { return prefix_signs_; }
    // Whether `name` is a channel's, by CHANTYPES.
    bool IsChannel(std::string_view name) const;
    ModeParam ParamOf(char mode) const;
    bool Whox() const { return tokens_.contains("WHOX"); }

private:
    void ReadPrefix();
    void ReadChanModes();

    std::map<std::string, std::string, std::less<>> tokens_;
    CaseMapping casemapping_ = CaseMapping::Rfc1459;
    std::string prefix_modes_ = "ov", prefix_signs_ = "@+";
    std::string chantypes_ = "#&";
    // CHANMODES' lists: always a parameter, always, when set, never.
    std::string chanmodes_[4] = {"beI", "k", "l", "imnpst"};
};

#endif
