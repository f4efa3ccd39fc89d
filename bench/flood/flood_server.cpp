// The benchmark's IRC server: registers its one client at once, waits for
// the client's "BENCHGO", then sends a deterministic corpus of N lines as
// fast as the client takes them, and an end marker. Meanwhile it reads what
// the client sends back and counts the PONGs and CTCP replies. It prints
// its port (loopback, chosen by the kernel) first, and at the end one line
// with what a client must have seen, by the module's rules, and what came
// back:
//   expect raw=... raw_bytes=... chat=... ... pongs=... got_pongs=...
//
//   qv_bench_flood_server [--tls CERT KEY] [--mixed] [--utf8] [--tags] [--churn M] flood N [SEED]   the flood
//   qv_bench_flood_server [--tls CERT KEY] idle             registers the client, then stays silent
//   qv_bench_flood_server [--mixed] [--utf8] [--tags] dump N FILE [SEED]
//       writes the lines the flood would send (welcome, corpus, end marker;
//       LF after each) to FILE for the floor client, then the expect line
//
// With --tls the client speaks TLS (OpenSSL, the certificate given). With
// --mixed one line in ten carries non-ASCII words, half of them UTF-8 and
// half Windows-1252; --utf8 counts what a client must see with UTF-8 on
// (Windows-1252 bytes grow into UTF-8), else every such byte is one byte.
// With --churn M the client is welcomed into #big, a channel of M members,
// and the corpus is that channel's churn instead: joins, parts, quits,
// nick changes and status modes of its members, its size kept.
// With --tags every PRIVMSG line carries the tags a server with
// server-time and account-tag puts there, `@time=...;account=... `, and
// is otherwise the same line; the flood then offers and acknowledges those
// two capabilities and welcomes the client at its CAP END.
// Every wait is bounded; the program ends when the client hangs up or after
// a minute of silence. All socket I/O goes through Link.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kSilenceMs = 60000;
constexpr const char* kServer = "irc.bench.example";

// One accepted client, non-blocking; TLS when `ssl` is set.
struct Link {
    int fd = -1;
    SSL* ssl = nullptr;
    std::string in;  // received, not yet cut into lines

    // Sends what it can of `out` from `*off`; false when the client is gone.
    bool SendSome(const std::string& out, std::size_t* off) {
        if (ssl != nullptr) {
            int n = SSL_write(ssl, out.data() + *off, static_cast<int>(out.size() - *off));
            if (n > 0) *off += static_cast<std::size_t>(n);
            return n > 0 || Retry(n);
        }
        ssize_t n = send(fd, out.data() + *off, out.size() - *off, MSG_NOSIGNAL);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        *off += static_cast<std::size_t>(n);
        return true;
    }
    // Reads what is waiting into `in`; false at end of stream or on error.
    bool RecvSome() {
        char buf[65536];
        if (ssl != nullptr) {
            // Decrypted bytes may wait inside the TLS layer, unseen by poll.
            for (;;) {
                int n = SSL_read(ssl, buf, sizeof buf);
                if (n <= 0) return Retry(n);
                in.append(buf, static_cast<std::size_t>(n));
            }
        }
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n == 0) return false;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        in.append(buf, static_cast<std::size_t>(n));
        return true;
    }
    bool Retry(int n) const {
        int e = SSL_get_error(ssl, n);
        return e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE;
    }
};

// The server side of TLS on an accepted, still blocking socket.
SSL* AcceptTls(int fd, const char* cert, const char* key) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr || SSL_CTX_use_certificate_chain_file(ctx, cert) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) != 1)
        return nullptr;
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    timeval tv{kSilenceMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (SSL_accept(ssl) != 1) return nullptr;
    return ssl;
}

// What a client must see and send back, counted by the module's rules
// for each line the server sends.
struct Expect {
    long raw = 0, raw_bytes = 0, chat = 0, chat_bytes = 0, notice = 0, notice_bytes = 0;
    // Chat events with an account and a time, and the bytes of both.
    long chat_tagged = 0, tag_bytes = 0;
    long nickserv = 0, motd = 0, erroneus = 0, nickinuse = 0, pongs = 0, ctcp = 0;
    long welcome = 0;  // lines before the flood's
    // What came back.
    long got_pongs = 0, got_ctcp = 0;

    // `growth`: how many bytes the line's text gains when a client turns
    // its Windows-1252 words into UTF-8. `line` is without its tags, whose
    // account and time `tag_text` holds.
    void Count(std::string_view line, long growth = 0, long tag_text = 0) {
        ++raw;
        raw_bytes += static_cast<long>(line.size()) + growth;
        if (line.starts_with("PING")) ++pongs;
        std::size_t s1 = line.find(' ');
        std::size_t s2 = s1 == std::string_view::npos ? s1 : line.find(' ', s1 + 1);
        if (s2 == std::string_view::npos) return;  // two tokens or fewer: raw data only
        std::size_t s3 = line.find(' ', s2 + 1);
        std::string_view command = line.substr(s1 + 1, s2 - s1 - 1);
        if (command == "376") ++motd;
        if (command == "432") ++erroneus;
        if (command == "433") ++nickinuse;
        bool privmsg = command == "PRIVMSG", notice_line = command == "NOTICE";
        if (!privmsg && !notice_line) return;
        (void)s3;
        // Nick: the prefix up to '!'; trailing: after the first " :" past
        // the prefix, else the last word.
        std::string_view prefix = line.front() == ':' ? line.substr(0, s1) : std::string_view{};
        std::string_view nick = prefix.empty() ? prefix : prefix.substr(1, prefix.find('!') - 1);
        std::string_view rest = line.substr(prefix.size());
        std::size_t colon = rest.find(" :");
        std::string_view trailing = colon != std::string_view::npos ? rest.substr(colon + 2) : rest.substr(rest.rfind(' ') + 1);
        if (privmsg) {
            ++chat;
            chat_bytes += static_cast<long>(trailing.size()) + growth;
            if (tag_text > 0) ++chat_tagged, tag_bytes += tag_text;
            if (trailing == "\x01VERSION\x01" || trailing == "\x01TIME\x01") ++ctcp;
        } else {
            ++notice;
            notice_bytes += static_cast<long>(trailing.size()) + growth;
            bool ns = nick.size() == 8;
            for (std::size_t i = 0; ns && i < 8; ++i) ns = std::tolower(static_cast<unsigned char>(nick[i])) == "nickserv"[i];
            if (ns) ++nickserv;
        }
    }

    void Print() const {
        std::printf(
            "expect raw=%ld raw_bytes=%ld chat=%ld chat_bytes=%ld notice=%ld notice_bytes=%ld nickserv=%ld motd=%ld "
            "erroneus=%ld nickinuse=%ld chat_tagged=%ld tag_bytes=%ld pongs=%ld ctcp=%ld got_pongs=%ld got_ctcp=%ld "
            "welcome=%ld\n",
            raw, raw_bytes, chat, chat_bytes, notice, notice_bytes, nickserv, motd, erroneus, nickinuse, chat_tagged,
            tag_bytes, pongs, ctcp, got_pongs, got_ctcp, welcome);
    }
};

// xorshift64*: the same corpus for the same seed, on every machine.
struct Rng {
    std::uint64_t s;
    std::uint64_t Next() {
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 0x2545f4914f6cdd1dull;
    }
    unsigned Below(unsigned n) { return static_cast<unsigned>(Next() % n); }
};

const char* const kWords[] = {
    "the", "server", "is", "lagging", "again", "anyone", "seen", "that", "new", "release", "it", "works", "for",
    "me", "on", "my", "machine", "but", "not", "in", "production", "please", "check", "logs", "before", "asking",
    "thanks", "hello", "everyone", "good", "morning", "build", "failed", "tests", "pass", "now", "merged", "patch",
    "review", "later", "tonight", "channel", "topic", "meeting", "at", "noon", "coffee", "break", "brb", "lol",
    "what", "about", "memory", "leak", "fixed", "yesterday", "network", "split", "netsplit", "over", "welcome",
    "back", "bot", "script", "timer", "hook", "event", "message", "notice", "ping", "pong", "latency", "ok",
};
constexpr unsigned kWordCount = sizeof kWords / sizeof kWords[0];

// Non-ASCII words: well-formed UTF-8 (2, 3 and 4 byte characters), and
// Windows-1252 with what each grows by as UTF-8.
const char* const kUtf8Words[] = {"caf\xC3\xA9", "Gr\xC3\xBC\xC3\x9F" "e", "na\xC3\xAFve", "\xE2\x82\xAC" "5",
                                  "\xE6\x97\xA5\xE6\x9C\xAC", "\xF0\x9F\x98\x80", "\xD0\xBF\xD1\x80\xD0\xB8"};
struct Cp1252Word {
    const char* text;
    long growth;
};
const Cp1252Word kCp1252Words[] = {{"caf\xE9", 1}, {"Gr\xFC\xDF" "e", 2}, {"na\xEFve", 1}, {"\x80" "5", 2},
                                   {"\x93ok\x94", 4}, {"d\xE9j\xE0", 2}};
struct Corpus {
    Rng rng;
    long left;
    bool mixed = false;
    bool tagged = false;
    long growth = 0;  // of the last line
    // The last line's tags ("@...;... ", or empty), and the bytes of the
    // account and time they name. They draw nothing from `rng`: with or
    // without them the lines are the same.
    std::string tags = {};
    long tag_text = 0;
    long made = 0;

    // The churn's channel: its size, who is in it, and the next nick never used.
    unsigned churn_members = 0;
    std::vector<unsigned> members = {};
    unsigned fresh = 0;

    std::string Nick(unsigned i) { return "user" + std::to_string(i % 500); }
    static std::string Member(unsigned id) { return "m" + std::to_string(id); }
    static std::string MemberMask(unsigned id) {
        return ":" + Member(id) + "!~u" + std::to_string(id % 1000) + "@host-" + std::to_string(id % 97) + ".isp.example";
    }
    // The welcome's part for the churn: our JOIN, the names, their end.
    std::vector<std::string> BigChannel() {
        std::vector<std::string> out;
        const std::string head = std::string(":") + kServer + " ";
        out.push_back(head + "005 bench PREFIX=(ov)@+ CHANMODES=b,k,l,imnpst CASEMAPPING=rfc1459 CHANTYPES=# :are supported");
        out.push_back(":bench!bench@bench.example JOIN #big");
        for (fresh = 0; fresh < churn_members; ++fresh) members.push_back(fresh);
        std::string names;
        for (unsigned id : members) {
            if (names.size() > 400) {
                out.push_back(head + "353 bench = #big :" + names);
                names.clear();
            }
            if (!names.empty()) names += ' ';
            if (id % 50 == 0) names += '@';
            names += Member(id);
        }
        out.push_back(head + "353 bench = #big :" + names);
        out.push_back(head + "366 bench #big :End of /NAMES list.");
        return out;
    }
    // A churn line: joins as many as parts and quits, so the size stays.
    std::string Churn() {
        const unsigned kind = rng.Below(100);
        if (kind < 35 || members.empty()) {
            members.push_back(fresh++);
            return MemberMask(members.back()) + " JOIN #big";
        }
        const unsigned at = rng.Below(static_cast<unsigned>(members.size()));
        const unsigned id = members[at];
        if (kind < 70) {
            members[at] = members.back();
            members.pop_back();
            return MemberMask(id) + (kind < 60 ? " PART #big :" + Text(5, 30) : " QUIT :Quit: " + Text(5, 30));
        }
        if (kind < 85) {
            members[at] = fresh++;
            return MemberMask(id) + " NICK :" + Member(members[at]);
        }
        static const char* const kModes[] = {"+o", "-o", "+v", "-v"};
        return MemberMask(members[rng.Below(static_cast<unsigned>(members.size()))]) + " MODE #big " +
               kModes[rng.Below(4)] + " " + Member(id);
    }
    std::string Who(unsigned i) { return ":" + Nick(i) + "!~u" + std::to_string(i % 500) + "@host-" + std::to_string(i % 97) + ".isp.example"; }
    std::string Channel() { return "#chan" + std::to_string(rng.Below(24)); }
    // A text of words; with `wide`, about one word in four is non-ASCII.
    std::string Text(unsigned min, unsigned spread, bool wide = false) {
        std::string t;
        unsigned want = min + rng.Below(spread);
        while (t.size() < want) {
            if (!t.empty()) t += ' ';
            if (wide && rng.Below(4) == 0) {
                if (rng.Below(2) == 0) {
                    t += kUtf8Words[rng.Below(sizeof kUtf8Words / sizeof kUtf8Words[0])];
                } else {
                    const Cp1252Word& w = kCp1252Words[rng.Below(sizeof kCp1252Words / sizeof kCp1252Words[0])];
                    t += w.text;
                    growth += w.growth;
                }
            } else {
                t += kWords[rng.Below(kWordCount)];
            }
        }
        return t;
    }
    // A line's time (a millisecond apart each) and its sender's account.
    void Tag(const std::string& account) {
        const long ms = made % 86400000;
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "2026-12-09T%02ld:%02ld:%02ld.%03ldZ", ms / 3600000, ms / 60000 % 60,
                      ms / 1000 % 60, ms % 1000);
        tags = std::string("@time=") + stamp + ";account=" + account + " ";
        tag_text = static_cast<long>(std::strlen(stamp) + account.size());
    }
    // Whether the next line's text has non-ASCII words: one text line in
    // eight, and 80% of lines have text, so one line in ten.
    bool Wide() { return mixed && rng.Below(8) == 0; }

    // The next line without CR LF. Shares (percent): 70 PRIVMSG, 10 NOTICE
    // (a third from NickServ), 10 JOIN/PART/QUIT/MODE, 5 numerics, 5 PING.
    std::string Line() {
        growth = 0;
        tags.clear();
        tag_text = 0;
        ++made;
        if (churn_members > 0) return Churn();
        unsigned who = rng.Below(100000);
        unsigned kind = rng.Below(1000);
        if (kind < 700) {
            std::string target = rng.Below(10) == 0 ? "bench" : Channel();
            std::string text;
            unsigned special = rng.Below(5000);
            if (special == 0)
                text = "\x01VERSION\x01";
            else if (special == 1)
                text = "\x01TIME\x01";
            else
                text = Text(28, 110, Wide());
            if (tagged) Tag(Nick(who));
            return Who(who) + " PRIVMSG " + target + " :" + text;
        }
        if (kind < 800) {
            unsigned from = rng.Below(3);
            const bool wide = Wide();
            if (from == 0) return ":NickServ!NickServ@services.bench.example NOTICE bench :" + Text(20, 90, wide);
            if (from == 1) return std::string(":") + kServer + " NOTICE bench :*** " + Text(20, 60, wide);
            return Who(who) + " NOTICE " + Channel() + " :" + Text(20, 90, wide);
        }
        if (kind < 900) {
            switch (rng.Below(4)) {
                case 0: return Who(who) + " JOIN " + Channel();
                case 1: return Who(who) + " PART " + Channel() + " :" + Text(5, 30);
                case 2: return Who(who) + " QUIT :Quit: " + Text(5, 30);
                default: return Who(who) + " MODE " + Channel() + " +o " + Nick(who + 1);
            }
        }
        if (kind < 950) {
            std::string head = std::string(":") + kServer + " ";
            switch (rng.Below(6)) {
                case 0: return head + "372 bench :- " + Text(40, 60);
                case 1: return head + "376 bench :End of /MOTD command.";
                case 2: return head + "433 * " + Nick(who) + " :Nickname is already in use";
                case 3: return head + "432 * bad#nick :Erroneous Nickname";
                case 4: return head + "332 bench " + Channel() + " :" + Text(30, 60);
                default: {
                    std::string names = head + "353 bench = " + Channel() + " :";
                    for (int i = 0; i < 12; ++i) names += (i ? " " : "") + Nick(who + static_cast<unsigned>(i));
                    return names;
                }
            }
        }
        return std::string("PING :") + kServer;
    }
};

// Cuts complete lines off `link.in` and counts what came back. With
// `caps`, the capabilities whose tags the corpus carries are offered and
// acknowledged (a client fills account and time only then), the answers
// put in `out`, and `*negotiated` set at the client's CAP END.
void TakeReplies(Link& link, Expect& e, bool* go, bool caps, std::string* out, bool* negotiated) {
    std::size_t at;
    while ((at = link.in.find("\r\n")) != std::string::npos) {
        std::string_view line(link.in.data(), at);
        if (line.starts_with("PONG")) ++e.got_pongs;
        if (line.starts_with("NOTICE ") && line.find('\x01') != std::string_view::npos) ++e.got_ctcp;
        if (line == "BENCHGO") *go = true;
        if (caps && line.starts_with("CAP LS")) *out += std::string(":") + kServer + " CAP * LS :server-time account-tag\r\n";
        if (caps && line.starts_with("CAP REQ :"))
            *out += std::string(":") + kServer + " CAP bench ACK :" + std::string(line.substr(9)) + "\r\n";
        if (line == "CAP END") *negotiated = true;
        link.in.erase(0, at + 2);
    }
}

// The flood's lines as the floor client reads them; the same welcome, corpus
// and end marker, so the same expect line.
int Dump(const char* path, Corpus corpus, bool utf8) {
    std::FILE* f = std::fopen(path, "w");
    if (f == nullptr) {
        std::perror(path);
        return 1;
    }
    Expect expect;
    auto add = [&](const std::string& line, long growth = 0, const std::string& tags = {}, long tag_text = 0) {
        expect.Count(line, utf8 ? growth : 0, tag_text);
        std::fprintf(f, "%s%s\n", tags.c_str(), line.c_str());
    };
    add(std::string(":") + kServer + " 001 bench :Welcome to the benchmark");
    add(std::string(":") + kServer + " 376 bench :End of /MOTD command.");
    expect.welcome = expect.raw;
    for (; corpus.left > 0; --corpus.left) {
        const std::string line = corpus.Line();
        add(line, corpus.growth, corpus.tags, corpus.tag_text);
    }
    add(":bench.end!end@bench.example PRIVMSG bench :end");
    if (std::fclose(f) != 0) return 1;
    expect.Print();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* program = argv[0];
    const char *cert = nullptr, *key = nullptr;
    bool mixed = false, utf8 = false, tagged = false;
    unsigned churn = 0;
    for (;;) {
        if (argc > 3 && std::strcmp(argv[1], "--tls") == 0) {
            cert = argv[2];
            key = argv[3];
            argv += 3;
            argc -= 3;
        } else if (argc > 1 && std::strcmp(argv[1], "--mixed") == 0) {
            mixed = true;
            ++argv, --argc;
        } else if (argc > 1 && std::strcmp(argv[1], "--utf8") == 0) {
            utf8 = true;
            ++argv, --argc;
        } else if (argc > 1 && std::strcmp(argv[1], "--tags") == 0) {
            tagged = true;
            ++argv, --argc;
        } else if (argc > 2 && std::strcmp(argv[1], "--churn") == 0) {
            churn = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
            argv += 2;
            argc -= 2;
        } else {
            break;
        }
    }
    bool flood = argc > 1 && std::strcmp(argv[1], "flood") == 0;
    bool dump = argc > 3 && std::strcmp(argv[1], "dump") == 0;
    if (argc < 2 || (flood && argc < 3) || (!flood && !dump && std::strcmp(argv[1], "idle") != 0)) {
        std::fprintf(stderr, "usage: %s [--tls CERT KEY] [--mixed] [--utf8] [--tags] [--churn M] flood N [SEED] | idle | dump N FILE [SEED]\n",
                     program);
        return 2;
    }
    long count = flood || dump ? std::strtol(argv[2], nullptr, 10) : 0;
    const int seed_at = dump ? 4 : 3;
    std::uint64_t seed = argc > seed_at ? std::strtoull(argv[seed_at], nullptr, 10) : 20240611;
    if (dump) return Dump(argv[3], Corpus{Rng{seed | 1}, count, mixed, tagged}, utf8);

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
    if (poll(&p, 1, kSilenceMs) <= 0) return 1;
    Link link;
    link.fd = accept(listener, nullptr, nullptr);
    if (link.fd < 0) return 1;
    if (cert != nullptr && (link.ssl = AcceptTls(link.fd, cert, key)) == nullptr) {
        std::fprintf(stderr, "flood server: TLS handshake failed\n");
        return 1;
    }
    fcntl(link.fd, F_SETFL, fcntl(link.fd, F_GETFL) | O_NONBLOCK);

    Expect expect;
    Corpus corpus{Rng{seed | 1}, count};
    corpus.mixed = mixed;
    corpus.tagged = tagged;
    corpus.churn_members = churn;
    std::string out;
    std::size_t off = 0;
    auto add = [&](const std::string& line, long growth = 0, const std::string& tags = {}, long tag_text = 0) {
        expect.Count(line, utf8 ? growth : 0, tag_text);
        out += tags;
        out += line;
        out += "\r\n";
    };
    // A tagged corpus waits for the capabilities to be negotiated.
    bool negotiated = !tagged, welcomed = false;
    auto welcome = [&] {
        add(std::string(":") + kServer + " 001 bench :Welcome to the benchmark");
        if (churn > 0)
            for (const std::string& line : corpus.BigChannel()) add(line);
        add(std::string(":") + kServer + " 376 bench :End of /MOTD command.");
        expect.welcome = expect.raw;
        welcomed = true;
    };
    if (negotiated) welcome();

    bool go = false, ended = false, open = true;
    while (open) {
        if (off == out.size()) {
            out.clear();
            off = 0;
            if (go && !ended) {
                while (corpus.left > 0 && out.size() < (1 << 16)) {
                    const std::string line = corpus.Line();
                    add(line, corpus.growth, corpus.tags, corpus.tag_text);
                    --corpus.left;
                }
                if (corpus.left == 0) {
                    add(":bench.end!end@bench.example PRIVMSG bench :end");
                    ended = true;
                }
            }
        }
        pollfd q{link.fd, static_cast<short>(POLLIN | (off < out.size() ? POLLOUT : 0)), 0};
        int r = poll(&q, 1, kSilenceMs);
        if (r <= 0) break;
        if ((q.revents & POLLOUT) && !link.SendSome(out, &off)) break;
        if (q.revents & (POLLIN | POLLHUP | POLLERR)) {
            open = link.RecvSome();
            TakeReplies(link, expect, &go, tagged, &out, &negotiated);
            if (negotiated && !welcomed) welcome();
        }
        if (!flood) go = false;
    }
    close(link.fd);
    close(listener);
    if (flood) expect.Print();
    return 0;
}
