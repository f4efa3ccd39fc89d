#include "protocol/sts.h"

#include <cstdint>
#include <optional>
#include <string>

#include "module/console.h"
#include "module/globals.h"
#include "net/ascii.h"
#include "net/connection.h"
#include "net/server_text.h"
#include "protocol/items.h"
#include "protocol/sts_file.h"

std::chrono::steady_clock::time_point (*sts_clock)() = &std::chrono::steady_clock::now;

std::string StsKey(std::string_view host) { return ascii::Lowered(host); }

namespace {

// "key=value" in a comma-separated list; a key without '=' gives empty
// text; nullopt when the key is not there.
std::optional<std::string_view> Field(std::string_view list, std::string_view key) {
    for (const auto [name, value] : Items(list, ','))
        if (name == key) return value.value_or(std::string_view{});
    return std::nullopt;
}

void Ignored(std::string_view value, std::string_view why) {
    ConsoleWarning("the server's STS policy \"" + ServerText(value) + "\" " + std::string(why) +
                   ": ignored");
}

}  // namespace

int StsOnList(Connection& link, std::string_view value) {
    if (link.LinkSecurity() == platform::Security::Plain) {
        // Over plain TCP only the port counts: anyone on the path could
        // have written a duration.
        const auto port = Field(value, "port");
        std::uint64_t n = 0;
        if (!port) {
            Ignored(value, "names no port");
            return 0;
        }
        if (!ascii::Decimal(*port, 65536, n) || n == 0 || n > 65535) {
            Ignored(value, "names no valid port");
            return 0;
        }
        ConsoleLine("the server requires TLS (STS): reconnecting to " + link.Host() + " on port " +
                    std::to_string(n));
        return static_cast<int>(n);
    }
    // A policy is only as good as the link it came on: an unverified or
    // pinned certificate proves nothing about the name.
    if (link.LinkSecurity() != platform::Security::Tls) return 0;
    const auto duration = Field(value, "duration");
    if (!duration) return 0;
    std::uint64_t seconds = 0;
    // Longer than the longest policy kept is as long.
    if (!ascii::Decimal(*duration, kLongestStsPolicyS, seconds)) {
        Ignored(value, "gives no valid duration");
        return 0;
    }
    if (seconds == 0) {
        if (const auto it = Globals::stsPolicies.find(StsKey(link.Host())); it != Globals::stsPolicies.end()) {
            Globals::stsPolicies.erase(it);
            KeepStsPolicies();
        }
        return 0;
    }
    StsPolicy& policy = Globals::stsPolicies[StsKey(link.Host())];
    policy.port = link.Port();
    policy.duration = std::chrono::seconds(seconds);
    policy.expires = sts_clock() + policy.duration;
    KeepStsPolicies();
    return 0;
}

int StsPolicyPort(std::string_view host) {
    const auto it = Globals::stsPolicies.find(StsKey(host));
    if (it == Globals::stsPolicies.end()) return 0;
    if (sts_clock() >= it->second.expires) {
        Globals::stsPolicies.erase(it);
        return 0;
    }
    return it->second.port;
}

void StsLinkEnded(const Connection& link) {
    if (link.LinkSecurity() != platform::Security::Tls || link.session().up_since == decltype(link.session().up_since){}) return;
    const auto it = Globals::stsPolicies.find(StsKey(link.Host()));
    if (it != Globals::stsPolicies.end() && it->second.port == link.Port()) {
        it->second.expires = sts_clock() + it->second.duration;
        KeepStsPolicies();
    }
}
