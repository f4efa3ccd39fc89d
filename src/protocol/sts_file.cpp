#include "protocol/sts_file.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "module/console.h"
#include "module/globals.h"
#include "net/ascii.h"
#include "net/utf8.h"
#include "platform/file.h"
#include "protocol/sts.h"

std::chrono::system_clock::time_point (*sts_wall_clock)() = &std::chrono::system_clock::now;

namespace {

constexpr std::string_view kHeader = "quorvane-sts 1";
constexpr std::string_view kForm = "quorvane-sts ";
// The longest host name a line may hold: DNS's longest, and some.
constexpr std::size_t kMaxHost = 255;
// Seconds since 1970 beyond any expiry: far from overflowing a signed count.
constexpr std::uint64_t kMaxTime = 1ull << 62;

std::int64_t WallSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(sts_wall_clock().time_since_epoch()).count();
}

// A name a line can hold and a connect can have used: no space, no control.
bool SoundHost(std::string_view host) {
    if (host.empty() || host.size() > kMaxHost) return false;
    return std::none_of(host.begin(), host.end(),
                        [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; });
}

std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < line.size()) {
        if (line[at] == ' ' || line[at] == '\t') {
            ++at;
            continue;
        }
        const std::size_t end = std::min(line.find_first_of(" \t", at), line.size());
        fields.push_back(line.substr(at, end - at));
        at = end;
    }
    return fields;
}

// What is wrong with a line, or empty text when it is sound; a sound one
// gives its policy, or an expired one (port 0).
std::string_view ReadLine(std::string_view line, std::string& host, StsPolicy& policy) {
    const std::vector<std::string_view> f = Fields(line);
    if (f.size() != 4) return "not HOST PORT EXPIRY DURATION";
    if (!SoundHost(f[0])) return "no valid host name";
    std::uint64_t port = 0, expiry = 0, duration = 0;
    if (!ascii::Decimal(f[1], 65536, port) || port == 0 || port > 65535) return "no valid port";
    if (!ascii::Decimal(f[2], kMaxTime, expiry)) return "no valid expiry";
    // Longer than the longest policy kept is as long, as from a server.
    if (!ascii::Decimal(f[3], kLongestStsPolicyS, duration) || duration == 0) return "no valid duration";
    host = StsKey(f[0]);
    const std::int64_t left = static_cast<std::int64_t>(expiry) - WallSeconds();
    policy.port = left > 0 ? static_cast<int>(port) : 0;
    policy.duration = std::chrono::seconds(duration);
    // A clock set back since the file was written makes an expiry look
    // far off: no further than the longest policy.
    policy.expires = sts_clock() + std::chrono::seconds(std::min<std::int64_t>(left, kLongestStsPolicyS));
    return {};
}

}  // namespace

std::string StsFileText(const StsPolicies& policies) {
    const auto now = sts_clock();
    const std::int64_t wall = WallSeconds();
    std::string text(kHeader);
    text += '\n';
    std::size_t written = 0;
    for (const auto& [host, policy] : policies) {
        if (policy.expires <= now || !SoundHost(host) || written == kMaxStsFilePolicies) continue;
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(policy.expires - now).count();
        text += host + ' ' + std::to_string(policy.port) + ' ' + std::to_string(wall + left) + ' ' +
                std::to_string(policy.duration.count()) + '\n';
        ++written;
    }
    return text;
}

bool ReadStsFileText(std::string_view text, StsPolicies& policies, std::size_t& taken, std::string& error,
                     std::string& skipped) {
    taken = 0;
    skipped.clear();
    if (text.empty()) return true;  // made empty, or by hand: nothing to lose
    const std::size_t first_end = text.find('\n');
    std::string_view header = text.substr(0, first_end);
    if (header.ends_with('\r')) header.remove_suffix(1);
    if (header != kHeader) {
        error = header.starts_with(kForm) ? "written in a form this version does not read"
                                           : "not an STS policy file";
        return false;
    }
    StsPolicies read;
    std::size_t bad = 0, sound = 0;
    std::string first_bad;
    auto Skip = [&](std::size_t number, std::string_view why) {
        if (bad++ == 0) first_bad = "line " + std::to_string(number) + ": " + std::string(why);
    };
    std::size_t number = 1;
    for (std::size_t at = first_end; at != std::string_view::npos && at + 1 < text.size();) {
        ++number;
        const std::size_t begin = at + 1;
        at = text.find('\n', begin);
        std::string_view line = text.substr(begin, at == std::string_view::npos ? std::string_view::npos : at - begin);
        // A last line without its line end may have lost digits.
        if (at == std::string_view::npos) {
            Skip(number, "incomplete");
            break;
        }
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (Fields(line).empty()) continue;
        if (sound == kMaxStsFilePolicies) {
            Skip(number, "past the " + std::to_string(kMaxStsFilePolicies) + " policies read");
            continue;
        }
        std::string host;
        StsPolicy policy;
        if (const std::string_view why = ReadLine(line, host, policy); !why.empty()) {
            Skip(number, why);
            continue;
        }
        ++sound;
        if (policy.port == 0) continue;  // expired
        // Of two lines for a name, the longer policy stands.
        const auto it = read.find(host);
        if (it == read.end() || it->second.expires < policy.expires) read[host] = policy;
    }
    for (auto& [host, policy] : read) {
        const auto it = policies.find(host);
        if (it != policies.end() && it->second.expires >= policy.expires) continue;
        policies[host] = policy;
        ++taken;
    }
    if (bad > 0)
        skipped = "skipped " + std::to_string(bad) + (bad == 1 ? " line" : " lines") +
                  " that held no sound policy (" + first_bad + "); policies known for their hosts stand";
    return true;
}

void KeepStsPolicies() {
    if (Globals::stsFile.empty()) return;
    std::string error;
    if (!platform::ReplaceWholeFile(Globals::stsFile, StsFileText(Globals::stsPolicies), error))
        ConsoleWarning("STS policies could not be written to " + utf8::OneLine(Globals::stsFile, 200) + ": " +
                       error);
}
