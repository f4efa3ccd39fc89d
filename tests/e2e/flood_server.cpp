// A one-shot IRC "server" that floods its one client: registers it at once,
// then sends N channel messages and a final "done" message as fast as the
// socket takes them. Prints its port (loopback, chosen by the kernel) on
// stdout. Every wait is bounded; the program ends when the client hangs
// up or after a minute of silence.
//   qv_flood_server N
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool SendAll(int fd, const std::string& s) {
    std::size_t off = 0;
    while (off < s.size()) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 60000) <= 0) return false;
        ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return false;
        off += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::perror("flood server");
        return 1;
    }
    std::printf("%d\n", ntohs(addr.sin_port));
    std::fflush(stdout);

    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 60000) <= 0) return 1;
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) return 1;

    std::string out = ":flood 001 qv :welcome\r\n:flood 376 qv :End of MOTD\r\n";
    for (long i = 0; i < count; ++i) {
        out += ":alice!a@flood PRIVMSG #flood :line " + std::to_string(i) + "\r\n";
        if (out.size() > (1 << 16)) {
            if (!SendAll(fd, out)) return 1;
            out.clear();
        }
    }
    out += ":alice!a@flood PRIVMSG #flood :done\r\n";
    if (!SendAll(fd, out)) return 1;

    char buf[4096];
    for (;;) {
        pollfd r{fd, POLLIN, 0};
        if (poll(&r, 1, 60000) <= 0) break;
        if (recv(fd, buf, sizeof buf, 0) <= 0) break;
    }
    close(fd);
    close(listener);
    return 0;
}
