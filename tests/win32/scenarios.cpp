// What both Windows test hosts check. A scenario is a function that drives
// the module (t.host.Call), the IRC peer (t.peer) and the message loop
// (t.Pump, t.WaitEvent), and checks what comes out; each starts with the
// DLL freshly loaded and a reset peer, and ends with the DLL unloaded and
// no tick after that. To add one: write the function, add its line to
// kScenarios; a new peer behaviour is a new verb in irc_peer.py.
#include "harness.h"

#define SECURITY_WIN32
#include <security.h>

namespace {

// CAP LS 302, PASS, NICK and USER in this order (ConnectToPeer checks them).
void Registration(Test& t) { t.ConnectToPeer("quorvane"); }

void PingPong(Test& t) {
    if (!t.ConnectToPeer()) return;
    t.peer.Send("PING :irc.example.net 42\r\n");
    t.peer.Expect("PONG :irc.example.net 42");
}

// A chat line raises IRC_RawData and then IRC_OnChat, inside one tick; a
// line without tags gives nil for them, one with tags their texts.
void ChatEvents(Test& t) {
    // A server that acknowledges server-time and account-tag, whose tags
    // count only then.
    const int port = t.peer.Listen();
    if (port == 0) return;
    const Results r = t.host.Call("Connect", "127.0.0.1", port, "qv", "u", "Ann Lee");
    if (!t.Check(r.count == 0, "irc.Connect gave %d results", r.count)) return;
    if (!t.peer.Accept() || !t.peer.Expect("CAP LS 302") || !t.peer.Expect("PASS pvrkqo618") ||
        !t.peer.Expect("NICK qv") || !t.peer.Expect("USER u u u :Ann Lee") ||
        !t.peer.Send(":srv CAP * LS :server-time account-tag\r\n") ||
        !t.peer.Expect("CAP REQ :server-time account-tag") ||
        !t.peer.Send(":srv CAP qv ACK :server-time account-tag\r\n") || !t.peer.Expect("CAP END"))
        return;
    const int from = t.host.events.Count();
    t.peer.Send(":alice!ali@example.net PRIVMSG #lobby :hi there\r\n");
    const int chat = t.WaitEvent("IRC_OnChat", from);
    if (chat < 0) return;
    t.Check(chat == from + 1, "%d events before IRC_OnChat, not 1", chat - from);
    t.CheckEvent(from, "IRC_RawData", ":alice!ali@example.net PRIVMSG #lobby :hi there", nullptr);
    t.CheckEvent(chat, "IRC_OnChat", "alice", "#lobby", "hi there", nullptr, nullptr);
    const unsigned tick = t.host.events[chat].tick;
    t.Check(tick != 0 && t.host.events[from].tick == tick, "the events were not raised inside one WM_TIMER tick");

    const int tagged = t.host.events.Count();
    t.peer.Send("@time=2026-12-09T20:00:00.000Z;account=al\\sice :alice!ali@example.net PRIVMSG #lobby :tagged\r\n");
    const int said = t.WaitEvent("IRC_OnChat", tagged);
    if (said < 0) return;
    t.CheckEvent(tagged, "IRC_RawData", ":alice!ali@example.net PRIVMSG #lobby :tagged",
                 "time=2026-12-09T20:00:00.000Z;account=al\\sice");
    t.CheckEvent(said, "IRC_OnChat", "alice", "#lobby", "tagged", "al ice", "2026-12-09T20:00:00.000Z");
}

void CtcpVersion(Test& t) {
    if (!t.ConnectToPeer()) return;
    t.peer.Send(":bob!b@example.net PRIVMSG quorvane :\x01VERSION\x01\r\n");
    t.peer.Expect("NOTICE bob :\x01VERSION quorvane, Version 1.2, Build 200, [Windows]\x01");
}

// The first write leaves half a line for a tick to find; it must wait for
// the rest rather than be dropped or raised alone.
void SplitLine(Test& t) {
    if (!t.ConnectToPeer()) return;
    const int from = t.host.events.Count();
    t.peer.Send(":alice!ali@example.net PRIVMSG #lobby :first half");
    const int ticks = t.tick_times.Count();
    t.Pump(150);
    t.Check(t.tick_times.Count() > ticks || t.PumpTicks(1), "no tick ran between the two writes");
    t.peer.Send(", second half\r\n");
    const int chat = t.WaitEvent("IRC_OnChat", from);
    if (chat < 0) return;
    t.CheckEvent(chat, "IRC_OnChat", "alice", "#lobby", "first half, second half", nullptr, nullptr);
    t.Check(t.host.events.Count() - from == 2, "%d events, not 2", t.host.events.Count() - from);
}

// The console echo passes server text as data, never as a format (a '%s'
// there would read arguments that do not exist), and irc.Debug(false), a
// flag through the interface, stops it.
void DebugEcho(Test& t) {
    if (!t.ConnectToPeer()) return;
    const int sent = t.host.events.Count();
    t.peer.Send(":irc.example.net 372 quorvane :- 100%s %d\r\n");
    if (t.WaitEvent("IRC_RawData", sent) < 0) return;
    t.Check(Contains(t.host.console.c_str(), "LINE: :irc.example.net 372 quorvane :- 100%s %d\n"),
            "no console echo of the line: '%s'", Escaped(t.arena, t.host.console.c_str()));
    t.host.Call("Debug", false);
    const int from = t.host.events.Count();
    t.peer.Send(":irc.example.net 372 quorvane :- quiet\r\n");
    if (t.WaitEvent("IRC_RawData", from) < 0) return;
    t.Check(!Contains(t.host.console.c_str(), "quiet"), "echoed after irc.Debug(false)");
}

// A line break in chat text never starts a command of its own.
void SendMessageLines(Test& t) {
    if (!t.ConnectToPeer()) return;
    t.host.Call("SendMessage", "#lobby", "one\r\nQUIT :two");
    t.host.Call("SendRaw", "MARK");
    t.peer.Expect("PRIVMSG #lobby :one");
    t.peer.Expect("PRIVMSG #lobby :QUIT :two");
    t.peer.Expect("MARK");
}

void ConnectWhileConnected(Test& t) {
    if (!t.ConnectToPeer()) return;
    const Results r = t.host.Call("Connect", "127.0.0.1", 6667, "other", "u", "Ann Lee");
    t.Check(r.count == 1 && Same(r.text[0], "Invalid Socket!"), "the second irc.Connect gave %d results ('%s')",
            r.count, r.count > 0 ? r.text[0] : "");
    t.Check(Contains(t.host.console.c_str(), "[quorvane] !! Globals::client is invalid!!\n"),
            "no console line for the refused connect");
    t.peer.Quiet(300);  // and nothing went out on the live link
}

void ReconnectAfterServerClosed(Test& t) {
    if (!t.ConnectToPeer()) return;
    t.peer.Drop();
    t.PumpTicks(2);  // one of them finds the link closed
    if (!t.ConnectToPeer("again")) return;
    t.peer.Send("PING :new link\r\n");
    t.peer.Expect("PONG :new link");
}

void CloseQuits(Test& t) {
    if (!t.ConnectToPeer()) return;
    t.host.Call("Close");
    t.peer.Expect("QUIT :Leaving");
    t.peer.Eof();
}

// Lines that come steadily are each handled as they come, woken by the
// socket, while the timer keeps its period. Bounds are wide (the machine is
// shared); a period of 1 s or of a few ms would fall outside.
void PollPeriod(Test& t) {
    if (!t.ConnectToPeer()) return;
    const int from = t.host.events.Count();
    const int timers_from = t.tick_times.Count();
    t.peer.Trickle(20, 75, ":irc.example.net 372 quorvane :- steady");
    t.Pump(1500);
    int woken = 0, lines = 0;
    for (int i = from; i < t.host.events.Count(); ++i) {
        if (!Same(t.host.events[i].name, "IRC_RawData")) continue;
        ++lines;
        woken += t.host.events[i].woken ? 1 : 0;
    }
    List<double> timers(t.arena);
    for (int i = timers_from; i < t.tick_times.Count(); ++i) timers.Add(t.tick_times[i]);
    const double period = MedianGap(timers);
    t.Note("%d of %d lines woke the poll; WM_TIMER every %d ms", woken, lines, static_cast<int>(period));
    t.Check(lines >= 20, "only %d lines arrived in 1.5 s", lines);
    t.Check(woken * 2 > lines, "only %d of %d lines were handled on a wake", woken, lines);
    t.Check(period >= 50 && period <= 400, "poll period %d ms, not about 100 ms", static_cast<int>(period));
}

// A line is handled as the socket says it came, not at the next WM_TIMER;
// an idle link wakes nobody.
void SocketWakes(Test& t) {
    if (!t.ConnectToPeer()) return;
    t.PumpTicks(1);
    t.Pump(300);
    const int idle_wakes = t.wake_times.Count();
    t.Pump(300);
    t.Check(t.wake_times.Count() == idle_wakes, "an idle link woke the poll %d times",
            t.wake_times.Count() - idle_wakes);
    t.PumpTicks(1);
    const int timers = t.tick_times.Count();
    const int from = t.host.events.Count();
    t.peer.Send("PING :woken\r\n");
    if (!t.peer.Expect("PONG :woken")) return;
    const int at = t.WaitEvent("IRC_RawData", from);
    if (at < 0) return;
    t.Check(t.host.events[at].woken, "the PING was handled by a WM_TIMER, not a wake");
    t.Note("%d WM_TIMER between the PING and its handling", t.tick_times.Count() - timers);
}

// Unloaded while the socket's message waits in the queue, undispatched,
// and while a connect and a TLS handshake are under way: no message may
// reach the unloaded code (the pump fails on any to a window still there).
void UnloadWithWakeQueued(Test& t) {
    if (!t.ConnectToPeer()) return;
    // In the background, after the peer's reply: while the PING comes, and
    // its socket message is posted, nothing pumps; the message waits.
    t.peer.Trickle(100, 1, "PING :queued");
    Sleep(400);
    MSG queued;
    const bool waiting = PeekMessageA(&queued, nullptr, 0, 0, PM_NOREMOVE) != 0 && queued.hwnd != nullptr;
    t.Note(waiting ? "a socket message was queued at the unload" : "no socket message queued at the unload");
    t.Unload();
    t.peer.Eof();
    t.Pump(350);
    // Mid-connect, mid-lookup (by name), mid-handshake (a peer that never
    // speaks TLS).
    const char* const hosts[] = {"127.0.0.1", "localhost", "127.0.0.1"};
    for (int i = 0; i < 3; ++i) {
        if (!t.Load()) return;
        const bool tls = i == 2;
        const int port = tls ? t.peer.Listen() : t.peer.Silent();
        t.host.Call("Connect", hosts[i], port, "qv", "u", "Ann Lee", tls);
        if (tls) t.peer.Accept();
        t.Pump(50);
        t.Unload();
        t.Pump(250);
    }
}

// Every received line goes to the debugger through OutputDebugStringA.
void DebuggerTrace(Test& t) {
    if (!t.ConnectToPeer()) return;
    t.peer.Send("PING :traced\r\n");
    t.peer.Expect("PONG :traced");
    bool found = false;
    for (int i = 0; i < t.host.trace.Count(); ++i) found = found || Same(t.host.trace[i], "[PROCESS LINE CALL] PING :traced\n");
    t.Check(found, "no debugger trace of the PING among %d trace lines", t.host.trace.Count());
}

// The host may unload the module while it is connected and its timer runs:
// the link closes and no tick follows (the pump fails on any).
void UnloadWhileConnected(Test& t) {
    if (!t.ConnectToPeer()) return;
    t.peer.Send("PING :before\r\n");
    t.peer.Expect("PONG :before");
    t.Unload();
    t.peer.Eof();
    t.Pump(350);
}

// irc.Connect returns at once; how the attempt ends comes from a tick, once,
// as IRC_Disconnected with the console line of a failed connect.
int ConnectFails(Test& t, const Results& r, const char* why, int ms = 5000) {
    if (!t.Check(r.count == 0, "irc.Connect gave '%s' instead of returning at once", r.count > 0 ? r.text[0] : ""))
        return -1;
    const int lost = t.WaitEvent("IRC_Disconnected", t.host.events.Count(), ms);
    if (lost < 0) return lost;
    t.CheckEvent(lost, "IRC_Disconnected", t.arena.Format("Connect failed: %s", why));
    t.Check(Contains(t.host.console.c_str(), t.arena.Format("[quorvane] !! Connect failed: %s\n", why)),
            "no console line for the failed connect");
    return lost;
}

// A server that never answers: the attempt ends after 10 s, and the host's
// ticks go on meanwhile; the next Connect starts afresh.
void BoundedConnect(Test& t) {
    const int port = t.peer.Silent();
    if (port == 0) return;
    const double start = NowMs();
    const Results r = t.host.Call("Connect", "127.0.0.1", port, "quorvane", "u", "Ann Lee");
    const int returned = static_cast<int>(NowMs() - start);
    const int ticks = t.tick_times.Count();
    if (ConnectFails(t, r, "Timed out after 10 s", 15000) < 0) return;
    const int took = static_cast<int>(NowMs() - start);
    double longest = 0;
    for (int i = ticks + 1; i < t.tick_times.Count(); ++i)
        if (t.tick_times[i] - t.tick_times[i - 1] > longest) longest = t.tick_times[i] - t.tick_times[i - 1];
    t.Note("irc.Connect returned after %d ms, gave up after %d ms; longest gap between ticks %d ms", returned, took,
           static_cast<int>(longest));
    t.Check(took >= 9000 && took <= 15000, "the attempt on a silent listener took %d ms, not about 10 s", took);
    t.Check(longest < 1000, "the host stalled %d ms between ticks while connecting", static_cast<int>(longest));
    t.ConnectToPeer();
}

// Failures the system knows at once still come from a tick; a port of 0
// (what a port that is no number reads as) is refused by the call itself.
void ConnectRefused(Test& t) {
    if (!t.peer.Command("REFUSED", nullptr, nullptr)) return;
    const int port = ReplyNumber(t.peer.reply);
    ConnectFails(t, t.host.Call("Connect", "127.0.0.1", port, "quorvane", "u", "Ann Lee"), "Connection refused");
    ConnectFails(t, t.host.Call("Connect", "no-such-host.invalid", port, "quorvane", "u", "Ann Lee"), "Name not resolved");
    ConnectFails(t, t.host.Call("Connect", "bad\xff.invalid", port, "quorvane", "u", "Ann Lee"), "Name not resolved");
    const Results zero = t.host.Call("Connect", "127.0.0.1", 0, "quorvane", "u", "Ann Lee");
    t.Check(zero.count == 1 && Same(zero.text[0], "Connect failed: Port out of range"), "port 0 gave '%s'",
            zero.count > 0 ? zero.text[0] : "");
}

// An IPv6 literal, in brackets as in a URL.
void Ipv6Loopback(Test& t) {
    if (!t.peer.Command("LISTEN", "ipv6", nullptr)) return;
    const Results r = t.host.Call("Connect", "[::1]", ReplyNumber(t.peer.reply), "qv6", "u", "Ann Lee");
    if (!t.Check(r.count == 0, "irc.Connect to [::1] gave '%s'", r.count > 0 ? r.text[0] : "")) return;
    if (!t.peer.Accept() || !t.peer.ExpectRegistration("qv6")) return;
    t.host.Call("Close");
    t.peer.Await("QUIT :Leaving");
}

// A name whose first address (::1) drops packets and whose second
// (127.0.0.1, the same port) answers: the link comes up through the second
// 250 ms on, well within the 10 s bound. The name is the peer's,
// from a private hosts file (root only); without one it is not tried.
void SecondAddress(Test& t) {
    if (!t.peer.Command("DUAL", nullptr, nullptr)) return;
    const int port = ReplyNumber(t.peer.reply);
    const char* name = t.peer.reply;
    while (*name != '\0' && *name != ' ') ++name;
    while (*name == ' ') ++name;
    if (*name == '\0') {
        t.Note("not tried: no hosts file of our own here (needs root and unshare)");
        return;
    }
    const int from = t.host.events.Count();
    const double start = NowMs();
    const Results r = t.host.Call("Connect", name, port, "qv", "u", "Ann Lee");
    if (!t.Check(r.count == 0, "irc.Connect to %s gave '%s'", name, r.count > 0 ? r.text[0] : "")) return;
    if (!t.peer.Accept(8000) || !t.peer.ExpectRegistration()) return;
    t.Note("%s: the registration came through 127.0.0.1 %d ms after irc.Connect", name,
           static_cast<int>(NowMs() - start));
    // The peer's answer to the registration (its 421 to CAP, its welcome)
    // may already have woken the poll; nothing else may have been raised.
    const char* const answers[] = {":srv 421 qv CAP :Unknown command", ":srv 001 qv :Welcome"};
    int early = from;
    for (const char* answer : answers)
        if (early < t.host.events.Count() && Same(t.host.events[early].name, "IRC_RawData") &&
            Same(t.host.events[early].args[0], answer))
            ++early;
    t.Check(t.host.events.Count() == early, "an event while connecting: %s",
            early < t.host.events.Count() ? t.host.events[early].name : "");
    t.host.Call("Close");
    t.peer.Await("QUIT :Leaving");

    // A name in UTF-8 reaches the resolver whole, not byte by byte.
    const Results idn = t.host.Call("Connect", "b\xc3\xbc" "cher.quorvane.test", port, "qv", "u", "Ann Lee");
    if (!t.Check(idn.count == 0, "irc.Connect to the IDN gave '%s'", idn.count > 0 ? idn.text[0] : "")) return;
    if (!t.peer.Accept(8000) || !t.peer.ExpectRegistration()) return;
    t.host.Call("Close");
    t.peer.Await("QUIT :Leaving");
}

// A link the server ends is told to the scripts once, from a tick.
void LostLink(Test& t) {
    if (!t.ConnectToPeer()) return;
    t.peer.Drop();
    const int lost = t.WaitEvent("IRC_Disconnected");
    if (lost < 0) return;
    t.CheckEvent(lost, "IRC_Disconnected", "Connection closed by the server");
    t.Check(t.host.events[lost].tick != 0, "IRC_Disconnected was not raised from a tick");
    t.Pump(300);
    t.Check(t.host.events.Count() == lost + 1, "more events after the loss");
}

// PONGs to a server that stops reading queue up: no send waits, the host
// keeps ticking, and once the server reads again they arrive whole and in
// order.
void StalledPeerCatchesUp(Test& t) {
    if (!t.ConnectToPeer()) return;
    if (!t.peer.Command("PINGS", "600 1000", nullptr)) return;
    const int ticks = t.tick_times.Count();
    t.Pump(1000);
    t.Check(t.tick_times.Count() - ticks >= 5, "only %d ticks in 1 s while PONGs wait", t.tick_times.Count() - ticks);
    t.peer.Command("PONGS", "20000 600 1000", nullptr, 20000);
}

// One that reads nothing at all while more than 1 MiB waits is dropped,
// and the host never stops for it.
void StalledPeerIsDropped(Test& t) {
    if (!t.ConnectToPeer()) return;
    if (!t.peer.Command("PINGS", "20000 1000", nullptr)) return;
    const int lost = t.WaitEvent("IRC_Disconnected", 0, 30000);
    if (lost < 0) return;
    const char* why = t.host.events[lost].args[0];
    t.Check(why != nullptr && Contains(why, "1 MiB"), "the link was lost for '%s'", why != nullptr ? why : "");
}

// While lines wait that a tick's budget did not reach, the poll comes back
// soon; a tick whose handler takes longer than the budget handles one line.
void BacklogPeriod(Test& t) {
    if (!t.ConnectToPeer()) return;
    t.host.on_event = [](Host&, const Event&) { Sleep(6); };
    const int from = t.host.events.Count();
    const char* burst = "";
    for (int i = 0; i < 40; ++i) burst = t.arena.Format("%sline %d\r\n", burst, i);
    t.peer.Send(burst);
    for (int i = 0; i < 300 && t.host.events.Count() < from + 40; ++i) t.PumpOnce(20);
    t.host.on_event = nullptr;
    const List<double> ticks = TicksThatRaised(t, "IRC_RawData", from);
    const double period = MedianGap(ticks);
    t.Note("backlog period %d ms (median of %d ticks)", static_cast<int>(period), ticks.Count());
    t.Check(t.host.events.Count() == from + 40, "%d of 40 lines arrived", t.host.events.Count() - from);
    t.Check(ticks.Count() == 40, "40 lines took %d ticks, not one each", ticks.Count());
    t.Check(period > 0 && period <= 50, "ticks %d ms apart while lines waited, not about 10 ms", static_cast<int>(period));
}

// The text after `marker` in the console, up to the line's end.
const char* ConsoleAfter(Test& t, const char* marker);

// The fingerprint of the certificate a TLS listener presents, as openssl
// prints it; null when the peer cannot say.
const char* ServerCert(Test& t) {
    return t.peer.Command("SERVERCERT", nullptr, nullptr) ? t.arena.Copy(t.peer.reply) : nullptr;
}

// TLS through Schannel: a self-signed server is refused with `true`, and
// taken with "insecure", which names on the console the certificate it
// took, for the user to pin; then registration and chat go as on plain TCP.
void TlsChat(Test& t) {
    if (!t.peer.Command("LISTEN", "tls", nullptr)) return;
    ConnectFails(t, t.host.Call("Connect", "127.0.0.1", ReplyNumber(t.peer.reply), "qv", "u", "Ann Lee", true),
                 "certificate not trusted");
    const char* fingerprint = ServerCert(t);
    if (fingerprint == nullptr || !t.peer.Command("LISTEN", "tls", nullptr)) return;
    const Results r = t.host.Call("Connect", "127.0.0.1", ReplyNumber(t.peer.reply), "qv", "u", "Ann Lee", "insecure");
    if (!t.Check(r.count == 0, "insecure TLS gave '%s'", r.count > 0 ? r.text[0] : "")) return;
    if (!t.peer.Accept() || !t.peer.ExpectRegistration()) return;
    const char* named = ConsoleAfter(t, "the server's certificate has the SHA-256 fingerprint ");
    t.Check(Same(named, t.arena.Format("%s (irc.Connect takes it in place of \"insecure\" to pin it)", fingerprint)),
            "the console named the certificate '%s', the server's is %s", named, fingerprint);
    const int from = t.host.events.Count();
    t.peer.Send("PING :secure\r\n:alice!a@h PRIVMSG #lobby :hi over TLS\r\n");
    t.peer.Expect("PONG :secure");
    const int chat = t.WaitEvent("IRC_OnChat", from);
    if (chat >= 0) t.CheckEvent(chat, "IRC_OnChat", "alice", "#lobby", "hi over TLS", nullptr, nullptr);
    t.host.Call("Close");
    t.peer.Expect("QUIT :Leaving");
}

// By name, the name goes in the TLS hello (SNI), so a server that hosts
// several can hand out the right certificate.
void TlsByName(Test& t) {
    if (!t.peer.Command("LISTEN", "tls", nullptr)) return;
    Results r = t.host.Call("Connect", "localhost", ReplyNumber(t.peer.reply), "qv", "u", "Ann Lee", "insecure");
    if (!t.Check(r.count == 0, "insecure TLS to localhost gave '%s'", r.count > 0 ? r.text[0] : "")) return;
    if (!t.peer.Accept() || !t.peer.Command("SNI", nullptr, nullptr)) return;
    t.Check(Same(t.peer.reply, "localhost"), "the server got the name '%s'", t.peer.reply != nullptr ? t.peer.reply : "");
    // The server is done with the handshake a step before the module is:
    // a PONG shows the link is up, so the Close below ends a link, not an
    // attempt (which would go quietly).
    t.peer.Send("PING :named\r\n");
    if (!t.peer.Await("PONG :named")) return;
    t.host.Call("Close");
    t.peer.Await("QUIT :Leaving");
}

// A pinned link takes the self-signed certificate whose fingerprint it was
// given, by a name the certificate does not bear, and registers as usual.
void TlsPinned(Test& t) {
    const char* fingerprint = ServerCert(t);
    if (fingerprint == nullptr || !t.peer.Command("LISTEN", "tls", nullptr)) return;
    const Results r = t.host.Call("Connect", "localhost", ReplyNumber(t.peer.reply), "qv", "u", "Ann Lee", fingerprint);
    if (!t.Check(r.count == 0, "pinned TLS gave '%s'", r.count > 0 ? r.text[0] : "") || !t.peer.Accept() ||
        !t.peer.ExpectRegistration())
        return;
    t.host.Call("Close");
    t.peer.Await("QUIT :Leaving");
}

// The server shows another certificate than the one pinned: the connect
// fails naming the one shown, before our side of the handshake answers, so
// no line and not our certificate, which the server asked for, goes out.
// The same for a server the system does not trust.
void TlsPinMismatch(Test& t) {
    if (!t.peer.Command("CLIENTCERT", nullptr, nullptr)) return;
    const Results set = t.host.Call("SetClientCert", t.arena.Copy(t.peer.reply), "s3cret");
    if (!t.Check(set.count == 0, "irc.SetClientCert gave '%s'", set.count > 0 ? set.text[0] : "")) return;
    const char* shown = ServerCert(t);
    if (shown == nullptr || !t.peer.Command("LISTEN", "tls ask", nullptr)) return;
    char* pinned = const_cast<char*>(t.arena.Copy(shown));
    pinned[0] = pinned[0] == '0' ? '1' : '0';
    ConnectFails(t, t.host.Call("Connect", "127.0.0.1", ReplyNumber(t.peer.reply), "qv", "u", "Ann Lee", pinned),
                 t.arena.Format("certificate fingerprint mismatch (the server's: %s)", shown));
    if (t.peer.Command("SHOWN", "5000", nullptr))
        t.Check(Same(t.peer.reply, "none"), "the impostor saw our certificate %s", t.peer.reply);
    if (!t.peer.Command("LISTEN", "tls ask", nullptr)) return;
    ConnectFails(t, t.host.Call("Connect", "127.0.0.1", ReplyNumber(t.peer.reply), "qv", "u", "Ann Lee", true),
                 "certificate not trusted");
    if (t.peer.Command("SHOWN", "5000", nullptr))
        t.Check(Same(t.peer.reply, "none"), "the untrusted server saw our certificate %s", t.peer.reply);
    t.host.Call("SetClientCert");
}

// A SASL PLAIN login while registering, then a refused one: the refusal
// sends QUIT and is reported once as IRC_Disconnected. Neither the console
// nor the debugger trace ever shows the password or its base64.
bool SaslRegistration(Test& t, const char* password, const char* mechanism = "PLAIN") {
    const int port = t.peer.Listen();
    if (port == 0) return false;
    t.host.Call("SetSASL", "acct", password, mechanism);
    const Results r = t.host.Call("Connect", "127.0.0.1", port, "qv", "u", "Ann Lee");
    if (!t.Check(r.count == 0, "irc.Connect gave '%s'", r.count > 0 ? r.text[0] : "")) return false;
    return t.peer.Accept() && t.peer.Expect("CAP LS 302") && t.peer.Expect("PASS pvrkqo618") &&
           t.peer.Expect("NICK qv") && t.peer.Expect("USER u u u :Ann Lee");
}

void SaslLogin(Test& t) {
    if (!SaslRegistration(t, "s3cr3t")) return;
    t.peer.Send(":srv CAP * LS * :invite-notify\r\n:srv CAP * LS :sasl=PLAIN,EXTERNAL\r\n");
    if (!t.peer.Expect("CAP REQ :sasl")) return;
    t.peer.Send(":srv CAP qv ACK :sasl\r\n");
    if (!t.peer.Expect("AUTHENTICATE PLAIN")) return;
    t.peer.Send("AUTHENTICATE +\r\n");
    if (!t.peer.Expect("AUTHENTICATE YWNjdABhY2N0AHMzY3IzdA==")) return;
    t.peer.Send(":srv 900 qv qv!u@h acct :You are now logged in as acct\r\n:srv 903 qv :SASL authentication successful\r\n");
    if (!t.peer.Expect("CAP END")) return;
    t.host.Call("Close");
    t.peer.Expect("QUIT :Leaving");

    if (!SaslRegistration(t, "wrong")) return;
    const int from = t.host.events.Count();
    t.peer.Send(":srv CAP * LS :sasl\r\n");
    t.peer.Expect("CAP REQ :sasl");
    t.peer.Send(":srv CAP qv ACK :sasl\r\n");
    t.peer.Expect("AUTHENTICATE PLAIN");
    t.peer.Send("AUTHENTICATE +\r\n");
    t.peer.Expect("AUTHENTICATE YWNjdABhY2N0AHdyb25n");
    t.peer.Send(":srv 904 qv :SASL authentication failed\r\n");
    t.peer.Expect("QUIT :SASL login failed");
    const int lost = t.WaitEvent("IRC_Disconnected", from);
    if (lost >= 0) t.CheckEvent(lost, "IRC_Disconnected", "SASL login failed: PLAIN refused by the server: SASL authentication failed");
    t.PumpTicks(2);
    int reports = 0;
    for (int i = from; i < t.host.events.Count(); ++i) reports += Same(t.host.events[i].name, "IRC_Disconnected");
    t.Check(reports == 1, "IRC_Disconnected raised %d times", reports);

    t.Check(Contains(t.host.console.c_str(), "[quorvane] !! SASL over an unencrypted link"), "no plain-TCP warning");
    static const char* const kSecrets[] = {"s3cr3t", "YWNjdABhY2N0AHMzY3IzdA==", "wrong", "YWNjdABhY2N0AHdyb25n"};
    bool masked = false;
    for (const char* secret : kSecrets)
        t.Check(!Contains(t.host.console.c_str(), secret), "the console shows '%s'", secret);
    for (int i = 0; i < t.host.trace.Count(); ++i) {
        for (const char* secret : kSecrets)
            t.Check(!Contains(t.host.trace[i], secret), "the trace shows '%s'", secret);
        masked = masked || Contains(t.host.trace[i], "AUTHENTICATE ****");
    }
    t.Check(masked, "the trace does not show the masked AUTHENTICATE");
}

// SCRAM-SHA-256 through BCrypt: the peer plays RFC 7677's server (its
// salt, count and password) and takes only the proof its own sums give;
// then a server whose signature is wrong is aborted, never a login.
bool ScramUpToProof(Test& t, const char* how, const char* password = "pencil") {
    if (!SaslRegistration(t, password, "scram-sha-256")) return false;
    t.peer.Send(":srv CAP * LS :sasl=PLAIN,SCRAM-SHA-256\r\n");
    if (!t.peer.Expect("CAP REQ :sasl")) return false;
    t.peer.Send(":srv CAP qv ACK :sasl\r\n");
    if (!t.peer.Expect("AUTHENTICATE SCRAM-SHA-256")) return false;
    t.peer.Send("AUTHENTICATE +\r\n");
    return t.peer.Command("SCRAM", how, nullptr, 5000);
}

void ScramLogin(Test& t) {
    if (!ScramUpToProof(t, "5000")) return;
    if (!t.peer.Expect("AUTHENTICATE +")) return;
    t.peer.Send(":srv 900 qv qv!u@h acct :You are now logged in as acct\r\n:srv 903 qv :SASL authentication successful\r\n");
    if (!t.peer.Expect("CAP END")) return;
    t.host.Call("Close");
    t.peer.Expect("QUIT :Leaving");

    const int from = t.host.events.Count();
    if (!ScramUpToProof(t, "5000 lie")) return;
    t.peer.Expect("AUTHENTICATE *");
    t.peer.Expect("QUIT :SASL login failed");
    const int lost = t.WaitEvent("IRC_Disconnected", from);
    if (lost >= 0)
        t.CheckEvent(lost, "IRC_Disconnected",
                     "SASL login failed: the server did not prove it knows the password (wrong SCRAM signature)");
    t.Check(!Contains(t.host.console.c_str(), "pencil"), "the console shows the password");
    for (int i = 0; i < t.host.trace.Count(); ++i)
        t.Check(!Contains(t.host.trace[i], "pencil"), "the trace shows the password");
}

// SASLprep through NormalizeString and the RFC's tables: "pencil" typed in
// full-width letters with a soft hyphen is RFC 7677's own password to the
// peer; an unassigned code point is taken (a query); a control character
// fails the login before anything is sent.
void ScramSaslPrep(Test& t) {
    if (!ScramUpToProof(t, "5000", "\xEF\xBD\x90\xEF\xBD\x85\xEF\xBD\x8E\xC2\xAD\xEF\xBD\x83\xEF\xBD\x89\xEF\xBD\x8C"))
        return;
    if (!t.peer.Expect("AUTHENTICATE +")) return;
    t.peer.Send(":srv 900 qv qv!u@h acct :You are now logged in as acct\r\n:srv 903 qv :SASL authentication successful\r\n");
    if (!t.peer.Expect("CAP END")) return;
    t.host.Call("Close");
    t.peer.Expect("QUIT :Leaving");

    if (!SaslRegistration(t, "pencil\xCD\xB8", "scram-sha-256")) return;  // U+0378
    t.host.Call("Close");

    const int from = t.host.events.Count();
    const int port = t.peer.Listen();
    if (port == 0) return;
    t.host.Call("SetSASL", "acct", "pen\acil", "scram-sha-256");
    const Results r = t.host.Call("Connect", "127.0.0.1", port, "qv", "u", "Ann Lee");
    if (!t.Check(r.count == 0, "irc.Connect gave '%s'", r.count > 0 ? r.text[0] : "")) return;
    const int lost = t.WaitEvent("IRC_Disconnected", from);
    if (lost >= 0)
        t.CheckEvent(lost, "IRC_Disconnected",
                     "SASL login failed: the password holds a character SASLprep (RFC 4013) prohibits (a control, "
                     "private-use, formatting or tag character, or a non-character)");
}

int Notices(Test& t, const char* notice) {
    int notices = 0;
    for (const char* p = t.host.console.c_str(); *p != '\0'; ++p) {
        int i = 0;
        while (notice[i] != '\0' && p[i] == notice[i]) ++i;
        notices += notice[i] == '\0';
    }
    return notices;
}

// A fault inside a tick (here a handler's access violation, which the
// message loop's DispatchMessage swallows) ends the tick without unwinding
// it. The poll must not stay deaf: the next tick says once that the last
// one ended abnormally, and lines are handled again. So for a tick of the
// poll's timer and for one the socket woke: the host lives through both.
void FaultInTick(Test& t) {
    if (!t.ConnectToPeer()) return;
    const char* notice = "[quorvane] !! the previous poll ended abnormally\n";
    // A first line slower than the budget leaves the rest to the backlog's
    // ticks, which the timer runs.
    t.host.on_event = [](Host& host, const Event& e) {
        if (e.woken) return Sleep(6);
        host.on_event = nullptr;
        RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
    };
    int from = t.host.events.Count();
    t.peer.Send(":alice!ali@example.net PRIVMSG #lobby :slow\r\n:alice!ali@example.net PRIVMSG #lobby :boom\r\n");
    // Pumped from as deep as the PumpTicks below: a tick the fault ended
    // is known gone only to a loop no deeper than the one that ran it.
    for (int i = 0; i < 300 && t.host.on_event != nullptr; ++i) t.PumpTicks(1, 10);
    if (!t.Check(t.host.on_event == nullptr, "no timer's tick took a line")) return;
    if (t.WaitEvent("IRC_RawData", from) < 0) return;
    t.PumpTicks(2);
    t.peer.Send("PING :after\r\n");
    if (!t.peer.Expect("PONG :after")) return;
    t.peer.Send("PING :again\r\n");
    if (!t.peer.Expect("PONG :again")) return;
    t.Check(Notices(t, notice) == 1, "the console told of the faulted timer's tick %d times, not once",
            Notices(t, notice));
    bool traced = false;
    for (int i = 0; i < t.host.trace.Count(); ++i) traced = traced || Contains(t.host.trace[i], "ended abnormally");
    t.Check(traced, "no debugger trace of the faulted tick");

    // A line the timer's tick took before its wake did is sent again.
    t.host.on_event = [](Host& host, const Event& e) {
        if (!e.woken) return;
        host.on_event = nullptr;
        RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr);
    };
    for (int sent = 0; sent < 20 && t.host.on_event != nullptr; ++sent) {
        from = t.host.events.Count();
        // In the background, so it is handled in the loop below.
        t.peer.Trickle(50, 1, ":alice!ali@example.net PRIVMSG #lobby :woken boom");
        for (int i = 0; i < 300 && t.host.events.Count() == from; ++i) t.PumpTicks(1, 10);
    }
    if (!t.Check(t.host.on_event == nullptr, "no woken tick took a line")) return;
    t.PumpTicks(2);
    t.peer.Send("PING :after wake\r\n");
    if (!t.peer.Expect("PONG :after wake")) return;
    t.Check(Notices(t, notice) == 2, "the console told of the faulted woken tick %d times, not once",
            Notices(t, notice) - 1);
}

// UTF-8 both ways once asked for: text in UTF-8 reaches the script as it
// came, Windows-1252 text becomes UTF-8, and the script's UTF-8 goes out
// whole; a byte that is no character goes out as '?'.
void Utf8RoundTrip(Test& t) {
    if (!t.ConnectToPeer()) return;
    t.host.Call("SetUTF8", true);
    const int from = t.host.events.Count();
    t.peer.Send(":alice!a@h PRIVMSG #lobby :caf\xc3\xa9 \xe2\x82\xac\r\n:bob!b@h PRIVMSG #lobby :caf\xe9 \x80\r\n");
    const int first = t.WaitEvent("IRC_OnChat", from);
    const int second = first < 0 ? -1 : t.WaitEvent("IRC_OnChat", first + 1);
    if (second < 0) return;
    t.CheckEvent(first, "IRC_OnChat", "alice", "#lobby", "caf\xc3\xa9 \xe2\x82\xac", nullptr, nullptr);
    t.CheckEvent(second, "IRC_OnChat", "bob", "#lobby", "caf\xc3\xa9 \xe2\x82\xac", nullptr, nullptr);
    t.host.Call("SendMessage", "#lobby", "Gr\xc3\xbc\xc3\x9f\x65 \xff");
    t.peer.Expect("PRIVMSG #lobby :Gr\xc3\xbc\xc3\x9f\x65 ?");
    t.host.Call("SetUTF8", false);
}

// ---- Client certificates and servers that ask for one ----------------------

// The module's calls of InitializeSecurityContextA, seen through its import
// table: each status, and the flags it asked with. With `ask_once`, the first
// call that carries the server's bytes is answered as Windows documents for
// a server that asks for a certificate Schannel will not choose by itself:
// SEC_I_INCOMPLETE_CREDENTIALS, the input left unread and nothing to send.
// (Wine's Schannel answers such a server by itself and never says so.)
struct SecuritySpy {
    using Isc = SECURITY_STATUS(SEC_ENTRY*)(PCredHandle, PCtxtHandle, SEC_CHAR*, ULONG, ULONG, ULONG, PSecBufferDesc,
                                            ULONG, PCtxtHandle, PSecBufferDesc, PULONG, PTimeStamp);
    Isc real = nullptr;
    bool ask_once = false;
    int calls = 0;
    SECURITY_STATUS status[32] = {};
    ULONG flags[32] = {};
};
constinit SecuritySpy spy;

SECURITY_STATUS SEC_ENTRY SpyOnIsc(PCredHandle cred, PCtxtHandle ctx, SEC_CHAR* target, ULONG request, ULONG r1,
                                   ULONG rep, PSecBufferDesc in, ULONG r2, PCtxtHandle next, PSecBufferDesc out,
                                   PULONG attributes, PTimeStamp expiry) {
    SECURITY_STATUS status;
    if (spy.ask_once && in != nullptr && in->cBuffers > 0 && in->pBuffers[0].cbBuffer > 0) {
        spy.ask_once = false;
        status = SEC_I_INCOMPLETE_CREDENTIALS;
    } else {
        status = spy.real(cred, ctx, target, request, r1, rep, in, r2, next, out, attributes, expiry);
    }
    if (spy.calls < 32) {
        spy.status[spy.calls] = status;
        spy.flags[spy.calls] = request;
    }
    ++spy.calls;
    return status;
}

bool WatchSecurityCalls(Test& t, bool ask_once) {
    spy.ask_once = ask_once;
    spy.calls = 0;
    void* original = t.PatchImport("secur32.dll", "InitializeSecurityContextA", reinterpret_cast<void*>(&SpyOnIsc));
    // Watched already since this load: the spy stays in front of the real one.
    if (original != reinterpret_cast<void*>(&SpyOnIsc)) spy.real = reinterpret_cast<SecuritySpy::Isc>(original);
    return original != nullptr;
}

// The statuses seen, in hex, for the log.
const char* SecurityStatuses(Test& t) {
    Text text(t.arena);
    for (int i = 0; i < spy.calls && i < 32; ++i) {
        char hex[10] = {};
        for (int k = 0; k < 8; ++k) hex[k] = "0123456789abcdef"[(static_cast<unsigned long>(spy.status[i]) >> (28 - 4 * k)) & 15];
        hex[8] = i + 1 < spy.calls ? ' ' : '\0';
        text.Append(hex);
    }
    return t.arena.Copy(text.c_str());
}

// irc.Connect, TLS without the certificate check, to a fresh TLS listener
// ("ask": it asks for a client certificate; "require": it insists); true
// once the registration has arrived.
bool TlsRegistration(Test& t, const char* listen) {
    if (!t.peer.Command("LISTEN", listen, nullptr)) return false;
    const Results r = t.host.Call("Connect", "127.0.0.1", ReplyNumber(t.peer.reply), "qv", "u", "Ann Lee", "insecure");
    return t.Check(r.count == 0, "irc.Connect gave '%s'", r.count > 0 ? r.text[0] : "") && t.peer.Accept() &&
           t.peer.ExpectRegistration();
}

// A server that asks for a certificate when none is set: the handshake goes
// on without one.
void TlsServerAsks(Test& t) {
    if (!WatchSecurityCalls(t, false) || !TlsRegistration(t, "tls ask")) return;
    if (t.peer.Command("PEERCERT", nullptr, nullptr))
        t.Check(Same(t.peer.reply, "none"), "the server got a certificate: %s", t.peer.reply);
    t.Note("InitializeSecurityContextA, a server that asks, none set: %s", SecurityStatuses(t));
    t.host.Call("Close");
    t.peer.Await("QUIT :Leaving");
}

// The same as Windows tells it: Schannel asks the module to choose. The
// server's bytes are offered again, with ISC_REQ_USE_SUPPLIED_CREDS, and
// the handshake goes on.
void TlsIncompleteCredentials(Test& t) {
    if (!WatchSecurityCalls(t, true) || !TlsRegistration(t, "tls ask")) return;
    t.Note("InitializeSecurityContextA, SEC_I_INCOMPLETE_CREDENTIALS once: %s", SecurityStatuses(t));
    int asked = -1;
    for (int i = 0; i < spy.calls && i < 32 && asked < 0; ++i)
        if (spy.status[i] == SEC_I_INCOMPLETE_CREDENTIALS) asked = i;
    if (t.Check(asked >= 0 && asked + 1 < spy.calls && asked + 1 < 32, "no call after SEC_I_INCOMPLETE_CREDENTIALS"))
        t.Check((spy.flags[asked + 1] & ISC_REQ_USE_SUPPLIED_CREDS) != 0,
                "the call after SEC_I_INCOMPLETE_CREDENTIALS did not ask ISC_REQ_USE_SUPPLIED_CREDS");
    t.host.Call("Close");
    t.peer.Await("QUIT :Leaving");
}

// The text after `marker` in the console, up to the line's end.
const char* ConsoleAfter(Test& t, const char* marker) {
    const char* console = t.host.console.c_str();
    const int n = Length(marker);
    for (const char* p = console; *p != '\0'; ++p) {
        int i = 0;
        while (i < n && p[i] == marker[i]) ++i;
        if (i < n) continue;
        int end = 0;
        while (p[n + end] != '\0' && p[n + end] != '\n') ++end;
        return t.arena.Copy(p + n, end);
    }
    return "";
}

// A PKCS#12 certificate, its password checked, presented to a server that
// insists on one: the server sees the fingerprint the console named. Without
// one that server fails the connect, in words.
void TlsClientCertificate(Test& t) {
    if (!t.peer.Command("CLIENTCERT", nullptr, nullptr)) return;
    const char* path = t.peer.reply;
    Results r = t.host.Call("SetClientCert", path, "wrong");
    t.Check(r.count == 1 && Same(r.text[0], "Client certificate: wrong password"), "a wrong password gave '%s'",
            r.count > 0 ? r.text[0] : "");
    r = t.host.Call("SetClientCert", path);
    t.Check(r.count == 1 && Same(r.text[0], "Client certificate: needs a password"), "no password gave '%s'",
            r.count > 0 ? r.text[0] : "");
    r = t.host.Call("SetClientCert", t.arena.Format("%s.missing", path));
    t.Check(r.count == 1 && Same(r.text[0], "Client certificate: no such file"), "a missing file gave '%s'",
            r.count > 0 ? r.text[0] : "");
    r = t.host.Call("SetClientCert", path, "s3cret");
    if (!t.Check(r.count == 0, "irc.SetClientCert gave '%s'", r.count > 0 ? r.text[0] : "")) return;
    const char* fingerprint = ConsoleAfter(t, "SHA-256 fingerprint ");
    t.Note("SetClientCert: %s", ConsoleAfter(t, "present the client certificate "));
    if (!WatchSecurityCalls(t, false) || !TlsRegistration(t, "tls require")) return;
    if (t.peer.Command("PEERCERT", nullptr, nullptr))
        t.Check(Same(t.peer.reply, fingerprint), "the server saw %s, the console named %s", t.peer.reply, fingerprint);
    t.Note("InitializeSecurityContextA, a server that insists, ours set: %s", SecurityStatuses(t));
    t.host.Call("Close");
    t.peer.Await("QUIT :Leaving");

    t.host.Call("SetClientCert");
    if (!WatchSecurityCalls(t, false) || !t.peer.Command("LISTEN", "tls require", nullptr)) return;
    ConnectFails(t, t.host.Call("Connect", "127.0.0.1", ReplyNumber(t.peer.reply), "qv", "u", "Ann Lee", "insecure"),
                 "TLS handshake failed: the server wants a client certificate (irc.SetClientCert)");
    t.Note("InitializeSecurityContextA, a server that insists, none set: %s", SecurityStatuses(t));
}

// Files the limits refuse, before the system's import spends anything:
// counts that would hold it for hours (the scenario would run out of time
// otherwise), a limit passed by the parts together, a MAC whose cost is not
// known, a key sealed inside the encrypted container (whose count the
// import would read and spend unseen); PEM, and a file that only mentions a
// PEM header. Files within them that the reading of their costs must
// follow: BER, OpenSSL 3's AES, no MAC, a key in the clear not encrypted.
void ClientCertificateLimits(Test& t) {
    const char* const readable[] = {"client-ber.p12", "aes.p12", "nomac.p12", "plainkey.p12"};
    for (const char* file : readable) {
        if (!t.peer.Command("CLIENTCERT", file, nullptr)) return;
        const Results r = t.host.Call("SetClientCert", t.arena.Copy(t.peer.reply), "s3cret");
        t.Check(r.count == 0, "%s gave '%s'", file, r.count > 0 ? r.text[0] : "");
    }
    t.host.Call("SetClientCert");
    const char* const slow_key = "its key is made to take too long to open (over 40000 rounds)";
    const struct {
        const char* file;
        const char* why;
    } rows[] = {
        {"hugemac.p12", "its password is made to take too long to check (over 40000 rounds)"},
        {"hugekey.p12", slow_key},
        {"slowsum.p12", slow_key},
        {"sha3mac.p12", "its password check is of a kind whose cost cannot be told"},
        {"sealedkey.p12", "its key is sealed in a way whose cost cannot be told"},
        {"client.pem", "a PEM file: on Windows only PKCS#12 is read (openssl pkcs12 -export makes one)"},
        {"mention.txt", "not a certificate file (PKCS#12)"},
    };
    for (const auto& row : rows) {
        if (!t.peer.Command("CLIENTCERT", row.file, nullptr)) return;
        const Results r = t.host.Call("SetClientCert", t.arena.Copy(t.peer.reply), "s3cret");
        const char* want = t.arena.Format("Client certificate: %s", row.why);
        t.Check(r.count == 1 && Same(r.text[0], want), "%s gave '%s'", row.file, r.count > 0 ? r.text[0] : "");
    }
}

// A file of the test's own, written whole, or its whole text; null when it
// cannot be read.
bool WriteWhole(const char* path, const char* text) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD n = 0;
    const bool ok = WriteFile(file, text, static_cast<DWORD>(Length(text)), &n, nullptr) && n == static_cast<DWORD>(Length(text));
    CloseHandle(file);
    return ok;
}

const char* ReadWhole(Test& t, const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    // From the arena: a large array on the stack needs the CRT's probe.
    constexpr DWORD kMost = 4096;
    char* buf = static_cast<char*>(t.arena.Alloc(kMost));
    DWORD n = 0;
    const bool ok = ReadFile(file, buf, kMost, &n, nullptr) != 0;
    CloseHandle(file);
    return ok ? t.arena.Copy(buf, static_cast<int>(n)) : nullptr;
}

// STS policies kept in a file: a missing one is made, one of ours is read
// (a bad line skipped, in words) and replaced whole, a folder is refused,
// and after the module is unloaded and loaded again (a restarted host) the
// file sends a plain connect to its name straight to TLS.
void StsFileAcrossRestart(Test& t) {
    char* folder = static_cast<char*>(t.arena.Alloc(MAX_PATH));
    const DWORD n = GetTempPathA(MAX_PATH, folder);
    if (!t.Check(n > 0 && n < MAX_PATH, "no temporary folder")) return;
    const char* path = t.arena.Format("%sqv-sts-%u.txt", folder, GetCurrentProcessId());
    DeleteFileA(path);
    Results r = t.host.Call("SetStsFile", path);
    if (!t.Check(r.count == 0, "a missing file gave '%s'", r.count > 0 ? r.text[0] : "")) return;
    const char* made = ReadWhole(t, path);
    t.Check(Same(made, "quorvane-sts 1\n"), "the file made holds '%s'", made != nullptr ? Escaped(t.arena, made) : "");
    r = t.host.Call("SetStsFile", folder);
    t.Check(r.count == 1 && Same(r.text[0], "STS file: a directory, not a file"), "a folder gave '%s'",
            r.count > 0 ? r.text[0] : "");

    if (!t.peer.Command("LISTEN", "tls", nullptr)) return;
    const int tls_port = ReplyNumber(t.peer.reply);
    // An expiry past ten years is read as ten years: no clock needed here.
    t.Check(WriteWhole(path, t.arena.Format("quorvane-sts 1\nLocalHost %d 99999999999 600\nlocalhost 70000 1 1\n",
                                            tls_port)),
            "the test cannot write %s", path);
    t.Unload();
    if (!t.Load()) return;
    r = t.host.Call("SetStsFile", path);
    if (!t.Check(r.count == 0, "the file gave '%s'", r.count > 0 ? r.text[0] : "")) return;
    t.Check(Contains(t.host.console.c_str(), "STS file: skipped 1 line that held no sound policy (line 3: no valid port)"),
            "no console line for the skipped line");
    const char* kept = ReadWhole(t, path);
    t.Check(kept != nullptr && Contains(kept, t.arena.Format("\nlocalhost %d ", tls_port)) && !Contains(kept, "70000"),
            "the file was not written again whole: '%s'", kept != nullptr ? Escaped(t.arena, kept) : "");
    const int from = t.host.events.Count();
    r = t.host.Call("Connect", "localhost", 1, "qv", "u", "Ann Lee");
    t.Check(r.count == 0, "irc.Connect gave '%s'", r.count > 0 ? r.text[0] : "");
    // The test peer's certificate is none the system trusts: the verified
    // link the policy asks for fails, and says why.
    const int lost = t.WaitEvent("IRC_Disconnected", from, 10000);
    const char* why = lost >= 0 && t.host.events[lost].args[0] != nullptr ? t.host.events[lost].args[0] : "";
    t.Check(Contains(why, "(the server requires TLS)"), "the loss was '%s'", why);
    t.Check(Contains(t.host.console.c_str(),
                     t.arena.Format("the server requires TLS (STS), as it said before: connecting to localhost on port %d",
                                    tls_port)),
            "the plain connect did not go to TLS");
    t.host.Call("SetStsFile");
    DeleteFileA(path);
}

// The security layer's record sizes, refused: a link that cannot make a
// record fails at its first write (the registration), in words, instead of
// offering the same bytes for good.
using QueryAttributes = SECURITY_STATUS(SEC_ENTRY*)(PCtxtHandle, ULONG, void*);
constinit QueryAttributes real_query = nullptr;

SECURITY_STATUS SEC_ENTRY NoStreamSizes(PCtxtHandle ctx, ULONG attribute, void* buffer) {
    return attribute == SECPKG_ATTR_STREAM_SIZES ? SEC_E_UNSUPPORTED_FUNCTION : real_query(ctx, attribute, buffer);
}

void TlsWithoutRecordSizes(Test& t) {
    void* original = t.PatchImport("secur32.dll", "QueryContextAttributesA", reinterpret_cast<void*>(&NoStreamSizes));
    if (original == nullptr) return;
    if (original != reinterpret_cast<void*>(&NoStreamSizes)) real_query = reinterpret_cast<QueryAttributes>(original);
    if (!t.peer.Command("LISTEN", "tls", nullptr)) return;
    const int from = t.host.events.Count();
    t.host.Call("Connect", "127.0.0.1", ReplyNumber(t.peer.reply), "qv", "u", "Ann Lee", "insecure");
    if (!t.peer.Accept()) return;
    const int lost = t.WaitEvent("IRC_Disconnected", from, 5000);
    if (lost < 0) return;
    const char* why = t.host.events[lost].args[0] != nullptr ? t.host.events[lost].args[0] : "";
    t.Check(Contains(why, "TLS error: the security layer gives no record sizes: "), "the link ended with '%s'", why);
}

}  // namespace

const Scenario kScenarios[] = {
    {"registration", Registration},
    {"ping", PingPong},
    {"chat-events", ChatEvents},
    {"ctcp-version", CtcpVersion},
    {"split-line", SplitLine},
    {"debug-echo", DebugEcho},
    {"send-message-lines", SendMessageLines},
    {"connect-while-connected", ConnectWhileConnected},
    {"reconnect", ReconnectAfterServerClosed},
    {"close", CloseQuits},
    {"poll-period", PollPeriod},
    {"socket-wakes", SocketWakes},
    {"unload-with-wake-queued", UnloadWithWakeQueued},
    {"debugger-trace", DebuggerTrace},
    {"unload-while-connected", UnloadWhileConnected},
    {"bounded-connect", BoundedConnect},
    {"connect-refused", ConnectRefused},
    {"ipv6-loopback", Ipv6Loopback},
    {"second-address", SecondAddress},
    {"lost-link", LostLink},
    {"stalled-peer-catches-up", StalledPeerCatchesUp},
    {"stalled-peer-dropped", StalledPeerIsDropped},
    {"backlog-period", BacklogPeriod},
    {"tls-chat", TlsChat},
    {"tls-by-name", TlsByName},
    {"tls-pinned", TlsPinned},
    {"tls-pin-mismatch", TlsPinMismatch},
    {"sasl-login", SaslLogin},
    {"scram-login", ScramLogin},
    {"scram-saslprep", ScramSaslPrep},
    {"fault-in-tick", FaultInTick},
    {"utf8-round-trip", Utf8RoundTrip},
    {"tls-server-asks", TlsServerAsks},
    {"tls-incomplete-credentials", TlsIncompleteCredentials},
    {"tls-client-certificate", TlsClientCertificate},
    {"client-certificate-limits", ClientCertificateLimits},
    {"tls-without-record-sizes", TlsWithoutRecordSizes},
    {"sts-file-across-restart", StsFileAcrossRestart},
};
const int kScenarioCount = sizeof kScenarios / sizeof kScenarios[0];
