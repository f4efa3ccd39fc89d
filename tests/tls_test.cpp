// TLS links against a scripted Python peer with certificates made for the
// run: verified and unverified handshakes, refused certificates, broken
// handshakes, records that cut a line, close_notify, a lost TLS link, the
// server's name checked and sent when the link is made by name, client
// certificates and the files they come from, a peer that stops reading.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cctype>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "module/globals.h"
#include "module_fixture.h"
#include "net/connection.h"
#include "platform/cert_file.h"
#include "platform/secret.h"
#include "platform/stream.h"
#include "platform/tls_alert.h"
#include "platform/trusted_roots_openssl.h"
#include "poll/poll.h"
#include "protocol/sts.h"
#include "protocol/sts_file.h"

extern char** environ;

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using Results = std::vector<std::string>;

namespace {

// While a test watches for a text, every block freed through operator
// delete is searched for it: a copy of a secret freed without a clear
// shows there. One block (the caller's own copy) is passed over.
struct FreedBlocks {
    static inline std::atomic<const std::string*> watched{nullptr};
    static inline std::atomic<const void*> host_copy{nullptr};
    static inline std::atomic<int> holding{0};
};

}  // namespace

// Allocation is replaced with it, so that both sides are malloc's (as the
// sanitizers insist).
void* operator new(std::size_t n) {
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
static void Free(void* p) noexcept {
    const std::string* text = FreedBlocks::watched.load();
    if (p != nullptr && text != nullptr && p != FreedBlocks::host_copy.load() &&
        memmem(p, malloc_usable_size(p), text->data(), text->size()) != nullptr)
        ++FreedBlocks::holding;
    std::free(p);
}
void operator delete(void* p) noexcept { Free(p); }
void operator delete(void* p, std::size_t) noexcept { Free(p); }

namespace {

std::string cert_dir;

// tests/tls/tls_server.py in one of its modes, stopped when this goes.
class TlsPeer {
public:
    // `options`: tls_server.py's, with "CA:" + name for the file name.pem.
    TlsPeer(const std::string& mode, const std::string& cert, std::vector<std::string> options = {}) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        const std::string script = QV_SOURCE_DIR "/tests/tls/tls_server.py";
        const std::string crt = cert_dir + "/" + cert + ".pem", key = cert_dir + "/" + cert + ".key";
        std::vector<const char*> argv = {"python3", script.c_str(), mode.c_str(), crt.c_str(), key.c_str()};
        for (std::string& o : options) {
            if (o.starts_with("CA:")) o = cert_dir + "/" + o.substr(3) + ".pem";
            argv.push_back(o.c_str());
        }
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, "python3", &actions, nullptr, const_cast<char**>(argv.data()), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fdopen(fds[0], "r");
        const std::string first = NextLine();
        if (first.starts_with("PORT ")) port_ = std::atoi(first.c_str() + 5);
    }
    ~TlsPeer() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ != nullptr) std::fclose(out_);
    }
    TlsPeer(const TlsPeer&) = delete;
    TlsPeer& operator=(const TlsPeer&) = delete;

    int port() const { return port_; }
    // Whether a report has come (or comes within `wait_ms`), to read
    // without blocking; only before the first read after one.
    bool Reported(int wait_ms) const {
        pollfd p{out_ != nullptr ? fileno(out_) : -1, POLLIN, 0};
        return poll(&p, 1, wait_ms) > 0;
    }
    // The peer's next report; blocks until it comes (the peer is bounded).
    std::string NextLine() {
        char buf[4096];
        if (out_ == nullptr || std::fgets(buf, sizeof buf, out_) == nullptr) return "<end>";
        std::string line(buf);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        return line;
    }
    // Reports up to and including the first that starts with `prefix`.
    std::vector<std::string> LinesUntil(std::string_view prefix) {
        std::vector<std::string> seen;
        for (std::string l; (l = NextLine()) != "<end>";) {
            seen.push_back(l);
            if (l.starts_with(prefix)) break;
        }
        return seen;
    }

private:
    pid_t pid_ = -1;
    FILE* out_ = nullptr;
    int port_ = 0;
};

class Tls : public ModuleTest {
protected:
    static void SetUpTestSuite() {
        char dir[] = "/tmp/quorvane-tls-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        cert_dir = dir;
        const std::string make = "bash " QV_SOURCE_DIR "/tests/tls/make_certs.sh " + cert_dir;
        ASSERT_EQ(std::system(make.c_str()), 0);
        // OpenSSL's system roots, as a test may set them: the test CA only.
        setenv("SSL_CERT_FILE", (cert_dir + "/ca.pem").c_str(), 1);
        setenv("SSL_CERT_DIR", cert_dir.c_str(), 1);
    }
    static void TearDownTestSuite() { std::system(("rm -rf " + cert_dir).c_str()); }

    Results Connect(int port, std::vector<Arg> tls, const std::string& server = "127.0.0.1") {
        std::vector<Arg> args{server, port, std::string("bot"), std::string("u"), std::string("Real Name")};
        args.insert(args.end(), tls.begin(), tls.end());
        return host.CallIrc("Connect", args);
    }
    // A connect that must fail: it returns at once and the reason arrives
    // from the poll, once, as IRC_Disconnected.
    std::string Failure(int port, std::vector<Arg> tls, const std::string& server = "127.0.0.1") {
        EXPECT_THAT(Connect(port, std::move(tls), server), IsEmpty());
        if (!PumpUntil([&] { return !host.hook_calls.empty(); }, 15000)) return "<no event>";
        PumpFor(50);
        EXPECT_EQ(host.hook_calls.size(), 1u);
        EXPECT_FALSE(Globals::client->IsConnected());
        const HookCall call = host.hook_calls.front();
        EXPECT_EQ(host.console, "[quorvane] !! " + call.args[2].value_or("") + "\n");
        host.ClearRecords();
        return call.args[0] == "IRC_Disconnected" ? call.args[2].value_or("") : "<" + *call.args[0] + ">";
    }
    bool Connected() {
        return PumpUntil([] { return Globals::client->IsConnected(); });
    }
    // irc.SetClientCert with the test file `name` (and a password): its result.
    Results SetClientCert(const std::string& name, const std::string& password = "") {
        return host.CallIrc("SetClientCert", {name.starts_with("/") ? name : cert_dir + "/" + name, password});
    }
    // What `openssl x509 -noout -fingerprint -sha256` prints after "=" for
    // the test certificate `name`: the form a user pins.
    static std::string OpensslFingerprint(const std::string& name) {
        const std::string command = "openssl x509 -noout -fingerprint -sha256 -in " + cert_dir + "/" + name + ".pem";
        FILE* out = popen(command.c_str(), "r");
        char line[256] = {};
        const bool read = out != nullptr && std::fgets(line, sizeof line, out) != nullptr;
        if (out != nullptr) pclose(out);
        std::string text = read ? line : "";
        text = text.substr(text.find('=') + 1);
        while (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }
    std::vector<std::string> RawLines() const {
        std::vector<std::string> lines;
        for (const HookCall& c : host.hook_calls)
            if (c.args[0] == "IRC_RawData") lines.push_back(c.args[2].value_or(""));
        return lines;
    }
};

}  // namespace

TEST_F(Tls, AVerifiedLinkRegistersChatsAndClosesWithCloseNotify) {
    TlsPeer peer("irc", "server");
    Globals::bDebug = false;
    ASSERT_THAT(Connect(peer.port(), {true}), IsEmpty());
    // A handshake step and a read work with keys: noted, so that the next
    // event wipes the registers first.
    platform::WipeRegisters();
    Globals::client->Advance();
    EXPECT_TRUE(platform::registers_noted) << "handshake";
    ASSERT_TRUE(Connected());
    platform::WipeRegisters();
    Globals::client->ReadMore();
    EXPECT_TRUE(platform::registers_noted) << "read";
    EXPECT_EQ(peer.NextLine(), "HANDSHAKE OK");
    EXPECT_THAT(peer.LinesUntil("GOT USER"), ElementsAre("GOT CAP LS 302", "GOT PASS pvrkqo618", "GOT NICK bot",
                                                         "GOT USER u u u :Real Name"));
    ASSERT_TRUE(PumpUntil([&] { return RawLines().size() >= 3; }));
    EXPECT_THAT(RawLines(), ElementsAre(":srv 376 bot :End of MOTD", "PING :tls", ":alice!a@h PRIVMSG #c :hello over tls"));
    EXPECT_EQ(peer.NextLine(), "GOT PONG :tls");
    host.CallIrc("SendMessage", {std::string("#c"), std::string("hi")});
    host.CallIrc("Close");
    EXPECT_THAT(peer.LinesUntil("CLOSE_NOTIFY"),
                ElementsAre("GOT CAP END", "GOT PRIVMSG #c :hi", "GOT QUIT :Leaving", "CLOSE_NOTIFY"));
    PumpFor(200);
    EXPECT_THAT(host.EventNames(), ::testing::Not(::testing::Contains("IRC_Disconnected")));
}

TEST_F(Tls, ASelfSignedCertificateIsRefusedUnlessInsecureIsAsked) {
    {
        TlsPeer peer("irc", "self");
        EXPECT_EQ(Failure(peer.port(), {true}), "Connect failed: certificate not trusted");
    }
    // Once up, the console names the certificate taken, as openssl does, so
    // that it can be pinned.
    TlsPeer peer("irc", "self");
    host.console.clear();
    EXPECT_THAT(Connect(peer.port(), {std::string("insecure")}), IsEmpty());
    EXPECT_EQ(host.console, "");
    ASSERT_TRUE(Connected());
    EXPECT_EQ(peer.NextLine(), "HANDSHAKE OK");
    EXPECT_EQ(host.console, "[quorvane] !! TLS without a certificate check: the link to 127.0.0.1 is not verified; "
                            "the server's certificate has the SHA-256 fingerprint " +
                                OpensslFingerprint("self") + " (irc.Connect takes it in place of \"insecure\" to pin it)\n");
}

// A pinned link takes the one certificate whose fingerprint it was given, in
// openssl's form or bare in any case, whoever signed it and whatever name it
// bears (the name still goes in the hello). Any other, a server's whose
// certificate changed since the pin was set among them, ends the handshake
// before our side of it is done, so nothing of ours reaches it, not one
// line; the reason names what it showed.
TEST_F(Tls, APinnedLinkTakesThatCertificateAndNoOther) {
    const std::string self = OpensslFingerprint("self"), server = OpensslFingerprint("server");
    ASSERT_EQ(self.size(), 95u);
    std::string bare;
    for (const char c : self) bare += c == ':' ? "" : std::string(1, static_cast<char>(std::tolower(c)));
    std::string near = self;
    near.back() = near.back() == '0' ? '1' : '0';
    // The console must stay empty: the echo of the peer's first lines would
    // fill it whenever they come before the check.
    Globals::bDebug = false;
    struct Row {
        const char* cert;
        const char* mode;
        std::string pin;
        const char* name;
        std::string shown;  // empty: the link comes up
        bool tls12;
    };
    const Row rows[] = {
        {"self", "irc", self, "127.0.0.1", "", false},
        {"self", "irc", bare, "127.0.0.1", "", true},
        {"other", "sni", OpensslFingerprint("other"), "localhost", "", false},
        {"server", "irc", self, "127.0.0.1", server, false},
        {"server", "irc", self, "localhost", server, true},
        {"self", "irc", server, "127.0.0.1", self, false},
        {"self", "irc", near, "127.0.0.1", self, false},  // all but the last digit
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.cert) + " pinned to " + r.pin + " by " + r.name + (r.tls12 ? ", TLS 1.2" : ""));
        TlsPeer peer(r.mode, r.cert, r.tls12 ? std::vector<std::string>{"--tls12"} : std::vector<std::string>{});
        if (!r.shown.empty()) {
            EXPECT_EQ(Failure(peer.port(), {r.pin}, r.name),
                      "Connect failed: certificate fingerprint mismatch (the server's: " + r.shown + ")");
            EXPECT_THAT(peer.LinesUntil("GOT "), ElementsAre(StartsWith("HANDSHAKE FAILED")));
            continue;
        }
        ASSERT_THAT(Connect(peer.port(), {r.pin}, r.name), IsEmpty());
        ASSERT_TRUE(Connected());
        EXPECT_EQ(host.console, "");  // no warning: the link is verified by its pin
        EXPECT_EQ(peer.NextLine(), "HANDSHAKE OK");
        if (std::string_view(r.mode) == "sni")
            EXPECT_EQ(peer.NextLine(), "SNI localhost");
        else
            EXPECT_THAT(peer.LinesUntil("GOT USER"), ElementsAre("GOT CAP LS 302", "GOT PASS pvrkqo618", "GOT NICK bot",
                                                                 "GOT USER u u u :Real Name"));
        host.CallIrc("Close");
        host.ClearRecords();
    }
}

TEST_F(Tls, ACertificateForAnotherNameIsRefused) {
    {
        TlsPeer peer("irc", "other");
        EXPECT_EQ(Failure(peer.port(), {true}), "Connect failed: certificate name mismatch");
    }
    // A name is checked as well as an address: a certificate the trusted CA
    // signed for other.example does not vouch for localhost.
    TlsPeer peer("irc", "other");
    EXPECT_EQ(Failure(peer.port(), {true}, "localhost"), "Connect failed: certificate name mismatch");
}

TEST_F(Tls, TheServerNameGoesInTheHelloForANameNotForAnAddress) {
    {
        TlsPeer peer("sni", "server");
        ASSERT_THAT(Connect(peer.port(), {true}, "localhost"), IsEmpty());
        ASSERT_TRUE(Connected());
        EXPECT_EQ(peer.NextLine(), "HANDSHAKE OK");
        EXPECT_EQ(peer.NextLine(), "SNI localhost");
        host.CallIrc("Close");
    }
    // An IPv6 address is checked, and left out of the hello, without its
    // brackets.
    for (const char* address : {"127.0.0.1", "[::1]"}) {
        TlsPeer peer("sni", "server", address[0] == '[' ? std::vector<std::string>{"--ipv6"} : std::vector<std::string>{});
        ASSERT_THAT(Connect(peer.port(), {true}, address), IsEmpty());
        ASSERT_TRUE(Connected()) << address;
        EXPECT_EQ(peer.NextLine(), "HANDSHAKE OK");
        EXPECT_EQ(peer.NextLine(), "SNI none");
        host.CallIrc("Close");
    }
}

TEST_F(Tls, BrokenHandshakesFailTheConnectWithAReason) {
    {
        TlsPeer peer("close", "server");
        EXPECT_EQ(Failure(peer.port(), {true}), "Connect failed: TLS handshake failed: the server closed the connection");
    }
    {
        TlsPeer peer("garbage", "server");
        EXPECT_THAT(Failure(peer.port(), {true}), StartsWith("Connect failed: TLS handshake failed: "));
    }
    // One that never answers is bounded like any connect, and the host
    // keeps its thread meanwhile.
    TlsPeer peer("silent", "server");
    auto longest = std::chrono::steady_clock::duration::zero();
    EXPECT_THAT(Connect(peer.port(), {true}), IsEmpty());
    const auto start = std::chrono::steady_clock::now();
    while (host.hook_calls.empty() && std::chrono::steady_clock::now() - start < std::chrono::seconds(15)) {
        const auto tick = std::chrono::steady_clock::now();
        PumpOnce(10);
        longest = std::max(longest, std::chrono::steady_clock::now() - tick);
    }
    ASSERT_EQ(host.hook_calls.size(), 1u);
    EXPECT_EQ(host.hook_calls[0].args[2], "Connect failed: TLS handshake failed: timed out");
    // Generous: a handshake that waits holds the host for all of its 10 s.
    EXPECT_LT(longest, std::chrono::seconds(2));
}

TEST_F(Tls, ALostTlsLinkIsReportedLikeAPlainOne) {
    TlsPeer peer("drop", "server");
    Globals::bDebug = false;
    ASSERT_THAT(Connect(peer.port(), {true}), IsEmpty());
    ASSERT_TRUE(Connected());
    ASSERT_TRUE(PumpUntil([&] { return host.EventNames().size() >= 3; }));
    EXPECT_THAT(host.EventNames(), ElementsAre("IRC_RawData", "IRC_EndOfMOTD", "IRC_Disconnected"));
    EXPECT_EQ(host.hook_calls.back().args[2], "Connection closed by the server");
}

// The file is read and checked when the script names it: a good one is
// named on the console by its subject and fingerprint; a bad one returns
// why and leaves the one set before; none at all removes it. Neither the
// password nor the key is ever printed.
TEST_F(Tls, SetClientCertReadsTheFileAtOnceAndKeepsThePreviousOneOnAnyFault) {
    const std::string fingerprint_line = "[quorvane] TLS links from now on present the client certificate "
                                         "CN=quorvane test bot, SHA-256 fingerprint ";
    struct Row {
        const char* file;
        const char* password;
        const char* result;  // empty: loaded
    };
    const std::string slow_mac = "its password is made to take too long to check (over 40000 rounds)";
    const std::string slow_key = "its key is made to take too long to open (over 40000 rounds)";
    const Row rows[] = {
        {"client.p12", "s3cret", ""},
        {"client-nopass.p12", "", ""},
        {"client.pem", "", ""},
        {"legacy.pem", "s3cret", ""},
        {"legacy-plain.pem", "", ""},
        {"legacy.pem", "", "the key is encrypted and no password was given"},
        {"badfirst.pem", "s3cret", "the private key cannot be read"},
        {"client-ber.p12", "s3cret", ""},
        {"aes.p12", "s3cret", ""},
        {"plainkey.p12", "s3cret", ""},
        // Without a MAC the contents tell the password: the one given, or
        // for an empty one either form of it.
        {"nomac.p12", "s3cret", ""},
        {"nomac-nopass.p12", "", ""},
        {"nomac.p12", "wrong", "wrong password"},
        {"nomac.p12", "", "needs a password"},
        // PKCS#12 first, whatever its bytes hold; PEM only where a line
        // starts a block.
        {"begin.p12", "s3cret", ""},
        {"mention.txt", "", "not a certificate file (PKCS#12, or PEM with the certificate and its key)"},
        {"certs16.pem", "", ""},
        {"certs17.pem", "", "holds too many certificates (over 16)"},
        {"certs17.p12", "s3cret", "holds too many certificates (over 16)"},
        {"client.p12", "wrong", "wrong password"},
        {"client.p12", "", "needs a password"},
        {"nokey.pem", "", "no private key"},
        {"nokey.p12", "", "no private key"},
        {"wrongkey.pem", "", "the key does not match the certificate"},
        {"expired.pem", "", "certificate expired"},
        {"adir", "", "a directory, not a file"},
        {"missing.p12", "", "no such file"},
        {"client.der", "", "not a certificate file (PKCS#12, or PEM with the certificate and its key)"},
        {"/dev/zero", "", "not a regular file"},
        {"weak.pem", "", "cannot be used for TLS (ee key too small)"},
        {"slowmac.p12", "s3cret", slow_mac.c_str()},
        {"slowkey.p12", "s3cret", slow_key.c_str()},
        {"slowkey.pem", "s3cret", slow_key.c_str()},
        {"slowsum.p12", "s3cret", slow_key.c_str()},
        {"hugemac.p12", "s3cret", slow_mac.c_str()},
        {"hugemac.p12", "", slow_mac.c_str()},
        {"hugekey.p12", "s3cret", slow_key.c_str()},
        {"slowkey-nopass.p12", "", slow_key.c_str()},
        {"scrypt.pem", "s3cret", "its key is sealed in a way whose cost cannot be told"},
        {"pbmac1.p12", "s3cret", slow_mac.c_str()},
        {"sha3mac.p12", "s3cret", "its password check is of a kind whose cost cannot be told"},
        // Refused as Windows must, which cannot count it before its import
        // spends it; a whole file, which loads where that is not heeded.
        {"sealedkey.p12", "s3cret", "its key is sealed in a way whose cost cannot be told"},
    };
    std::string fingerprint;
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.file) + " / " + r.password);
        host.console.clear();
        const Results result = SetClientCert(r.file, r.password);
        if (*r.result == '\0') {
            EXPECT_THAT(result, IsEmpty());
            ASSERT_THAT(host.console, StartsWith(fingerprint_line));
            // The same certificate in every good file.
            const std::string seen = host.console.substr(fingerprint_line.size(), 64);
            EXPECT_EQ(host.console, fingerprint_line + seen + "\n");
            EXPECT_TRUE(fingerprint.empty() || seen == fingerprint);
            fingerprint = seen;
        } else {
            const std::string why = std::string("Client certificate: ") + r.result;
            EXPECT_THAT(result, ElementsAre(why));
            EXPECT_EQ(host.console, "[quorvane] !! " + why + "\n");
        }
        ASSERT_TRUE(Globals::settings.client_cert);
        EXPECT_EQ(Globals::settings.client_cert->Fingerprint(), fingerprint);
        EXPECT_THAT(host.console, ::testing::Not(HasSubstr("s3cret")));
    }
    // A subject is shown clean (no C1 control, bidi override or line
    // separator) and cut at 256 bytes, not inside the character there.
    host.console.clear();
    EXPECT_THAT(SetClientCert("oddname.pem"), IsEmpty());
    const std::string shown = "CN=oddbotxy,O=" + std::string(60, 'o') + ",OU=" + std::string(60, 'u') + ",L=" +
                              std::string(114, 'l');
    EXPECT_THAT(host.console, StartsWith("[quorvane] TLS links from now on present the client certificate " + shown +
                                         ", SHA-256 fingerprint "));

    // The module's own copy of a password (one long enough for the heap) is
    // cleared before it is freed; the host's copy is the script's business.
    const std::string long_password = "a-password-long-enough-for-the-heap-0123456789";
    std::vector<Arg> args{cert_dir + "/client.p12", long_password};
    FreedBlocks::host_copy = std::get<std::string>(args[1]).data();
    FreedBlocks::watched = &long_password;
    EXPECT_THAT(host.CallIrc("SetClientCert", std::move(args)), ElementsAre("Client certificate: wrong password"));
    FreedBlocks::watched = nullptr;
    EXPECT_EQ(FreedBlocks::holding, 0);

    host.console.clear();
    EXPECT_THAT(host.CallIrc("SetClientCert"), IsEmpty());
    EXPECT_FALSE(Globals::settings.client_cert);
    EXPECT_EQ(host.console, "[quorvane] TLS links from now on present no client certificate\n");
    EXPECT_THAT(SetClientCert("client.p12", "s3cret"), IsEmpty());
    EXPECT_THAT(host.CallIrc("SetClientCert", {std::string()}), IsEmpty());
    EXPECT_FALSE(Globals::settings.client_cert);
}

// Servers that ask for a client certificate, under TLS 1.3 and TLS 1.2:
// without one the handshake goes on when it is optional, ours is presented
// when set (the server sees the fingerprint the console named), and a server
// that refuses ours or insists on one fails the connect in words.
TEST_F(Tls, ServersThatAskForAClientCertificate) {
    // Read from a copy that is gone by the time the links are made.
    const std::string copy = cert_dir + "/copy.p12";
    ASSERT_EQ(std::system(("cp " + cert_dir + "/client.p12 " + copy).c_str()), 0);
    ASSERT_THAT(SetClientCert(copy, "s3cret"), IsEmpty());
    std::remove(copy.c_str());
    const std::string ours = Globals::settings.client_cert->Fingerprint();
    const auto cert = Globals::settings.client_cert;

    struct Row {
        const char* ask;
        const char* trusted;
        bool ours;
        const char* outcome;  // what the peer reports, or the failed connect's reason
    };
    const std::string refused = "Connect failed: TLS handshake failed: ";
    const Row rows[] = {
        {"--ask", "CA:ca", false, "PEERCERT none"},
        {"--ask", "CA:ca", true, "PEERCERT ours"},
        {"--require", "CA:ca", true, "PEERCERT ours"},
        {"--require", "CA:otherca", true, "the server does not trust our client certificate (unknown CA)"},
        {"--require", "CA:ca", false, "the server wants a client certificate (irc.SetClientCert)"},
    };
    for (const bool tls12 : {false, true}) {
        for (const Row& r : rows) {
            SCOPED_TRACE(std::string(r.ask) + " " + r.trusted + (r.ours ? " ours" : " none") + (tls12 ? " TLS 1.2" : ""));
            Globals::settings.client_cert = r.ours ? cert : nullptr;
            std::vector<std::string> options = {r.ask, r.trusted};
            if (tls12) options.push_back("--tls12");
            TlsPeer peer("cert", "server", options);
            if (!std::string_view(r.outcome).starts_with("PEERCERT")) {
                EXPECT_EQ(Failure(peer.port(), {true}), refused + r.outcome);
                continue;
            }
            ASSERT_THAT(Connect(peer.port(), {true}), IsEmpty());
            ASSERT_TRUE(Connected());
            EXPECT_EQ(peer.NextLine(), "HANDSHAKE OK");
            EXPECT_EQ(peer.NextLine(), r.ours ? "PEERCERT " + ours : std::string(r.outcome));
            host.CallIrc("Close");
            EXPECT_THAT(peer.LinesUntil("GOT QUIT"), ::testing::Contains("GOT QUIT :Leaving"));
            EXPECT_THAT(host.EventNames(), ::testing::Not(::testing::Contains("IRC_Disconnected")));
            host.ClearRecords();
        }
    }
}

// A server that requires TLS (STS) over plain TCP: that link ends with not
// a byte more, the same registration goes over TLS on the port it names,
// and the script's line waits for the negotiation there. The policy the
// TLS link gives sends the next plain connect to the name straight to TLS
// (never back to plain when that fails), until it expires.
TEST_F(Tls, AServerThatRequiresTlsGetsItNowAndOnLaterConnects) {
    IdleClock::Start();
    sts_clock = &IdleClock::Now;
    Globals::bDebug = false;
    auto tls = std::make_unique<TlsPeer>(
        "irc", "server", std::vector<std::string>{"--say", ":srv CAP * LS :sts=duration=600,port=1\r\n:srv 001 bot :Welcome"});
    TlsPeer& peer = *tls;
    LoopbackServer plain;
    ASSERT_THAT(Connect(plain.port(), {}), IsEmpty());
    host.CallIrc("Join", {std::string("#early")});
    ASSERT_TRUE(plain.Accept());
    ASSERT_TRUE(Connected());
    plain.ReadUntil("Real Name\r\n");
    const std::size_t registered = plain.received().size();
    plain.Write(":srv CAP * LS :server-time sts=port=" + std::to_string(peer.port()) + ",duration=5\r\n");
    ASSERT_TRUE(PumpUntil([] { return Globals::client->session().caps.Over(); }, 10000));
    EXPECT_EQ(plain.ReadToEnd(), 0);
    EXPECT_EQ(plain.received().substr(registered), "");
    EXPECT_THAT(peer.LinesUntil("GOT JOIN"),
                ElementsAre("HANDSHAKE OK", "GOT CAP LS 302", "GOT PASS pvrkqo618", "GOT NICK bot",
                            "GOT USER u u u :Real Name", "GOT CAP END", "GOT JOIN #early"));
    EXPECT_EQ(host.console, "[quorvane] the server requires TLS (STS): reconnecting to 127.0.0.1 on port " +
                                std::to_string(peer.port()) + "\n");
    IdleClock::Advance(std::chrono::seconds(100));
    host.CallIrc("Close");
    EXPECT_THAT(host.EventNames(), ::testing::Not(::testing::Contains("IRC_Disconnected")));

    // The peer is gone: the policy's port refuses, and plain is never tried.
    // Its 600 s run from the close.
    tls.reset();
    host.ClearRecords();
    IdleClock::Advance(std::chrono::seconds(550));
    LoopbackServer later;
    ASSERT_THAT(Connect(later.port(), {}), IsEmpty());
    ASSERT_TRUE(PumpUntil([&] { return !host.hook_calls.empty(); }));
    EXPECT_EQ(host.hook_calls[0].args[2], "Connect failed: Connection refused (the server requires TLS)");
    EXPECT_FALSE(later.Accept(100));
    IdleClock::Advance(std::chrono::seconds(51));
    ASSERT_THAT(Connect(later.port(), {}), IsEmpty());
    EXPECT_TRUE(later.Accept());

    // A duration of more digits than any integer holds is as long as any.
    host.CallIrc("Close");
    TlsPeer forever("irc", "server", {"--say", ":srv CAP * LS :sts=port=1,duration=99999999999999999999999"});
    ASSERT_THAT(Connect(forever.port(), {true}), IsEmpty());
    ASSERT_TRUE(PumpUntil([] { return Globals::client->session().caps.Over(); }, 10000));
    IdleClock::Advance(std::chrono::hours(24 * 365 * 9));
    EXPECT_EQ(StsPolicyPort("127.0.0.1"), forever.port());

    // A policy holds for the name in any case. Only a verified link sets or
    // ends one, and while one stands an insecure or pinned connect to the
    // name keeps the link it asked for.
    auto Policy = [&](const char* name, Arg tls, const std::string& duration) {
        host.CallIrc("Close");
        TlsPeer peer("irc", "server", {"--say", ":srv CAP * LS :sts=port=1,duration=" + duration});
        EXPECT_THAT(Connect(peer.port(), {tls}, name), IsEmpty());
        EXPECT_TRUE(PumpUntil([] { return Globals::client->session().caps.Over(); }, 10000));
        return peer.port();
    };
    const int set = Policy("LocalHost", true, "600");
    EXPECT_EQ(StsPolicyPort("localhost"), set);
    for (const Arg& tls : {Arg(std::string("insecure")), Arg(OpensslFingerprint("server"))}) {
        Policy("localhost", tls, "0");
        EXPECT_EQ(StsPolicyPort("localhost"), set);
    }
    Policy("localhost", true, "0");
    EXPECT_EQ(StsPolicyPort("localhost"), 0);
}

namespace {

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A fixed wall clock for the expiries a policy file holds.
constexpr std::int64_t kWallNow = 2000000000;
std::int64_t wall_offset = 0;
std::chrono::system_clock::time_point FixedWall() {
    return std::chrono::system_clock::time_point(std::chrono::seconds(kWallNow + wall_offset));
}

std::map<std::string, int> PolicyPorts() {
    std::map<std::string, int> ports;
    for (const auto& [host, policy] : Globals::stsPolicies) ports[host] = policy.port;
    return ports;
}

}  // namespace

// A policy file is refused whole when it is not one (nothing changes, the
// file named before stays), else read as far as each line is sound: a bad
// line is skipped and said, and never removes a policy the module holds for
// its host; of two policies for a name the longer stands.
TEST_F(Tls, AnStsFileIsReadAsFarAsItIsSoundAndNeverTurnsAPolicyOffSilently) {
    IdleClock::Start();
    sts_clock = &IdleClock::Now;
    wall_offset = 0;
    sts_wall_clock = &FixedWall;
    const std::string dir = cert_dir + "/sts";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const std::string before = dir + "/before";
    ASSERT_THAT(host.CallIrc("SetStsFile", {before}), IsEmpty());
    const std::string path = dir + "/policies";
    const std::string H = "quorvane-sts 1\n";
    const std::string later = std::to_string(kWallNow + 600) + " 600";
    const std::string skipped = "[quorvane] !! STS file: skipped 1 line that held no sound policy (line ";
    const std::string stand = "); policies known for their hosts stand\n";
    struct Row {
        std::string text;
        std::string refused;                // the result; empty when the file is taken
        std::string warning;                // what the console says was skipped, if anything
        std::map<std::string, int> ports;   // beside keep.example's, which always stands
    };
    const Row rows[] = {
        {"", "", "", {}},
        {H, "", "", {}},
        {"#!/bin/sh\nrm -rf /\n", "STS file: not an STS policy file", "", {}},
        {"quorvane-sts 2\na 1 1 1\n", "STS file: written in a form this version does not read", "", {}},
        {H + "A.Example 6697 " + later + "\r\nb.example  7000\t" + later + "\n\n", "", "",
         {{"a.example", 6697}, {"b.example", 7000}}},
        {H + "a.example 6697 " + std::to_string(kWallNow) + " 600\n", "", "", {}},  // expired
        {H + "a.example 0 " + later + "\n", "", skipped + "2: no valid port" + stand, {}},
        {H + "a.example 65536 " + later + "\n", "", skipped + "2: no valid port" + stand, {}},
        {H + "a.example +6697 " + later + "\n", "", skipped + "2: no valid port" + stand, {}},
        {H + "a.example 6697 -5 600\n", "", skipped + "2: no valid expiry" + stand, {}},
        {H + "a.example 6697 " + std::to_string(kWallNow + 600) + " 0\n", "", skipped + "2: no valid duration" + stand, {}},
        {H + "a.example 6697 " + later + " 1\n", "", skipped + "2: not HOST PORT EXPIRY DURATION" + stand, {}},
        {H + "a.example 6697\n", "", skipped + "2: not HOST PORT EXPIRY DURATION" + stand, {}},
        {H + "a\x01z 6697 " + later + "\n", "", skipped + "2: no valid host name" + stand, {}},
        {H + std::string(256, 'h') + " 6697 " + later + "\n", "", skipped + "2: no valid host name" + stand, {}},
        // Truncated: the last line may have lost digits of its expiry.
        {H + "a.example 6697 " + later + "\nb.example 7000 " + later, "", skipped + "3: incomplete" + stand,
         {{"a.example", 6697}}},
        // A bad line for a host the module knows leaves its policy be; a
        // shorter one too; a longer one replaces it.
        {H + "keep.example 99999 " + later + "\n", "", skipped + "2: no valid port" + stand, {}},
        {H + "keep.example 7000 " + std::to_string(kWallNow + 10) + " 600\n", "", "", {}},
        {H + "keep.example 7000 " + later + "\n", "", "", {}},  // as long: the known one stands
        {H + "keep.example 7000 " + std::to_string(kWallNow + 5000) + " 600\n", "", "", {{"keep.example", 7000}}},
        {H + "a.example 1 " + std::to_string(kWallNow + 900) + " 900\na.example 2 " + later + "\n", "", "",
         {{"a.example", 1}}},
        {H + "a.example 2 " + later + "\na.example 1 " + std::to_string(kWallNow + 900) + " 900\n", "", "",
         {{"a.example", 1}}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text.substr(0, 120));
        Globals::stsPolicies.clear();
        Globals::stsPolicies["keep.example"] = {6697, std::chrono::seconds(600), IdleClock::Now() + std::chrono::seconds(600)};
        WriteText(path, r.text);
        host.ClearRecords();
        const Results result = host.CallIrc("SetStsFile", {path});
        std::map<std::string, int> want = r.ports;
        want.emplace("keep.example", 6697);
        EXPECT_EQ(PolicyPorts(), want);
        if (!r.refused.empty()) {
            EXPECT_THAT(result, ElementsAre(r.refused));
            EXPECT_EQ(Globals::stsFile, before);
            EXPECT_EQ(FileText(path), r.text) << "a refused file is left as it was";
            continue;
        }
        EXPECT_THAT(result, IsEmpty());
        EXPECT_EQ(Globals::stsFile, path);
        EXPECT_EQ(host.console.substr(0, host.console.find("[quorvane] STS policies are kept in ")), r.warning);
        // Written again at once, with what holds now.
        std::string written = H;
        for (const auto& [name, policy] : Globals::stsPolicies)
            written += name + " " + std::to_string(policy.port) + " " +
                       std::to_string(kWallNow + (policy.expires - IdleClock::Now()) / std::chrono::seconds(1)) + " " +
                       std::to_string(policy.duration.count()) + "\n";
        EXPECT_EQ(FileText(path), written);
        ASSERT_THAT(host.CallIrc("SetStsFile", {before}), IsEmpty());
    }

    // A policy that has run out is not written.
    Globals::stsPolicies.clear();
    Globals::stsPolicies["gone.example"] = {6697, std::chrono::seconds(600), IdleClock::Now()};
    WriteText(path, H);
    ASSERT_THAT(host.CallIrc("SetStsFile", {path}), IsEmpty());
    EXPECT_EQ(FileText(path), H);

    // Past ten years, a duration or an expiry (a clock set back since the
    // file was written) is read as ten years: neither runs out early.
    Globals::stsPolicies.clear();
    WriteText(path, H + "far.example 6697 99999999999999999999999 99999999999999999999\n");
    ASSERT_THAT(host.CallIrc("SetStsFile", {path}), IsEmpty());
    const StsPolicy far = Globals::stsPolicies.at("far.example");
    EXPECT_EQ(far.duration, std::chrono::seconds(kLongestStsPolicyS));
    EXPECT_EQ(far.expires, IdleClock::Now() + std::chrono::seconds(kLongestStsPolicyS));

    // A million lines: refused whole past 4 MiB; within it, the first
    // 10000 policies, the rest skipped and said.
    std::string many = H;
    for (int i = 0; many.size() <= kMaxStsFileBytes; ++i) many += "h" + std::to_string(i) + " 1 " + later + "\n";
    WriteText(path, many);
    host.ClearRecords();
    EXPECT_THAT(host.CallIrc("SetStsFile", {path}), ElementsAre("STS file: too large for an STS policy file"));
    EXPECT_EQ(Globals::stsPolicies.size(), 1u);
    many = H;
    for (std::size_t i = 0; i <= kMaxStsFilePolicies; ++i) many += "h" + std::to_string(i) + " 1 " + later + "\n";
    WriteText(path, many);
    ASSERT_THAT(host.CallIrc("SetStsFile", {path}), IsEmpty());
    EXPECT_EQ(Globals::stsPolicies.size(), kMaxStsFilePolicies + 1);
    EXPECT_THAT(host.console, HasSubstr(skipped + std::to_string(kMaxStsFilePolicies + 2) + ": past the 10000 policies read"));
    // What is written, the next read takes whole.
    const std::string rewritten = FileText(path);
    EXPECT_EQ(std::count(rewritten.begin(), rewritten.end(), '\n'), static_cast<long>(kMaxStsFilePolicies + 1));

    // What cannot be read or written is refused, in words.
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    Globals::stsPolicies.clear();
    for (const auto& [where, why] : std::vector<std::pair<std::string, std::string>>{
             {dir, "STS file: a directory, not a file"},
             {dir + "/fifo", "STS file: not a regular file"},
             {dir + "/none/policies", "STS file: cannot be written: No such file or directory"}}) {
        EXPECT_THAT(host.CallIrc("SetStsFile", {where}), ElementsAre(why));
        EXPECT_EQ(Globals::stsFile, path);
    }
    // What holds the temporary name, left by a crash or planted, is put
    // aside: a link there neither refuses the write nor is written through.
    const std::string other = dir + "/other";
    WriteText(other, "another file's own text\n");
    for (const auto& plant : {&link, &symlink}) {
        WriteText(path, H);
        ASSERT_EQ(plant(other.c_str(), (path + ".tmp").c_str()), 0);
        EXPECT_THAT(host.CallIrc("SetStsFile", {path}), IsEmpty());
        EXPECT_EQ(FileText(path), H);
        EXPECT_EQ(FileText(other), "another file's own text\n");
    }
    // No path: the file is no longer written; the policies stay.
    Globals::stsPolicies["a.example"] = {6697, std::chrono::seconds(600), IdleClock::Now() + std::chrono::seconds(600)};
    host.ClearRecords();
    EXPECT_THAT(host.CallIrc("SetStsFile"), IsEmpty());
    EXPECT_EQ(host.console, "[quorvane] STS policies are kept for this process only from now on\n");
    EXPECT_TRUE(Globals::stsFile.empty());
    EXPECT_EQ(Globals::stsPolicies.size(), 1u);
}

// Every change to a policy rewrites the file: learnt, refreshed at a
// link's end, removed. A module started again reads it back, and its first
// plain connect to the name goes to TLS; a file that can no longer be
// written is said on the console, and the policy holds for the process.
TEST_F(Tls, PoliciesAreWrittenAsTheyChangeAndReadBackAfterARestart) {
    IdleClock::Start();
    sts_clock = &IdleClock::Now;
    wall_offset = 0;
    sts_wall_clock = &FixedWall;
    Globals::bDebug = false;
    const std::string dir = cert_dir + "/restart";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    const std::string path = dir + "/policies";
    ASSERT_THAT(host.CallIrc("SetStsFile", {path}), IsEmpty());
    EXPECT_EQ(FileText(path), "quorvane-sts 1\n");
    auto tls = std::make_unique<TlsPeer>("irc", "server", std::vector<std::string>{"--say", ":srv CAP * LS :sts=port=1,duration=600"});
    const int port = tls->port();
    ASSERT_THAT(Connect(port, {true}, "LocalHost"), IsEmpty());
    ASSERT_TRUE(PumpUntil([] { return Globals::client->session().caps.Over(); }, 10000));
    const std::string line = "localhost " + std::to_string(port) + " ";
    EXPECT_EQ(FileText(path), "quorvane-sts 1\n" + line + std::to_string(kWallNow + 600) + " 600\n");
    IdleClock::Advance(std::chrono::seconds(100));
    wall_offset = 100;
    host.CallIrc("Close");
    EXPECT_EQ(FileText(path), "quorvane-sts 1\n" + line + std::to_string(kWallNow + 700) + " 600\n");
    tls.reset();

    // Started again, later: the process's policies are gone, the file's are
    // read onto the new clock.
    gmod_close(host.state);
    Globals::client.reset();
    Globals::stsPolicies.clear();
    Globals::stsFile.clear();
    IdleClock::Start();
    wall_offset = 400;
    gmod_open(&host);
    ASSERT_THAT(host.CallIrc("SetStsFile", {path}), IsEmpty());
    EXPECT_EQ(StsPolicyPort("localhost"), port);
    EXPECT_EQ(Globals::stsPolicies.at("localhost").expires, IdleClock::Now() + std::chrono::seconds(300));
    TlsPeer again("irc", "server", {"--say", ":srv CAP * LS :sts=port=1,duration=0"});
    host.ClearRecords();
    // The policy's port is the old peer's; only the check that the plain
    // connect became TLS on it is wanted here.
    ASSERT_THAT(Connect(1, {}, "localhost"), IsEmpty());
    ASSERT_TRUE(PumpUntil([&] { return !host.hook_calls.empty(); }));
    EXPECT_EQ(host.hook_calls[0].args[2], "Connect failed: Connection refused (the server requires TLS)");
    EXPECT_THAT(host.console, HasSubstr("[quorvane] the server requires TLS (STS), as it said before: connecting to "
                                        "localhost on port " + std::to_string(port) + "\n"));

    // Removed over a verified link: gone from the file too.
    ASSERT_THAT(Connect(again.port(), {true}, "localhost"), IsEmpty());
    ASSERT_TRUE(PumpUntil([] { return Globals::client->session().caps.Over(); }, 10000));
    EXPECT_EQ(StsPolicyPort("localhost"), 0);
    EXPECT_EQ(FileText(path), "quorvane-sts 1\n");
    host.CallIrc("Close");

    // A file that can no longer be written costs only the file.
    ASSERT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
    TlsPeer third("irc", "server", {"--say", ":srv CAP * LS :sts=port=1,duration=600"});
    host.ClearRecords();
    ASSERT_THAT(Connect(third.port(), {true}, "localhost"), IsEmpty());
    ASSERT_TRUE(PumpUntil([] { return Globals::client->session().caps.Over(); }, 10000));
    EXPECT_EQ(StsPolicyPort("localhost"), third.port());
    EXPECT_THAT(host.console, HasSubstr("[quorvane] !! STS policies could not be written to " + path +
                                        ": cannot be written: No such file or directory\n"));
}

// A login that STS moves to TLS goes by what the TLS server offers: the
// plain one's sasl counts for nothing there.
TEST_F(Tls, ALoginMovedToTlsGoesByTheTlsServersOwnOffer) {
    PaceClock::stopped = true;  // the login's time limit is not what is tested
    TlsPeer peer("irc", "server", {"--say", ":srv CAP * LS :server-time"});
    LoopbackServer plain;
    host.CallIrc("SetSASL", {std::string("acct"), std::string("pw")});
    ASSERT_THAT(Connect(plain.port(), {}), IsEmpty());
    ASSERT_TRUE(plain.Accept());
    ASSERT_TRUE(Connected());
    plain.ReadUntil("Real Name\r\n");
    plain.Write(":srv CAP * LS :sasl sts=port=" + std::to_string(peer.port()) + "\r\n");
    auto lost = [&] {
        for (const HookCall& c : host.hook_calls)
            if (c.args[0] == "IRC_Disconnected") return c.args[2].value_or("");
        return std::string();
    };
    ASSERT_TRUE(PumpUntil([&] { return !lost().empty(); }, 5000));
    EXPECT_EQ(lost(), "SASL login failed: the server does not offer SASL");
    EXPECT_THAT(peer.LinesUntil("GOT USER"), ElementsAre("HANDSHAKE OK", "GOT CAP LS 302", "GOT PASS pvrkqo618", "GOT NICK bot",
                                                         "GOT USER u u u :Real Name"));
}

// A PLAIN password that goes over TLS, checked or not, pinned or not, is
// not in the clear: no plain-link warning.
TEST_F(Tls, APasswordOverAnyTlsLinkGetsNoPlainLinkWarning) {
    PaceClock::stopped = true;  // the login's time limit is not what is tested
    for (const Arg& tls : {Arg(std::string("insecure")), Arg(OpensslFingerprint("server"))}) {
        TlsPeer peer("irc", "server", {"--say", ":srv CAP * LS :sasl\r\n:srv CAP bot ACK :sasl\r\nAUTHENTICATE +"});
        host.CallIrc("SetSASL", {std::string("acct"), std::string("pw")});
        ASSERT_THAT(Connect(peer.port(), {tls}), IsEmpty());
        ASSERT_TRUE(PumpUntil([] { return Globals::client->session().login.step == LoginState::Step::Verdict; }));
        EXPECT_THAT(host.console, ::testing::Not(HasSubstr("SASL over an unencrypted link")));
        host.CallIrc("Close");
        host.ClearRecords();
    }
}

// Under TLS 1.3 a server that asked for a certificate gives its verdict
// after our side of the handshake is done; the wait for it runs on the
// attempt's clock (stepped here, stopped between steps), a quarter second
// at least, and never past the attempt's bound, where the handshake, done,
// is taken as up rather than timed out.
TEST_F(Tls, TheWaitForATls13VerdictRunsOnTheAttemptsClockWithinItsBound) {
    using namespace std::chrono_literals;
    struct SteppedClock {
        SteppedClock() {
            PaceClock::stopped = true;
            platform::Opening::clock = &PaceClock::Now;
        }
        ~SteppedClock() {
            platform::Opening::clock = &std::chrono::steady_clock::now;
            PaceClock::stopped = false;
        }
    } stepped;
    struct Row {
        std::chrono::milliseconds before;  // on the attempt's clock, before the handshake
        std::chrono::milliseconds after;   // once it is done on our side
    };
    for (const Row r : {Row{0ms, 300ms}, Row{9900ms, 100ms}}) {
        SCOPED_TRACE(r.before.count());
        TlsPeer peer("sni", "server", {"--ask", "CA:ca", "--no-tickets"});
        ASSERT_THAT(Connect(peer.port(), {true}), IsEmpty());
        PaceClock::Advance(r.before);
        for (int i = 0; i < 1500 && !peer.Reported(0); ++i) PumpOnce(10);
        ASSERT_EQ(peer.NextLine(), "HANDSHAKE OK");
        PumpFor(400);
        EXPECT_FALSE(Globals::client->IsConnected()) << "the wait ran on another clock";
        PaceClock::Advance(r.after);
        EXPECT_TRUE(Connected());
        EXPECT_THAT(host.EventNames(), ::testing::Not(::testing::Contains("IRC_Disconnected")));
        host.CallIrc("Close");
        host.ClearRecords();
    }
}

// A peer that stops reading while more than its socket holds is written:
// the TLS layer's "would block" on a write holds the lines back, and they
// all arrive, in order, once it reads again; the link stays up.
TEST_F(Tls, APeerThatStopsReadingGetsEveryLineOnceItReadsAgain) {
    TlsPeer peer("stall", "server");
    Globals::bDebug = false;
    ASSERT_THAT(Connect(peer.port(), {true}), IsEmpty());
    ASSERT_TRUE(Connected());
    EXPECT_THAT(peer.LinesUntil("STALLING"), ::testing::Contains("STALLING"));
    ASSERT_TRUE(PumpUntil([] { return Globals::client->session().caps.welcomed; }));
    const std::string filler(300, 'x');
    // Lines until the socket has stopped taking bytes and 256 KiB more
    // wait behind it (the pace is off: the test's clock leaps).
    int sent = 0;
    while (sent < 100000 && Globals::client->Outgoing().Unwritten().size() < 256 * 1024)
        ASSERT_THAT(host.CallIrc("SendRaw", {"PRIVMSG #c :" + std::to_string(sent++) + " " + filler}), IsEmpty());
    ASSERT_TRUE(Globals::client->IsConnected());
    EXPECT_TRUE(PumpUntil([] { return Globals::client->Outgoing().Unwritten().empty(); }, 30000));
    host.CallIrc("Close");
    EXPECT_EQ(peer.NextLine(), "RECEIVED " + std::to_string(sent) + " IN ORDER");
    EXPECT_THAT(host.EventNames(), ::testing::Not(::testing::Contains("IRC_Disconnected")));
}

// A host may unload the module while a TLS link that presented a client
// certificate is up: the link ends, and every OpenSSL object of that copy of
// the module is freed (LeakSanitizer, in the sanitizer build, would see one
// that is not).
TEST_F(Tls, UnloadingWithACertificateAndATlsLinkUpLeavesNothing) {
    void* lib = dlopen(QV_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto open = reinterpret_cast<int (*)(ILuaInterface*)>(dlsym(lib, "gmod_open"));
    TlsPeer peer("cert", "server", {"--require", "CA:ca"});
    RecordingHost loaded;
    open(&loaded);
    loaded.CallIrc("Debug", {false});
    EXPECT_THAT(loaded.CallIrc("SetClientCert", {cert_dir + "/client.p12", std::string("s3cret")}), IsEmpty());
    loaded.CallIrc("Connect", {std::string("127.0.0.1"), peer.port(), std::string("n"), std::string("u"),
                               std::string("r"), true});
    // Registered: the server's first lines have reached the loaded copy.
    EXPECT_TRUE(PumpUntil([&] { return !loaded.hook_calls.empty(); }, 15000));
    ASSERT_EQ(dlclose(lib), 0);
    EXPECT_THAT(peer.LinesUntil("RAGGED_EOF"), ElementsAre("HANDSHAKE OK", StartsWith("PEERCERT "), "GOT CAP LS 302",
                                                           "GOT PASS pvrkqo618", "GOT NICK n", "GOT USER u u u :r",
                                                           "RAGGED_EOF"));
}

namespace {

// The trusted roots' read, held at its start until the test lets it go;
// it notes the thread it ran on. Run on the host's thread it holds
// nothing (the test then fails rather than hangs).
struct HeldRootsRead {
    static inline std::mutex mutex;
    static inline std::condition_variable changed;
    static inline bool let_go = false;
    static inline int reads = 0;
    static inline std::thread::id reader, host;

    HeldRootsRead() {
        host = std::this_thread::get_id();
        platform::before_reading_roots = [] {
            std::unique_lock lock(mutex);
            reader = std::this_thread::get_id();
            ++reads;
            changed.notify_all();
            if (reader != host) changed.wait(lock, [] { return let_go; });
        };
    }
    ~HeldRootsRead() {
        LetGo();
        platform::before_reading_roots = nullptr;
    }
    bool Started() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [] { return reads > 0; });
    }
    void LetGo() {
        std::lock_guard lock(mutex);
        let_go = true;
        changed.notify_all();
    }
};

// SSL_CERT_FILE set to `path` while this lives.
struct RootsFile {
    explicit RootsFile(const std::string& path) : before(std::getenv("SSL_CERT_FILE")) {
        setenv("SSL_CERT_FILE", path.c_str(), 1);
    }
    ~RootsFile() {
        if (before) setenv("SSL_CERT_FILE", before->c_str(), 1);
    }
    std::optional<std::string> before;
};

}  // namespace

// The first verified link of a process reads the system's trusted roots on
// a thread of its own: irc.Connect only starts the read. The link's TCP
// connect goes on meanwhile and its handshake waits for the roots (no
// hello before the read is over); the link then comes up verified by them,
// and later verified links read nothing again.
TEST_F(Tls, TheTrustedRootsAreReadOffTheHostsThreadAndTheHandshakeWaitsForThem) {
    // Roots of their own, so that this process has read none of them yet.
    const std::string copy = cert_dir + "/roots-copy.pem";
    ASSERT_EQ(std::system(("cp " + cert_dir + "/ca.pem " + copy).c_str()), 0);
    RootsFile roots(copy);
    HeldRootsRead held;
    {
        LoopbackServer server;
        ASSERT_THAT(Connect(server.port(), {true}), IsEmpty());
        ASSERT_TRUE(held.Started());
        EXPECT_NE(HeldRootsRead::reader, HeldRootsRead::host);
        ASSERT_TRUE(server.Accept());
        PumpFor(300);
        EXPECT_EQ(server.ReadFor(0), "") << "a hello before the roots were read";
        EXPECT_TRUE(Globals::client->IsConnecting());
        {
            // The wait is the attempt's, on its clock (stepped here): at its
            // bound the connect fails in words.
            PaceClock::stopped = true;
            platform::Opening::clock = &PaceClock::Now;
            LoopbackServer other;
            platform::Opening opening("127.0.0.1", other.port(), platform::Security::Tls, 10000);
            bool accepted = false;
            for (int i = 0; i < 500 && !accepted; ++i) {
                EXPECT_EQ(opening.Step(), platform::Opening::Status::Pending);
                accepted = other.Accept(10);
            }
            ASSERT_TRUE(accepted);
            for (int i = 0; i < 50; ++i) EXPECT_EQ(opening.Step(), platform::Opening::Status::Pending);
            PaceClock::Advance(std::chrono::seconds(10));
            EXPECT_EQ(opening.Step(), platform::Opening::Status::Failed);
            EXPECT_EQ(opening.Error(), "Timed out after 10 s reading the system's trusted roots");
            EXPECT_EQ(other.ReadFor(0), "");
            platform::Opening::clock = &std::chrono::steady_clock::now;
            PaceClock::stopped = false;
        }
        held.LetGo();
        // A TLS record of the handshake: the hello.
        EXPECT_TRUE(PumpUntil([&] { return server.ReadFor(1).starts_with("\x16\x03"); }));
        host.CallIrc("Close");
    }
    TlsPeer peer("irc", "server");
    host.ClearRecords();
    ASSERT_THAT(Connect(peer.port(), {true}), IsEmpty());
    ASSERT_TRUE(Connected());
    EXPECT_EQ(peer.NextLine(), "HANDSHAKE OK");
    EXPECT_EQ(HeldRootsRead::reads, 1);
}

// A host may unload the module while its trusted roots are being read (here
// from a FIFO that the test feeds only later): unloading waits for the read
// to end, so no code of the module is gone while its thread runs it.
TEST_F(Tls, UnloadingWhileTheRootsAreReadWaitsForTheRead) {
    const std::string fifo = cert_dir + "/roots.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    RootsFile roots(fifo);
    void* lib = dlopen(QV_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto open = reinterpret_cast<int (*)(ILuaInterface*)>(dlsym(lib, "gmod_open"));
    LoopbackServer server;
    RecordingHost loaded;
    open(&loaded);
    EXPECT_THAT(loaded.CallIrc("Connect", {std::string("127.0.0.1"), server.port(), std::string("n"), std::string("u"),
                                           std::string("r"), true}),
                IsEmpty());
    // The FIFO opens for writing once the reading thread has it open.
    int fd = -1;
    for (int i = 0; i < 1000 && fd < 0; ++i) {
        fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0) usleep(10000);
    }
    ASSERT_GE(fd, 0) << "the roots were not being read";
    std::atomic<bool> fed{false};
    std::thread feeder([&] {
        usleep(300000);  // so that the unload is likely waiting by then
        std::ifstream ca(cert_dir + "/ca.pem");
        const std::string pem((std::istreambuf_iterator<char>(ca)), std::istreambuf_iterator<char>());
        fcntl(fd, F_SETFL, 0);
        EXPECT_EQ(write(fd, pem.data(), pem.size()), static_cast<ssize_t>(pem.size()));
        fed = true;
        close(fd);
    });
    EXPECT_EQ(dlclose(lib), 0);
    EXPECT_TRUE(fed) << "unloaded while the roots were still being read";
    feeder.join();
}

// What the Windows TLS layer reads off a server's TLS 1.2 flight itself:
// whether it asked for a client certificate, and its fatal alert. Each
// flight is fed whole and a byte at a time, as the network may cut it.
TEST(ServerFlight, ReadsTheRequestAndTheAlertInTheClearWhereverTheBytesAreCut) {
    auto record = [](char type, const std::string& payload) {
        return std::string{type, 3, 3, static_cast<char>(payload.size() >> 8), static_cast<char>(payload.size() & 255)} +
               payload;
    };
    auto message = [](char type, std::size_t size) { return std::string{type, 0, 0, static_cast<char>(size)} + std::string(size, 'm'); };
    const std::string hello = message(2, 70), certificate = message(11, 200), request = message(13, 30), done = message(14, 0);
    const std::string fatal_40 = record(21, std::string{2, 40});
    struct Row {
        const char* what;
        std::string bytes;
        bool asked;
        int alert;
    };
    const Row rows[] = {
        {"one record", record(22, hello + certificate + request + done), true, -1},
        {"a request cut across records", record(22, hello + request.substr(0, 2)) + record(22, request.substr(2) + done), true, -1},
        {"no request", record(22, hello + certificate + done), false, -1},
        {"a refusal", record(22, hello + request + done) + fatal_40, true, 40},
        {"a warning is no refusal", record(21, std::string{1, 0}), false, -1},
        {"nothing read once encrypted", record(20, "\x01") + record(22, request) + fatal_40, false, -1},
        {"not TLS", "NOTICE AUTH :*** Looking up your hostname\r\n" + record(22, request), false, -1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        platform::ServerFlight whole, bytewise;
        whole.Feed(r.bytes);
        for (char c : r.bytes) bytewise.Feed(std::string_view(&c, 1));
        for (const platform::ServerFlight* f : {&whole, &bytewise}) {
            EXPECT_EQ(f->AskedForCertificate(), r.asked);
            EXPECT_EQ(f->Alert(), r.alert);
        }
    }
}

// What a PKCS#12 file's bytes show of its costs without the password, as
// the Windows reader counts them before the system's import spends them:
// the MAC (its count, or PBMAC1's in its PBKDF2 parameters, times the
// blocks of its key), each encrypted container, each key and the
// certificates in the clear; the same from BER as from DER.
TEST_F(Tls, APkcs12FilesCostsAreReadFromItsBytes) {
    struct Row {
        const char* file;
        long long mac;
        std::vector<long long> containers, keys;
        std::size_t certificates = 0;  // in the clear
    };
    const Row rows[] = {
        {"client.p12", 2048, {2048}, {2048}},
        {"client-ber.p12", 2048, {2048}, {2048}},
        {"aes.p12", 3000, {3000}, {3000}},
        {"nomac.p12", 0, {2048}, {2048}},
        {"begin.p12", 2048, {}, {2048}, 2},
        {"hugemac.p12", 2147483647, {2048}, {2048}},
        {"hugekey.p12", 0, {2048}, {2147483647}},
        {"pbmac1.p12", 100000, {2048}, {2048}},
        {"sha3mac.p12", -1, {2048}, {2048}},
        {"plainkey.p12", 2048, {2048}, {0}},
        {"sealedkey.p12", 3000, {3000}, {}},  // its key inside the container, unseen
    };
    auto bytes = [](const std::string& name) {
        std::ifstream in(cert_dir + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.file);
        platform::Pkcs12Costs costs;
        ASSERT_TRUE(platform::ReadPkcs12Costs(bytes(r.file), costs));
        EXPECT_EQ(costs.mac, r.mac);
        EXPECT_EQ(costs.containers, r.containers);
        EXPECT_EQ(costs.keys, r.keys);
        EXPECT_EQ(costs.certificates, r.certificates);
    }
    // By hand, what no tool here writes: a PRF of unknown cost (HMAC with
    // SHA3-256), and a key in a bag of bags.
    auto der = [](char tag, const std::string& body) {
        std::string out{tag};
        if (body.size() >= 0x80) out += {'\x82', static_cast<char>(body.size() >> 8)};
        return out + static_cast<char>(body.size() & 0xFF) + body;
    };
    const std::string pkcs = "\x2A\x86\x48\x86\xF7\x0D", nist = "\x60\x86\x48\x01\x65\x03\x04";
    const std::string data = der(6, pkcs + "\x01\x07\x01"), bag = pkcs + "\x01\x0C\x0A\x01", salt = der(4, "12345678");
    auto pbes2 = [&](const std::string& prf) {
        const std::string kdf = der(48, der(6, pkcs + "\x01\x05\x0C") +
                                           der(48, salt + der(2, std::string("\x08\x00", 2)) + der(2, "\x20") +
                                                       der(48, der(6, prf) + der(5, ""))));
        return der(48, der(6, pkcs + "\x01\x05\x0D") + der(48, kdf + der(48, der(6, nist + "\x01\x2A") + salt)));
    };
    EXPECT_EQ(platform::DerivationRounds(pbes2(pkcs + "\x02\x09")), 4096);  // 2048 rounds, two blocks
    EXPECT_EQ(platform::DerivationRounds(pbes2(nist + "\x02\x0E")), -1);
    const std::string key = der(48, der(6, bag + "\x02") + der(char(0xA0), der(48, pbes2(pkcs + "\x02\x09") + salt)));
    const std::string bags = der(48, der(48, der(6, bag + "\x06") + der(char(0xA0), der(48, key))));
    const std::string safes = der(48, der(48, data + der(char(0xA0), der(4, bags))));
    platform::Pkcs12Costs costs;
    ASSERT_TRUE(platform::ReadPkcs12Costs(der(48, der(2, "\x03") + der(48, data + der(char(0xA0), der(4, safes)))), costs));
    EXPECT_EQ(costs.keys, std::vector<long long>{4096});
    for (const char* other : {"client.der", "client.pem"}) EXPECT_FALSE(platform::ReadPkcs12Costs(bytes(other), costs));
    // Cut short anywhere, a file is no PKCS#12; with any byte changed it may
    // be one, but nothing is read outside it (the sanitizer build tells).
    for (const char* name : {"client-ber.p12", "client.p12"}) {
        const std::string whole = bytes(name);
        for (std::size_t n = 0; n < whole.size(); n += 7) EXPECT_FALSE(platform::ReadPkcs12Costs(whole.substr(0, n), costs));
        for (std::size_t at = 0; at < whole.size(); ++at) {
            std::string changed = whole;
            changed[at] = static_cast<char>(changed[at] ^ (at % 2 == 0 ? 0x80 : 0x01));
            platform::ReadPkcs12Costs(changed, costs);
        }
    }
}

// A server's fatal alert in words: certificate_required tells a script
// with no certificate to set one, and one with a certificate that the
// server did not take it.
TEST(AlertWords, SayWhatTheUserCanDo) {
    struct Row {
        int alert;
        bool asked, presented;
        const char* words;
    };
    const Row rows[] = {
        {116, true, false, "the server wants a client certificate (irc.SetClientCert)"},
        {116, true, true, "the server did not take our client certificate (its key type or its issuer)"},
        {40, true, false, "the server wants a client certificate (irc.SetClientCert)"},
        {40, true, true, "the server refused the handshake (handshake failure)"},
        {40, false, false, "the server refused the handshake (handshake failure)"},
        {48, true, true, "the server does not trust our client certificate (unknown CA)"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(platform::AlertWords(r.alert, r.asked, r.presented), r.words) << r.alert << r.asked << r.presented;
}
