#include "room/isupport.h"

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "\x20" is a space; any other backslash stands for itself.
std::string Unescaped(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 3 < value.size() && value[i + 1] == 'x') {
            const int high = HexDigit(value[i + 2]), low = HexDigit(value[i + 3]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 3;
                continue;
            }
        }
        out += value[i];
    }
    return out;
}

}  // namespace

void ServerRules::Apply(std::string_view token) {
    const bool withdrawn = token.starts_with('-');
    if (withdrawn) token.remove_prefix(1);
    const std::size_t eq = token.find('=');
    const std::string_view name = token.substr(0, eq);
    if (name.empty()) return;
    if (withdrawn) {
        if (const auto it = tokens_.find(name); it != tokens_.end()) tokens_.erase(it);
    } else {
        tokens_.insert_or_assign(std::string(name), eq == std::string_view::npos ? std::string() : Unescaped(token.substr(eq + 1)));
    }
    if (name == "CASEMAPPING") {
        const std::string* value = Find(name);
        casemapping_ = CaseMappingNamed(value != nullptr ? *value : std::string_view{});
    }
    if (name == "PREFIX") ReadPrefix();
    if (name == "CHANMODES") ReadChanModes();
    if (name == "CHANTYPES") {
        const std::string* value = Find(name);
        chantypes_ = value != nullptr ? *value : "#&";
    }
}

const std::string* ServerRules::Find(std::string_view name) const {
    const auto it = tokens_.find(name);
    return it != tokens_.end() ? &it->second : nullptr;
}

bool ServerRules::IsChannel(std::string_view name) const {
    return !name.empty() && chantypes_.find(name.front()) != std::string::npos;
}

ModeParam ServerRules::ParamOf(char mode) const {
    if (prefix_modes_.find(mode) != std::string::npos) return ModeParam::Always;
    if (chanmodes_[0].find(mode) != std::string::npos || chanmodes_[1].find(mode) != std::string::npos)
        return ModeParam::Always;
    if (chanmodes_[2].find(mode) != std::string::npos) return ModeParam::WhenSet;
    // A mode the server did not describe is taken to have no parameter,
    // so that it never swallows a nick meant for a status mode.
    return ModeParam::Never;
}

void ServerRules::ReadPrefix() {
    // "(modes)signs", as many of each; anything else leaves the default.
    prefix_modes_ = "ov";
    prefix_signs_ = "@+";
    const std::string* value = Find("PREFIX");
    if (value == nullptr) return;
    const std::string_view v = *value;
    if (v.empty()) {
        // The server gives no one a status.
        prefix_modes_.clear();
        prefix_signs_.clear();
        return;
    }
    const std::size_t close = v.find(')');
    if (!v.starts_with('(') || close == std::string_view::npos || v.size() - close - 1 != close - 1) return;
    // A member's status is one bit a mode.
    if (close - 1 > kMaxPrefixModes) return;
    prefix_modes_ = v.substr(1, close - 1);
    prefix_signs_ = v.substr(close + 1);
}

void ServerRules::ReadChanModes() {
    chanmodes_[0] = "beI";
    chanmodes_[1] = "k";
    chanmodes_[2] = "l";
    chanmodes_[3] = "imnpst";
    const std::string* value = Find("CHANMODES");
    if (value == nullptr) return;
    // Four lists at least (later kinds may follow); fewer is no CHANMODES
    // we can read, and the usual lists stay.
    std::string_view v = *value;
    std::string kinds[4];
    for (std::string& kind : kinds) {
        const std::size_t comma = v.find(',');
        if (comma == std::string_view::npos && &kind != &kinds[3]) return;
        kind = v.substr(0, comma);
        v.remove_prefix(comma == std::string_view::npos ? v.size() : comma + 1);
    }
    for (int i = 0; i < 4; ++i) chanmodes_[i] = std::move(kinds[i]);
}
