// Socket watches on POSIX: the process's message loop polls the descriptor.
#include "platform/loop.h"
#include "platform/socket_watch.h"

namespace platform {
namespace {

void Ready(void* context) {
    // The loop is handed the socket itself: a watch stopped and another
    // started between the poll and this call is looked up anew.
    SocketWatch::Wake(static_cast<SocketHandle>(reinterpret_cast<std::uintptr_t>(context)));
}

}  // namespace

void SocketWatch::Follow(SocketInterest interest, WakeCallback callback) {
    if (interest == watched_ && callback == callback_ && id_ != 0) return;
    Stop();
    if (interest.sock == kNoSocket || callback == nullptr) return;
    const int fd = static_cast<int>(interest.sock);
    id_ = qv_loop_watch_fd(fd, interest.write ? 1 : 0, Ready,
                           reinterpret_cast<void*>(static_cast<std::uintptr_t>(interest.sock)));
    if (id_ == 0) return;
    watched_ = interest;
    callback_ = callback;
    Link();
}

void SocketWatch::Stop() {
    if (id_ == 0) return;
    qv_loop_unwatch_fd(static_cast<unsigned>(id_));
    id_ = 0;
    watched_ = {};
    callback_ = nullptr;
    Unlink();
}

}  // namespace platform
