// The platform's TCP layer on its own: bounded connects, end of stream.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "loopback.h"
#include "platform/socket.h"

namespace {

// A listener that never accepts, with its queue filled: further connects get
// no answer at all, as from a host that drops packets.
class SilentListener {
public:
    SilentListener() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(fd_, 0);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        // Fill the accept queue; the connects that no longer fit are left
        // pending without blocking this thread.
        for (int i = 0; i < 8; ++i) {
            int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            fillers_.push_back(c);
        }
    }
    ~SilentListener() {
        for (int c : fillers_) close(c);
        close(fd_);
    }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::vector<int> fillers_;
};

}  // namespace

TEST(Socket, ConnectGivesUpAtItsDeadline) {
    SilentListener silent;
    platform::SocketHandle sock = platform::TcpSocket();
    auto start = std::chrono::steady_clock::now();
    bool ok = platform::TcpConnect(sock, "127.0.0.1", silent.port(), 300);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(ok);
    EXPECT_EQ(sock, platform::kNoSocket);
    // Generous: only a connect that waits for the kernel's own minutes fails.
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(Socket, UnresolvableNamesAndBadPortsFailCleanly) {
    platform::SocketHandle sock = platform::TcpSocket();
    EXPECT_FALSE(platform::TcpConnect(sock, "no-such-host.invalid", 6667, 1000));
    platform::SocketHandle other = platform::TcpSocket();
    EXPECT_FALSE(platform::TcpConnect(other, "127.0.0.1", 70000, 1000));
    EXPECT_FALSE(platform::TcpConnect(other, "127.0.0.1", -1, 1000));
    EXPECT_FALSE(platform::TcpConnect(other, nullptr, 1, 1000));
    platform::TcpClose(sock);
    platform::TcpClose(other);
}

TEST(Socket, BytesWaitingTellsAQuietPeerFromOneThatLeft) {
    LoopbackServer server;
    platform::SocketHandle sock = platform::TcpSocket();
    ASSERT_TRUE(platform::TcpConnect(sock, "localhost", server.port(), 2000));
    ASSERT_TRUE(server.Accept());
    auto quiet = platform::TcpBytesWaiting(sock);
    EXPECT_EQ(quiet.status, platform::IoStatus::Ok);
    EXPECT_EQ(quiet.bytes, 0u);

    server.Write("abc");
    platform::IoResult r{};
    for (int i = 0; i < 200 && (r = platform::TcpBytesWaiting(sock)).bytes == 0; ++i) usleep(5000);
    EXPECT_EQ(r.bytes, 3u);
    char buf[8];
    EXPECT_EQ(platform::TcpReceive(sock, buf).bytes, 3u);

    server.CloseClient();
    for (int i = 0; i < 200 && (r = platform::TcpBytesWaiting(sock)).status == platform::IoStatus::Ok; ++i)
        usleep(5000);
    EXPECT_EQ(r.status, platform::IoStatus::EndOfStream);
    platform::TcpClose(sock);
}
