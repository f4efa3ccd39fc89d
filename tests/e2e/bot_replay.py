#!/usr/bin/env python3
"""examples/bot.lua against a scripted server whose clock the test sets.

Each row runs the bot (--admin alice) against a fresh server on loopback
that acknowledges the row's capabilities (server-time and account-tag
unless it names others), welcomes it and sends the row's lines; every
command line must get the outcome the row names, as the bot's console
tells it, and a line the row expects from the bot must come. A stamp is written "{T+N}": the server's clock, N
seconds from now on it. What the server's clock is against ours is the
row's own (no real peer's clock can be set), so the margins are minutes
and hours: the time a run takes decides nothing.

    bot_replay.py HOST MODULE BOT_SCRIPT
"""
import calendar
import os
import re
import socket
import subprocess
import sys
import threading
import time

HOST, MODULE, BOT = sys.argv[1:4]
NICK, CHANNEL = "qvbot", "#c"

# What the bot's console says of a command, by outcome; "quit" is "ran"
# followed by the leaving line.
OUTCOMES = {
    "ran": "alice asked {text} in #c",
    "replayed": "replayed, not run: {text}",
    "refused": "!quit from alice refused: not the admin account",
}
LEAVING = "!quit from alice (account alice): leaving"

# name, the server's clock against ours (s), whether its welcome is
# stamped, then lines: (line, outcome or None).
CHAT = ":alice!a@h PRIVMSG #c :"
# The server's clock five minutes into 2028-03-01 (UTC), against ours: ten
# minutes earlier is the leap day.
LEAP_MARCH = calendar.timegm((2028, 3, 1, 0, 5, 0)) - int(time.time())
ROWS = [
    ("server 30 s behind, its own lines unstamped: a live command runs (no stamp is judged "
     "before the server's clock is known)", -30, False,
     [("@time={T+0} " + CHAT + "!ping live", "ran")]),
    ("server 1 h ahead: a !quit replayed from ten minutes before the link is not obeyed, a live one is",
     3600, True,
     [("@time={T-600};account=alice " + CHAT + "!quit", "replayed"),
      ("@time={T+0};account=alice " + CHAT + "!quit", "quit")]),
    ("server clock stepped back 5 minutes mid-link: the latest stamp counts, and a live command runs",
     0, True,
     [("@time={T-300} PING :stepped", None),
      ("@time={T-300} " + CHAT + "!ping after-step", "ran")]),
    ("server 1 h ahead, its time tag given twice and escaped: read as the module reads it (the last, "
     "unescaped), so a replayed command is not run", 3600, False,
     [("@time={T-3600};time={T+0\\} PING :tags", None),
      ("@time={T-600} " + CHAT + "!ping replayed", "replayed")]),
    ("server clock just into March of a leap year: a !quit replayed from the end of February is not obeyed, "
     "a live one is", LEAP_MARCH, True,
     [("@time={T-600};account=alice " + CHAT + "!quit", "replayed"),
      ("@time={T+0};account=alice " + CHAT + "!quit", "quit")]),
    ("!quit from the admin's nick without the account is refused", 0, True,
     [("@time={T+0} " + CHAT + "!quit", "refused")]),
    ("!quit without an account tag is obeyed when the server said at the join whose account it is (extended-join)",
     0, False,
     [(":alice!a@h JOIN #c alice :Alice", None), (CHAT + "!quit", "quit")], {"caps": "extended-join"}),
    ("... and refused when it said another", 0, False,
     [(":alice!a@h JOIN #c mallory :Alice", None), (CHAT + "!quit", "refused")], {"caps": "extended-join"}),
    ("the welcome names us otherwise (a bouncer's nick): the bot reports the nick it has", 0, False,
     [], {"welcome_nick": NICK + "_", "console": "registered as " + NICK + "_, joining #c"}),
    ("!who answers with the channel's operators, by the server's PREFIX", 0, False,
     [(":srv 353 %s = #c :%s ~dave @alice +bob [carol] %%erin" % (NICK, NICK), None),
      (":srv 366 %s #c :End" % NICK, None), (CHAT + "!who", ("wire", "PRIVMSG #c :operators in #c: alice dave"))],
     {"isupport": "PREFIX=(qaohv)~&@%+"}),
    ("kicked, it rejoins once after a pause; kicked again, it stays out", 0, False,
     [(":alice!a@h KICK #c %s :out" % NICK, ("wire", "JOIN #c")),
      (":%s!u@h JOIN #c" % NICK, None),
      (":alice!a@h KICK #c %s :again" % NICK, ("console", "kicked from #c again by alice (again): staying out"))]),
    ("a rejoin after a kick belongs to its link: a link lost in the pause leaves none for the next", 0, False,
     [(":alice!a@h KICK #c %s :out" % NICK, None), ("!relink", None),
      # The kick's pause (2 s) and more, past the reconnect (1 s): one JOIN
      # only, the new link's own.
      ("!sleep 3", None), ("PING :quiet", ("absent", "JOIN #c"))]),
]


class Failure(Exception):
    pass


def stamp(server_offset, text):
    """The line with each "{T+N}" as the server's clock N s from now; a
    "\\" before the "}" escapes the stamp's last character."""
    def one(m):
        at = time.time() + server_offset + int(m.group(1))
        iso = time.strftime("%Y-%m-%dT%H:%M:%S.000Z", time.gmtime(at))
        return iso[:-1] + "\\Z" if m.group(2) else iso
    return re.sub(r"\{T([+-]\d+)(\\?)\}", one, text)


class Bot:
    def __init__(self, port):
        self.proc = subprocess.Popen(
            [HOST, "--module", MODULE, BOT, "--admin", "alice", "127.0.0.1", str(port), NICK, CHANNEL],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            env=dict(os.environ, QV_BOT_REJOIN="2", QV_BOT_RETRY="1"))
        self.lines = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            with self.cond:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                self.cond.notify_all()

    def said(self, texts, since, timeout=20):
        """The index of the first line from `since` on that ends with one of
        `texts`, and which."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(since, len(self.lines)):
                    for t in texts:
                        if self.lines[i].endswith(t):
                            return i, t
                left = deadline - time.monotonic()
                if left <= 0:
                    raise Failure("the bot said none of %r; its console:\n  %s" % (texts, "\n  ".join(self.lines)))
                self.cond.wait(left)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Server:
    def __init__(self, listener):
        listener.settimeout(15)
        self.sock, _ = listener.accept()
        self.sock.settimeout(15)
        self.buf = b""

    def send(self, line):
        self.sock.sendall(line.encode() + b"\r\n")

    def expect(self, want):
        """Reads lines until `want` (a prefix) comes; gives those before it."""
        before = []
        while True:
            while b"\r\n" not in self.buf:
                data = self.sock.recv(4096)
                if not data:
                    raise Failure("the bot closed the link before sending %r" % want)
                self.buf += data
            line, self.buf = self.buf.split(b"\r\n", 1)
            text = line.decode("utf-8", "replace")
            if text.startswith(want):
                return before
            before.append(text)

    def close(self):
        self.sock.close()


def run(name, server_offset, welcome_stamped, lines, more=None):
    more = more or {}
    caps = more.get("caps", "server-time account-tag")
    nick = more.get("welcome_nick", NICK)
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    bot = Bot(listener.getsockname()[1])
    server = None

    def register():
        server = Server(listener)
        server.expect("USER ")
        server.send(":srv CAP * LS :" + caps)
        server.expect("CAP REQ :" + caps)
        server.send(":srv CAP %s ACK :%s" % (NICK, caps))
        server.expect("CAP END")
        welcome = [":srv 001 %s :Welcome" % nick]
        if "isupport" in more:
            welcome.append(":srv 005 %s %s :are supported" % (nick, more["isupport"]))
        for line in welcome + [":srv 376 %s :End of MOTD" % nick]:
            server.send(stamp(server_offset, tags + line))
        server.expect("JOIN " + CHANNEL)
        server.send(stamp(server_offset, tags + ":%s!u@h JOIN %s" % (nick, CHANNEL)))
        return server

    tags = "@time={T+0} " if welcome_stamped else ""
    try:
        server = register()
        since = 0
        if "console" in more:
            since = bot.said([more["console"]], since)[0] + 1
        for line, outcome in lines:
            if line == "!relink":
                server.close()
                server = register()
                continue
            if line.startswith("!sleep "):
                time.sleep(float(line[7:]))
                continue
            server.send(stamp(server_offset, line))
            if outcome is None:
                continue
            if isinstance(outcome, tuple):
                kind, text = outcome
                if kind == "wire":
                    server.expect(text)
                elif kind == "absent":
                    # Up to the PONG of the row's PING, the bot sent no such line.
                    sent = server.expect("PONG ")
                    if any(s.startswith(text) for s in sent):
                        raise Failure("the bot sent %r; it sent %r" % (text, sent))
                else:
                    since = bot.said([text], since)[0] + 1
                continue
            text = line.split(" :", 2)[-1]
            said = [o.format(text=text) for o in OUTCOMES.values()]
            since, got = bot.said(said, since)
            since += 1
            if got != OUTCOMES["ran" if outcome == "quit" else outcome].format(text=text):
                raise Failure("%r: the bot said %r, not that it %s" % (text, got, outcome))
            if outcome == "quit":
                since = bot.said([LEAVING], since)[0] + 1
                if bot.proc.wait(timeout=10) != 0:
                    raise Failure("the bot's exit status after its !quit is %d" % bot.proc.returncode)
        return True
    finally:
        if server:
            server.close()
        listener.close()
        bot.stop()


def main():
    failed = 0
    for name, server_offset, welcome_stamped, lines, *more in ROWS:
        try:
            run(name, server_offset, welcome_stamped, lines, *more)
            print("ok   " + name)
        except (Failure, OSError) as e:
            failed += 1
            print("FAIL " + name + ": " + str(e))
    print("%d passed, %d failed" % (len(ROWS) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
