#include "platform/staggered_connect.h"

#include <algorithm>
#include <utility>

namespace platform {
namespace {

// The families take turns, each in the resolver's order, the family the
// resolver put first leading: a broken IPv6 route costs one stagger, not
// one per IPv6 address.
std::vector<Address> Interleaved(const std::vector<Address>& addresses) {
    if (addresses.empty()) return {};
    std::vector<const Address*> first, rest;
    for (const Address& a : addresses) (a.family == addresses.front().family ? first : rest).push_back(&a);
    std::vector<Address> out;
    out.reserve(addresses.size());
    for (std::size_t i = 0; i < std::max(first.size(), rest.size()); ++i) {
        if (i < first.size()) out.push_back(*first[i]);
        if (i < rest.size()) out.push_back(*rest[i]);
    }
    return out;
}

}  // namespace

StaggeredConnect::StaggeredConnect(const std::vector<Address>& addresses) : order_(Interleaved(addresses)) {}

StaggeredConnect::~StaggeredConnect() {
    CloseAll();
    TcpClose(winner_);
}

void StaggeredConnect::CloseAll() {
    for (SocketHandle& sock : open_) TcpClose(sock);
    open_.clear();
}

void StaggeredConnect::Note(ConnectOutcome outcome, int error) {
    last_error_ = outcome == ConnectOutcome::Refused ? "Connection refused" : ErrorText(error);
}

StaggeredConnect::Status StaggeredConnect::Step(Clock::time_point now) {
    if (winner_ != kNoSocket) return Status::Connected;
    // The earliest started that has connected wins: it was preferred.
    for (std::size_t i = 0; i < open_.size();) {
        int error = 0;
        const ConnectOutcome outcome = ConnectCheck(open_[i], error);
        if (outcome == ConnectOutcome::InProgress) {
            ++i;
            continue;
        }
        if (outcome == ConnectOutcome::Connected) {
            winner_ = std::exchange(open_[i], kNoSocket);
            CloseAll();
            return Status::Connected;
        }
        Note(outcome, error);
        TcpClose(open_[i]);
        open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(i));
        // A failure hands over to the next address at once.
        next_due_ = now;
    }

    while (next_ < order_.size() && (open_.empty() || now >= next_due_)) {
        SocketHandle sock = kNoSocket;
        int error = 0;
        const ConnectOutcome outcome = ConnectStart(sock, order_[next_++], error);
        if (outcome == ConnectOutcome::Connected) {
            winner_ = sock;
            CloseAll();
            return Status::Connected;
        }
        if (outcome == ConnectOutcome::InProgress) {
            open_.push_back(sock);
            next_due_ = now + kStagger;
        } else {
            Note(outcome, error);
            TcpClose(sock);
            next_due_ = now;
        }
    }
    return open_.empty() ? Status::Failed : Status::Pending;
}

SocketHandle StaggeredConnect::TakeWinner() { return std::exchange(winner_, kNoSocket); }

}  // namespace platform
