// Waking the poll when the link's socket has something for it: bytes to
// read, the end, or room to write while bytes wait or a connect is under
// way. The callback runs on the thread that asked, from the message loop
// it pumps, as the poll's timer does.
#ifndef QV_PLATFORM_SOCKET_WATCH_H
#define QV_PLATFORM_SOCKET_WATCH_H

#include <cstdint>

#include "platform/socket.h"

namespace platform {

using WakeCallback = void (*)();

// What a link waits for on its socket: nothing (no socket), bytes to read,
// and with `write` room to write.
struct SocketInterest {
    SocketHandle sock = kNoSocket;
    bool write = false;
    bool operator==(const SocketInterest&) const = default;
};

// Watches one socket at a time. Stops when destroyed, and whenever the
// socket it watches is closed (TcpClose), so no wake names a closed socket
// or reaches code that has gone.
class SocketWatch {
public:
    constexpr SocketWatch() = default;
    ~SocketWatch() { Stop(); }
    SocketWatch(const SocketWatch&) = delete;
    SocketWatch& operator=(const SocketWatch&) = delete;

    // Watches `interest` for `callback`, in place of what was watched; a
    // watch asked for again as it is stays as it is.
    void Follow(SocketInterest interest, WakeCallback callback);
    void Stop();
    const SocketInterest& Watched() const { return watched_; }

    // Runs the callback of the watch on `sock`, if any (the platform's
    // dispatch, not for callers).
    static void Wake(SocketHandle sock);
    // Stops the watch on `sock`, if any; TcpClose calls it before closing.
    static void Forget(SocketHandle sock);

private:
    void Link();
    void Unlink();

    SocketInterest watched_;
    WakeCallback callback_ = nullptr;
    std::uintptr_t id_ = 0;  // the platform's handle on the watch
    SocketWatch* next_ = nullptr;
};

}  // namespace platform

#endif
