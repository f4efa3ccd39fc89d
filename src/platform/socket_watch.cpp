// The watches' bookkeeping, alike on every platform: which watch a socket
// has, so a close or a wake finds it.
#include "platform/socket_watch.h"

namespace platform {
namespace {

// The live watches, in a list through themselves: a plain pointer, so
// nothing of it is destroyed at exit before the watches are.
SocketWatch* live = nullptr;

}  // namespace

void SocketWatch::Link() {
    next_ = live;
    live = this;
}

void SocketWatch::Unlink() {
    for (SocketWatch** p = &live; *p != nullptr; p = &(*p)->next_) {
        if (*p != this) continue;
        *p = next_;
        break;
    }
    next_ = nullptr;
}

void SocketWatch::Wake(SocketHandle sock) {
    for (SocketWatch* w = live; w != nullptr; w = w->next_)
        if (w->watched_.sock == sock && w->callback_ != nullptr) return w->callback_();
}

void SocketWatch::Forget(SocketHandle sock) {
    if (sock == kNoSocket) return;
    for (SocketWatch* w = live; w != nullptr; w = w->next_) {
        if (w->watched_.sock != sock) continue;
        w->Stop();
        return;
    }
}

}  // namespace platform
