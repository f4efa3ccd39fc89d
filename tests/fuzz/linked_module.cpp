#include "linked_module.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "module/globals.h"
#include "net/connection.h"
#include "protocol/dispatch.h"

namespace {

// Each look is a full allowance later than the last, so pacing holds
// nothing back; steps this small last for billions of looks.
SendQueue::Clock::time_point LeapingClock() {
    static SendQueue::Clock::time_point now{};
    now += SendQueue::kAllowance + std::chrono::seconds(1);
    return now;
}

// Holds a NUL, which neither a reply (by rule) nor a script's text (the
// host hands over C strings) can put on the wire: no input can forge it.
constexpr std::string_view kMarker("\0qv-marker ", 11);

}  // namespace

void Fail(const char* what, std::string_view detail) {
    std::fprintf(stderr, "FUZZ INVARIANT: %s\n", what);
    if (!detail.empty()) {
        std::fprintf(stderr, "  bytes:");
        for (unsigned char c : detail.substr(0, 600)) std::fprintf(stderr, " %02x", c);
        std::fprintf(stderr, "%s\n", detail.size() > 600 ? " ..." : "");
    }
    std::abort();
}

LoopbackServer& LinkModule() {
    static std::unique_ptr<LoopbackServer> peer;
    if (!peer) {
        Connection::pace_clock = &LeapingClock;
        peer = std::make_unique<LoopbackServer>();
        RecordingHost host;
        gmod_open(&host);
        ConnectModule(host, {std::string("127.0.0.1"), 0, std::string("fuzz"), std::string("u"), std::string("r")});
        gmod_close(host.state);
        WrittenByModule();  // the registration
    }
    return *peer;
}

void ConnectModule(RecordingHost& host, const std::vector<Arg>& args) {
    LoopbackServer& server = LinkModule();
    std::vector<Arg> with_port = args;
    with_port.at(1) = server.port();
    if (!host.CallIrc("Connect", with_port).empty()) Fail("irc.Connect to the loopback peer failed");
    if (!server.Accept()) Fail("the loopback peer accepted no connection");
    // The poll brings a link up; here nothing ticks, so it is moved by hand.
    for (int i = 0; i < 5000 && Globals::client->IsConnecting(); ++i) {
        Globals::client->Advance();
        if (Globals::client->IsConnecting()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!Globals::client->IsConnected()) Fail("the link to the loopback peer did not come up");
    // A server that knows no CAP and has registered the link, unless a
    // login is to be fuzzed: the script's lines need not wait.
    if (!Globals::client->session().login.Pending()) {
        ProcessLine(":srv 421 * CAP :Unknown command");
        ProcessLine(":srv 001 fuzz :Welcome");
    }
}

std::string WrittenByModule() {
    LoopbackServer& server = LinkModule();
    static unsigned long count = 0;
    std::string marker(kMarker);
    marker += std::to_string(++count);
    // A text of many lines is paced line by line even with the clock
    // leaping: each look lets one allowance through. The marker, never
    // paced, goes behind all of them, but for lines on hold (a login under
    // way), which no look lets out.
    for (std::size_t waiting; (waiting = Globals::client->Outgoing().PacedBytes()) > 0;) {
        Globals::client->Flush();
        if (Globals::client->Outgoing().PacedBytes() == waiting) break;
    }
    Globals::SendIRCString(marker, LineKind::Urgent);
    marker += "\r\n";
    for (int waited = 0;; ++waited) {
        // Bytes the socket did not take at once go out on a flush.
        Globals::client->Flush();
        const std::string& got = server.ReadUntil(marker, 1);
        if (got.size() >= marker.size() && got.compare(got.size() - marker.size(), marker.size(), marker) == 0) break;
        if (got.find(marker) != std::string::npos) Fail("bytes after the marker line", got);
        if (waited > 5000) Fail("the marker line did not come back", got);
    }
    std::string wire = server.TakeReceived();
    wire.resize(wire.size() - marker.size());
    return wire;
}

std::vector<std::string_view> WireLines(std::string_view wire) {
    std::vector<std::string_view> lines;
    while (!wire.empty()) {
        const std::size_t end = wire.find("\r\n");
        if (end == std::string_view::npos) Fail("a line on the wire without its CR LF", wire);
        lines.push_back(wire.substr(0, end));
        wire.remove_prefix(end + 2);
    }
    return lines;
}

std::string SevenBit(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) > 0x7F) c = '?';
    return out;
}
