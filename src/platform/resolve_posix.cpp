// Names resolved with glibc's getaddrinfo_a: its own threads run
// getaddrinfo and nothing else, and the poll asks whether they are done.
#include "platform/resolve_common.h"

#include <netdb.h>
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <utility>

namespace platform {
namespace {

// Everything the resolver's thread writes to: it must stay where it is
// until that thread has finished with it.
struct Request {
    std::string host;
    char service[16] = {};
    addrinfo hints{};
    gaicb cb{};
};

bool Finished(Request& r) { return gai_error(&r.cb) != EAI_INPROGRESS; }

void Release(Request& r) {
    if (r.cb.ar_result != nullptr) freeaddrinfo(r.cb.ar_result);
    r.cb.ar_result = nullptr;
}

class NameResolution final : public Resolution {
public:
    explicit NameResolution(std::unique_ptr<Request> request) : req_(std::move(request)) {}
    ~NameResolution() override {
        if (!req_) return;
        if (gai_cancel(&req_->cb) == EAI_NOTCANCELED)
            Abandoned<Request>::Keep(std::move(req_));
        else
            Release(*req_);
    }
    NameResolution(const NameResolution&) = delete;
    NameResolution& operator=(const NameResolution&) = delete;

    Status Check() override {
        if (!req_) return addresses_.empty() ? Status::Failed : Status::Done;
        if (gai_error(&req_->cb) == EAI_INPROGRESS) return Status::Pending;
        CopyAddresses(req_->cb.ar_result, addresses_);
        Release(*req_);
        req_.reset();
        return addresses_.empty() ? Status::Failed : Status::Done;
    }

private:
    std::unique_ptr<Request> req_;
};

}  // namespace

std::unique_ptr<Resolution> ResolveName(const std::string& host, int port) {
    Abandoned<Request>::ForgetDone(Finished, Release);
    auto req = std::make_unique<Request>();
    req->host = host;
    std::snprintf(req->service, sizeof req->service, "%d", port);
    req->hints.ai_family = AF_UNSPEC;
    req->hints.ai_socktype = SOCK_STREAM;
    req->hints.ai_protocol = IPPROTO_TCP;
    req->hints.ai_flags = AI_NUMERICSERV;
    req->cb.ar_name = req->host.c_str();
    req->cb.ar_service = req->service;
    req->cb.ar_request = &req->hints;
    gaicb* list[] = {&req->cb};
    sigevent none{};
    none.sigev_notify = SIGEV_NONE;
    if (getaddrinfo_a(GAI_NOWAIT, list, 1, &none) != 0) return std::make_unique<Resolved>(std::vector<Address>{});
    return std::make_unique<NameResolution>(std::move(req));
}

}  // namespace platform
