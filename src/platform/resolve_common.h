// Shared by resolve.cpp and the platform's resolver; only these include it.
#ifndef QV_PLATFORM_RESOLVE_COMMON_H
#define QV_PLATFORM_RESOLVE_COMMON_H

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/resolve.h"

namespace platform {

// Appends each address of the system's list (addrinfo, or Windows'
// ADDRINFOEXW), in its order; the system's own sort is the order to try.
// (MinGW declares ADDRINFOEXW's ai_next with a misspelt struct name, hence
// the cast to the list's own type.)
template <class List>
void CopyAddresses(const List* list, std::vector<Address>& out) {
    for (const List* ai = list; ai != nullptr; ai = reinterpret_cast<const List*>(ai->ai_next)) {
        Address a;
        if (ai->ai_addr == nullptr || ai->ai_addrlen > a.bytes.size()) continue;
        a.family = ai->ai_family;
        a.size = ai->ai_addrlen;
        std::memcpy(a.bytes.data(), ai->ai_addr, ai->ai_addrlen);
        out.push_back(a);
    }
}

// A resolution whose answer is already in: a literal, or none at all.
class Resolved final : public Resolution {
public:
    explicit Resolved(std::vector<Address> addresses) { addresses_ = std::move(addresses); }
    Status Check() override { return addresses_.empty() ? Status::Failed : Status::Done; }
    void SetError(std::string why) { error_ = std::move(why); }
};

// Requests given up while the system still works on them: they are kept,
// since the system's threads may yet write to them, and let go once
// finished. Whatever still runs when the module is unloaded is left to the
// system (a few bytes): the list is never destroyed, so it cannot be freed
// under a writer's feet.
template <class Request>
class Abandoned {
public:
    static void Keep(std::unique_ptr<Request> request) {
        // Made only when needed: an empty list left at unload would be a
        // leak for nothing.
        if (list_ == nullptr) list_ = new std::vector<std::unique_ptr<Request>>;
        list_->push_back(std::move(request));
    }
    template <class Finished, class Release>
    static void ForgetDone(Finished finished, Release release) {
        if (list_ == nullptr) return;
        std::erase_if(*list_, [&](const std::unique_ptr<Request>& r) {
            if (!finished(*r)) return false;
            release(*r);
            return true;
        });
    }

private:
    static inline std::vector<std::unique_ptr<Request>>* list_ = nullptr;
};

// A name handed to the system's resolver, which works on threads of its own.
std::unique_ptr<Resolution> ResolveName(const std::string& host, int port);

}  // namespace platform

#endif
