// Names resolved with GetAddrInfoExW in its overlapped form: Windows runs
// the lookup on threads of its own and the poll asks whether it is done.
// Systems before Windows 8 lack that form; there, and only there, the
// lookup blocks.
#include "platform/resolve_common.h"
#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "platform/wide_win32.h"

#include <cstdio>
#include <utility>

namespace platform {
namespace {

using GetAddrInfoExWFn = int(WSAAPI*)(PCWSTR, PCWSTR, DWORD, LPGUID, const ADDRINFOEXW*, PADDRINFOEXW*, timeval*,
                                      LPOVERLAPPED, void*, LPHANDLE);
using OverlappedResultFn = int(WSAAPI*)(LPOVERLAPPED);
using CancelFn = int(WSAAPI*)(LPHANDLE);
using FreeFn = void(WSAAPI*)(PADDRINFOEXW);

struct Api {
    GetAddrInfoExWFn lookup = nullptr;
    OverlappedResultFn result = nullptr;
    CancelFn cancel = nullptr;
    FreeFn free = nullptr;
    bool usable() const { return lookup && result && cancel && free; }
};

// Looked up at run time, so the module still loads where they are missing.
const Api& Functions() {
    static const Api api = [] {
        Api a;
        HMODULE ws2 = GetModuleHandleA("ws2_32.dll");
        if (ws2 == nullptr) return a;
        a.lookup = reinterpret_cast<GetAddrInfoExWFn>(reinterpret_cast<void*>(GetProcAddress(ws2, "GetAddrInfoExW")));
        a.result = reinterpret_cast<OverlappedResultFn>(
            reinterpret_cast<void*>(GetProcAddress(ws2, "GetAddrInfoExOverlappedResult")));
        a.cancel = reinterpret_cast<CancelFn>(reinterpret_cast<void*>(GetProcAddress(ws2, "GetAddrInfoExCancel")));
        a.free = reinterpret_cast<FreeFn>(reinterpret_cast<void*>(GetProcAddress(ws2, "FreeAddrInfoExW")));
        return a;
    }();
    return api;
}

// A lookup's error code in the words Opening reports: an unknown name is
// "Name not resolved" (its error left empty), anything else the system's text.
std::string LookupError(int code) {
    if (code == WSAHOST_NOT_FOUND || code == WSANO_DATA) return {};
    return ErrorText(code);
}

// Everything Windows' lookup writes to; it stays put until the lookup ends.
struct Request {
    std::wstring host, service;
    ADDRINFOEXW hints{};
    ADDRINFOEXW* result = nullptr;
    OVERLAPPED overlapped{};
    HANDLE cancel = nullptr;
};

bool Finished(Request& r) { return Functions().result(&r.overlapped) != WSAEINPROGRESS; }

void Release(Request& r) {
    if (r.result != nullptr) Functions().free(r.result);
    r.result = nullptr;
    if (r.overlapped.hEvent != nullptr) CloseHandle(r.overlapped.hEvent);
    r.overlapped.hEvent = nullptr;
}

class NameResolution final : public Resolution {
public:
    explicit NameResolution(std::unique_ptr<Request> request) : req_(std::move(request)) {}
    ~NameResolution() override {
        if (!req_) return;
        if (!Finished(*req_)) {
            Functions().cancel(&req_->cancel);
            Abandoned<Request>::Keep(std::move(req_));
            return;
        }
        Release(*req_);
    }
    NameResolution(const NameResolution&) = delete;
    NameResolution& operator=(const NameResolution&) = delete;

    Status Check() override {
        if (!req_) return addresses_.empty() ? Status::Failed : Status::Done;
        const int outcome = Functions().result(&req_->overlapped);
        if (outcome == WSAEINPROGRESS) return Status::Pending;
        if (outcome == 0)
            CopyAddresses(req_->result, addresses_);
        else
            error_ = LookupError(outcome);
        Release(*req_);
        req_.reset();
        return addresses_.empty() ? Status::Failed : Status::Done;
    }

private:
    std::unique_ptr<Request> req_;
};

// Where the overlapped form is missing: the lookup waits, on the host's
// thread.
class Blocking final : public Resolution {
public:
    Blocking(const std::wstring& host, int port) {
        ADDRINFOW hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        const std::wstring service = std::to_wstring(port);
        ADDRINFOW* found = nullptr;
        const int r = GetAddrInfoW(host.c_str(), service.c_str(), &hints, &found);
        if (r != 0) {
            error_ = LookupError(r);
            return;
        }
        CopyAddresses(found, addresses_);
        FreeAddrInfoW(found);
    }
    Status Check() override { return addresses_.empty() ? Status::Failed : Status::Done; }
};

// A lookup that failed before it began.
std::unique_ptr<Resolution> Failure(std::string why) {
    auto failed = std::make_unique<Resolved>(std::vector<Address>{});
    failed->SetError(std::move(why));
    return failed;
}

}  // namespace

std::unique_ptr<Resolution> ResolveName(const std::string& host, int port) {
    std::wstring wide;
    if (!Wide(host, wide)) return Failure({});
    const Api& api = Functions();
    if (!api.usable()) return std::make_unique<Blocking>(wide, port);
    Abandoned<Request>::ForgetDone(Finished, Release);
    auto req = std::make_unique<Request>();
    req->host = std::move(wide);
    req->service = std::to_wstring(port);
    req->hints.ai_family = AF_UNSPEC;
    req->hints.ai_socktype = SOCK_STREAM;
    req->hints.ai_protocol = IPPROTO_TCP;
    req->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (req->overlapped.hEvent == nullptr) return Failure(ErrorText(static_cast<int>(GetLastError())));
    const int r = api.lookup(req->host.c_str(), req->service.c_str(), NS_DNS, nullptr, &req->hints, &req->result,
                             nullptr, &req->overlapped, nullptr, &req->cancel);
    if (r == WSA_IO_PENDING) return std::make_unique<NameResolution>(std::move(req));
    // Answered at once: the answer is in.
    if (r == 0) {
        std::vector<Address> found;
        CopyAddresses(req->result, found);
        Release(*req);
        return std::make_unique<Resolved>(std::move(found));
    }
    Release(*req);
    // A system that has the call but not its overlapped form refuses the
    // form itself; only then is the blocking lookup the way. Any other
    // error is the lookup's own, told from the poll like any failure.
    if (r == WSAEOPNOTSUPP || r == WSAEINVAL) return std::make_unique<Blocking>(req->host, port);
    return Failure(LookupError(r));
}

}  // namespace platform
