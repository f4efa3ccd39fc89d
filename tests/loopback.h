// A loopback TCP peer for the tests: listens on 127.0.0.1 (or ::1) at a port the
// kernel picks, accepts one client, reads back what the module sent.
#ifndef QV_TESTS_LOOPBACK_H
#define QV_TESTS_LOOPBACK_H

#include <string>
#include <string_view>
#include <utility>
#include <vector>

class LoopbackServer {
public:
    // A small `receive_buffer` makes a peer that stops reading fill up soon;
    // `ipv6` listens on ::1 instead.
    explicit LoopbackServer(int receive_buffer = 0, bool ipv6 = false);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    bool Accept(int timeout_ms = 5000);
    void Write(std::string_view bytes);
    // Everything received until `needle` has arrived at or after offset
    // `from` (or the wait ran out), appended to received().
    const std::string& ReadUntil(std::string_view needle, int timeout_ms = 5000, std::size_t from = 0);
    // What arrives within `wait_ms`.
    const std::string& ReadFor(int wait_ms);
    // Reads until the client's side ends; gives 0 for an orderly end (FIN),
    // the error of the read that failed (ECONNRESET for a reset), or -1 if
    // the wait ran out first.
    int ReadToEnd(int timeout_ms = 5000);
    const std::string& received() const { return received_; }
    // Hands over what was received so far and forgets it.
    std::string TakeReceived() { return std::exchange(received_, {}); }
    void CloseClient();
    // Shuts our sending side only (a half-close): the client reads the
    // end, and what it still sends arrives.
    void ShutWrite();
    // Ends the link with a reset instead of an orderly close.
    void ResetClient();
    // Stops listening, so nothing can connect to port() any more.
    void CloseListener();

private:
    bool ReadOnce(int wait_ms);
    int listen_fd_ = -1;
    int client_fd_ = -1;
    int port_ = 0;
    std::string received_;
};

// A port on 127.0.0.1 that refuses every connect: bound, never listening,
// so no other process of the run (a server another test starts) can take
// it while it is in use.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A listener that never accepts, its queue full: further connects get no
// answer at all, as from a host that drops packets. On 127.0.0.1 or ::1,
// at `port` (0: one the kernel picks).
class SilentListener {
public:
    explicit SilentListener(bool ipv6 = false, int port = 0);
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

#endif
