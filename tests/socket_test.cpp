// The platform's TCP layer on its own: bounded connects, end of stream.
#include <gtest/gtest.h>

#include <chrono>

#include "loopback.h"
#include "platform/socket.h"


TEST(Socket, ConnectGivesUpAtItsDeadline) {
    SilentListener silent;
    platform::SocketHandle sock = platform::TcpSocket();
    auto start = std::chrono::steady_clock::now();
    platform::ConnectResult r = platform::TcpConnect(sock, "127.0.0.1", silent.port(), 300);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "Timed out after 1 s");
    EXPECT_EQ(sock, platform::kNoSocket);
    // Generous: only a connect that waits for the kernel's own minutes fails.
    EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(Socket, FailedConnectsSayWhyInPlainWords) {
    int closed_port = 0;
    {
        LoopbackServer gone;
        closed_port = gone.port();
    }
    auto error = [](const char* host, int port) {
        platform::SocketHandle sock = platform::TcpSocket();
        platform::ConnectResult r = platform::TcpConnect(sock, host, port, 1000);
        EXPECT_EQ(sock, platform::kNoSocket);
        return r.ok ? std::string("connected") : r.error;
    };
    EXPECT_EQ(error("127.0.0.1", closed_port), "Connection refused");
    EXPECT_EQ(error("no-such-host.invalid", 6667), "Name not resolved");
    EXPECT_EQ(error("127.0.0.1", 70000), "Port out of range");
    EXPECT_EQ(error("127.0.0.1", -1), "Port out of range");
    EXPECT_EQ(error(nullptr, 1), "Name not resolved");
}

TEST(Socket, ReadsTellAQuietPeerFromOneThatLeft) {
    LoopbackServer server;
    platform::SocketHandle sock = platform::TcpSocket();
    ASSERT_TRUE(platform::TcpConnect(sock, "localhost", server.port(), 2000).ok);
    ASSERT_TRUE(server.Accept());
    char buf[8];
    EXPECT_EQ(platform::TcpRead(sock, buf).status, platform::IoStatus::WouldBlock);

    server.Write("abc");
    ASSERT_TRUE(platform::TcpWaitReadable(sock, 2000));
    platform::IoResult r = platform::TcpRead(sock, buf);
    EXPECT_EQ(r.status, platform::IoStatus::Ok);
    EXPECT_EQ(r.bytes, 3u);

    server.CloseClient();
    ASSERT_TRUE(platform::TcpWaitReadable(sock, 2000));
    EXPECT_EQ(platform::TcpRead(sock, buf).status, platform::IoStatus::EndOfStream);
    platform::TcpClose(sock);
}
