#!/usr/bin/env python3
"""A compressed month: bots (examples/bot.lua under tests/soak/soak.lua)
against loopback servers of this script's own that misbehave by a seeded
schedule. A benchmark-style run: it reports figures; it fails (exit 1)
only on a hard fault: a host that crashed or left, a sanitizer report, a
bot whose state after a recovery is not the server's, a loss the bot was
never told of, a bot that stopped coming back, a replayed command obeyed.

Each bot is one host process (a month of its own) with a plain and a TLS
listener; the bots differ in how they link (plain, TLS pinned to the
server's certificate, TLS checked against the test CA) and log in (SASL
PLAIN, SCRAM-SHA-256). Every accepted connection is a link; its fate is
drawn when it is accepted: a reset while connecting, in the TLS handshake,
in CAP, in SASL or after 001, a K-line, a silent server, an STS move, or a
whole session (bouncer renames and replays, floods, kicks, mode changes)
that ends in ERROR, a K-line, a reset mid-line, silence, a server that
stops reading, or a reload of the module (gmod_close, the link lost while
shut, gmod_open). After every session the bot's nick, channels and
members (irc.GetUsers) are held against the server's own.

    soak.py HOST MODULE SOAK_LUA BOT_LUA CERT_SCRIPT [--links N] [--seed S]
            [--bots B] [--flood L] [--reload R] [--work DIR] [--trace]
"""
import argparse
import asyncio
import base64
import collections
import datetime
import hashlib
import hmac
import os
import random
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import time

SERVER = "soak.test"
CHANNELS = ("#soak", "#month")
PREFIX_MODES, PREFIX_SIGNS = "qaohv", "~&@%+"
ACCOUNT, PASSWORD, ADMIN = "soak", "soak-pass", "soakadmin"
FIXED_PASSWORD = "pvrkqo618"  # the module's PASS when the script sets none
SCRAM_ROUNDS = 4096
# Bounds on waits, not measurements: a bot that takes longer is stuck.
STEP_BOUND = 30.0
STUCK_BOUND = 40.0
# The bots' own knobs (examples/bot.lua reads them from the environment).
BOT_ENV = {"QV_BOT_PING_TIMEOUT": "2", "QV_BOT_RETRY": "0", "QV_BOT_REJOIN": "0.05",
           "QV_BOT_REGISTER_TIMEOUT": "30", "QUORVANE_SASL_PASSWORD": PASSWORD}
# (name, TLS argument or None, SASL mechanism)
BOT_KINDS = [(None, "PLAIN"), ("pin", "SCRAM-SHA-256"), (None, "SCRAM-SHA-256"), ("tls", "PLAIN")]
MAX_BOTS = 8
# Linux's TCP states (struct tcp_info's first byte).
TCP_CLOSE, TCP_CLOSE_WAIT = 7, 8

# What ends a link before it is a session, and how often (per thousand);
# the rest are sessions.
EARLY = [("reset at connect", 90), ("reset in TLS handshake", 90), ("reset in CAP", 90),
         ("reset in SASL", 90), ("reset after 001", 90), ("K-line at registration", 60),
         ("silent at registration", 6), ("STS move", 70)]
# How a session ends.
ENDS = [("ERROR", 30), ("K-line", 15), ("reset mid-line", 20), ("reset", 20), ("silent", 4),
        ("stops reading", 4)]


class Hard(Exception):
    """A fault of the bot or the module, not of the schedule."""


def now_tag(offset=0.0):
    t = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=offset)
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (t.microsecond // 1000)


def weighted(rng, table):
    total = sum(w for _, w in table)
    x = rng.uniform(0, total)
    for name, w in table:
        x -= w
        if x <= 0:
            return name
    return table[-1][0]


def signs(modes):
    return "".join(s for m, s in zip(PREFIX_MODES, PREFIX_SIGNS) if m in modes)


class Scram:
    """The server's keys for the soak account."""

    def __init__(self):
        self.salt = b"soak-salt-16byte"
        salted = hashlib.pbkdf2_hmac("sha256", PASSWORD.encode(), self.salt, SCRAM_ROUNDS)
        client_key = hmac.new(salted, b"Client Key", "sha256").digest()
        self.stored = hashlib.sha256(client_key).digest()
        self.server_key = hmac.new(salted, b"Server Key", "sha256").digest()


class Snapshot:
    def __init__(self, **kw):
        self.__dict__.update(kw)


class Bot:
    def __init__(self, run, name, tls, mech):
        self.run, self.name, self.tls, self.mech = run, name, tls, mech
        self.nick = "soak" + name
        self.rng = random.Random("%s:%s" % (run.args.seed, name))
        self.accepts = 0
        self.sessions = 0
        self.sts_moves = 0
        self.password_retries = 0
        self.sent = 0  # lines the server sent
        self.faults = collections.Counter()
        self.checked = self.matched = 0
        self.anomalies = collections.Counter()
        self.hard = []
        self.snaps = {}
        self.last_accept = time.monotonic()
        self.done = asyncio.Event()
        self.proc = None
        self.next_user = 0
        self.waiting = None  # what the server waits for from the bot

    # -- the process -------------------------------------------------------
    def start(self, plain_port, tls_port):
        a = self.run.args
        port = tls_port if self.tls else plain_port
        argv = [a.host, "--module", a.module, a.soak_lua, a.bot_lua, "--admin", ADMIN,
                "--sasl", ACCOUNT, "--sasl-mechanism", self.mech, "127.0.0.1", str(port), self.nick,
                ",".join(CHANNELS)]
        if self.tls == "pin":
            argv.append(self.run.fingerprint)
        elif self.tls == "tls":
            argv.append("tls")
        env = dict(os.environ, **BOT_ENV)
        if a.trace:
            env["QUORVANE_TRACE"] = os.path.join(self.run.work, "bot%s.trace" % self.name)
        env["SSL_CERT_FILE"] = os.path.join(self.run.certs, "ca.pem")
        if "ASAN_OPTIONS" in env:
            # A small quarantine: RSS then measures the module, not the
            # freed memory the sanitizer holds back.
            env["ASAN_OPTIONS"] += ":quarantine_size_mb=1"
        self.out = open(os.path.join(self.run.work, "bot%s.out" % self.name), "wb")
        self.err_path = os.path.join(self.run.work, "bot%s.err" % self.name)
        self.err = open(self.err_path, "wb")
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=self.out, stderr=self.err)

    def proc_figures(self):
        pid = self.proc.pid
        rss = 0
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    rss = int(line.split()[1])
        return rss, len(os.listdir("/proc/%d/fd" % pid))

    def hard_fault(self, text):
        self.hard.append(text)
        print("soak: bot %s: FAULT: %s" % (self.name, text), flush=True)

    # -- the schedule ------------------------------------------------------
    def pending_mark(self):
        """The report point the whole run has passed and this bot has not
        reported yet: the bots share the links, the quicker ones taking
        more."""
        links = self.run.links()
        for name, at in self.run.marks:
            if name not in self.snaps and links >= at:
                return name
        return None

    def fate(self, tls):
        """What this link meets: an early end, or None for a session."""
        if self.pending_mark():
            return None
        while True:
            early = weighted(self.rng, EARLY + [("session", 1000 - sum(w for _, w in EARLY))])
            if early == "reset in TLS handshake" and not tls:
                continue
            if early == "STS move" and (tls or self.tls):
                continue
            if early == "reset in SASL" and self.mech is None:
                continue
            return None if early == "session" else early

    def new_user(self):
        self.next_user += 1
        return "u%d" % self.next_user


class PausedAtAccept(asyncio.StreamReaderProtocol):
    """Reads nothing until the link's fate is drawn, so that a TLS handshake
    finds the client's first bytes still in the socket, not in a buffer of
    the plain stream it cannot see."""

    def connection_made(self, transport):
        super().connection_made(transport)
        transport.pause_reading()


class Link:
    """One accepted connection, as its server sees it."""

    def __init__(self, bot, reader, writer):
        self.bot, self.reader, self.writer = bot, reader, writer
        self.nick = None
        self.fixed_password = False  # the module's own PASS came
        self.out = []  # lines queued for one write
        self.members = {}  # channel -> {nick: set of modes}, in join order
        self.pongs = 0
        self.replies = []

    def put(self, line):
        self.out.append(line)

    async def flush(self):
        if self.out:
            self.bot.sent += len(self.out)
            self.writer.write(("\r\n".join(self.out) + "\r\n").encode())
            self.out = []
        await self.writer.drain()

    async def line(self, bound=STEP_BOUND):
        raw = await asyncio.wait_for(self.reader.readline(), bound)
        if not raw:
            raise EOFError
        text = raw.decode("latin-1").rstrip("\r\n")
        if text.startswith("PING"):
            self.put(":%s PONG %s :%s" % (SERVER, SERVER, text[5:].lstrip(":")))
            await self.flush()
        return text

    async def until(self, pred, what):
        """Reads until a line `pred` takes; the bot's chat to drv on the way
        is noted."""
        self.bot.waiting = what
        try:
            while True:
                text = await self.line()
                if text.startswith("PRIVMSG drv :"):
                    body = text[len("PRIVMSG drv :"):]
                    if body == "pong":
                        self.pongs += 1
                    elif not body.startswith("spam "):
                        self.replies.append(body)
                got = pred(text)
                if got:
                    return got
        except asyncio.TimeoutError:
            raise Hard("no %s from the bot within %d s" % (what, STEP_BOUND))

    def reset(self):
        sock = self.writer.get_extra_info("socket")
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except (OSError, AttributeError):
            pass
        self.writer.transport.abort()

    def numeric(self, code, text):
        self.put(":%s %s %s %s" % (SERVER, code, self.nick or "*", text))

    def who(self, nick):
        return "%s!%s@soak.host" % (nick, "soak" if nick == self.nick else nick)


class Run:
    def __init__(self, args):
        self.args = args
        self.own_work = not args.work
        self.work = args.work or tempfile.mkdtemp(prefix="qv-soak-")
        self.certs = os.path.join(self.work, "certs")
        subprocess.run(["bash", args.cert_script, self.certs], check=True, stdout=subprocess.DEVNULL)
        fp = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in",
                             os.path.join(self.certs, "server.pem")], check=True, capture_output=True, text=True)
        self.fingerprint = fp.stdout.strip().split("=", 1)[1]
        self.tls_ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.tls_ctx.load_cert_chain(os.path.join(self.certs, "server.pem"), os.path.join(self.certs, "server.key"))
        self.scram = Scram()
        self.bots = []
        for i in range(args.bots):
            tls, mech = BOT_KINDS[i % len(BOT_KINDS)]
            self.bots.append(Bot(self, "ABCDEFGH"[i], tls, mech))
        self.marks = [("start", max(5 * args.bots, args.links // 50)), ("halfway", args.links // 2),
                      ("end", args.links)]
        self.started = time.monotonic()

    def links(self):
        return sum(b.accepts for b in self.bots)

    # -- serving -----------------------------------------------------------
    async def serve(self, bot, tls, reader, writer):
        if bot.done.is_set():
            writer.transport.abort()
            return
        bot.accepts += 1
        bot.last_accept = time.monotonic()
        if not tls:
            writer.transport.resume_reading()
        link = Link(bot, reader, writer)
        fate = bot.fate(tls)
        try:
            await self.link(bot, link, tls, fate)
        except Hard as e:
            bot.hard_fault("link %d (%s): %s" % (bot.accepts, fate or "session", e))
        except (EOFError, ConnectionError, asyncio.IncompleteReadError, ssl.SSLError, OSError) as e:
            # The bot left before the schedule ended the link.
            bot.anomalies["left early (%s)" % type(e).__name__] += 1
        except asyncio.TimeoutError:
            bot.anomalies["TLS handshake timed out"] += 1
        finally:
            if not writer.transport.is_closing():
                link.reset()

    async def link(self, bot, link, tls, fate):
        if fate == "reset at connect":
            bot.faults[fate] += 1
            link.reset()
            return
        if tls:
            if fate == "reset in TLS handshake":
                link.writer.transport.resume_reading()
                await asyncio.wait_for(link.reader.read(1), STEP_BOUND)
                bot.faults[fate] += 1
                link.reset()
                return
            await asyncio.wait_for(link.writer.start_tls(self.tls_ctx), STEP_BOUND)
        # Registration: CAP LS 302, PASS, NICK, USER.
        while True:
            text = await link.until(lambda t: t, "registration")
            if text.startswith("NICK "):
                link.nick = text[5:]
            if text == "PASS " + FIXED_PASSWORD:
                link.fixed_password = True
            if text.startswith("USER "):
                break
        if fate == "reset in CAP":
            bot.faults[fate] += 1
            link.reset()
            return
        if fate == "K-line at registration":
            bot.faults[fate] += 1
            link.numeric(465, ":You are banned from this server- K-lined: soak")
            link.put("ERROR :Closing Link: 127.0.0.1 (K-Lined: soak month)")
            await link.flush()
            link.writer.close()
            # Refused after the module's fixed password, the module tries
            # once more at once without it: one loss over two links.
            if link.fixed_password:
                bot.password_retries += 1
            return
        if fate == "silent at registration":
            bot.faults[fate] += 1
            await self.silent(link)
            return
        caps = "server-time account-tag multi-prefix sasl=PLAIN,SCRAM-SHA-256"
        if fate == "STS move":
            caps += " sts=port=%d" % self.tls_ports[bot.name]
        link.put(":%s CAP * LS :%s" % (SERVER, caps))
        await link.flush()
        if fate == "STS move":
            # The module leaves without another byte, for the TLS port.
            bot.faults[fate] += 1
            bot.sts_moves += 1
            try:
                await link.until(lambda t: False, "nothing")
            except EOFError:
                return
        acked = set()
        while True:
            text = await link.until(lambda t: t, "negotiation")
            if text.startswith("CAP REQ :"):
                wanted = text[9:].split()
                acked.update(wanted)
                link.put(":%s CAP %s ACK :%s" % (SERVER, link.nick, " ".join(wanted)))
                await link.flush()
            elif text.startswith("AUTHENTICATE "):
                if fate == "reset in SASL":
                    bot.faults[fate] += 1
                    link.reset()
                    return
                await self.login(link, text[13:])
            elif text == "CAP END":
                break
            elif text.startswith("NICK "):
                link.nick = text[5:]
        await self.welcome(bot, link, fate)

    async def login(self, link, mech):
        def payload(t):
            return t[13:] if t.startswith("AUTHENTICATE ") else None
        link.put("AUTHENTICATE +")
        await link.flush()
        first = base64.b64decode(await link.until(payload, "SASL payload"))
        if mech == "PLAIN":
            parts = first.split(b"\0")
            if parts[1:] != [ACCOUNT.encode(), PASSWORD.encode()]:
                raise Hard("PLAIN payload not the account's")
        elif mech == "SCRAM-SHA-256":
            bare = first.split(b",", 2)[2]
            attrs = dict(a.split(b"=", 1) for a in bare.split(b","))
            nonce = attrs[b"r"] + base64.b64encode(os.urandom(12))
            server_first = b"r=%s,s=%s,i=%d" % (nonce, base64.b64encode(self.scram.salt), SCRAM_ROUNDS)
            link.put("AUTHENTICATE " + base64.b64encode(server_first).decode())
            await link.flush()
            final = base64.b64decode(await link.until(payload, "SCRAM final"))
            without_proof, proof = final.rsplit(b",p=", 1)
            auth = bare + b"," + server_first + b"," + without_proof
            sig = hmac.new(self.scram.stored, auth, "sha256").digest()
            key = bytes(a ^ b for a, b in zip(base64.b64decode(proof), sig))
            if hashlib.sha256(key).digest() != self.scram.stored:
                raise Hard("SCRAM proof wrong")
            server_sig = hmac.new(self.scram.server_key, auth, "sha256").digest()
            link.put("AUTHENTICATE " + base64.b64encode(b"v=" + base64.b64encode(server_sig)).decode())
            await link.flush()
            await link.until(lambda t: t == "AUTHENTICATE +", "SCRAM end")
        else:
            raise Hard("mechanism %s" % mech)
        link.numeric(900, "%s %s :You are now logged in as %s" % (link.who(link.nick or "*"), ACCOUNT, ACCOUNT))
        link.numeric(903, ":SASL authentication successful")
        await link.flush()

    async def silent(self, link):
        """Says nothing more and answers nothing; the bot's ping timeout
        must end the link."""
        try:
            while await asyncio.wait_for(link.reader.read(1 << 16), STEP_BOUND):
                pass
        except asyncio.TimeoutError:
            raise Hard("a silent server was never left")

    async def welcome(self, bot, link, fate):
        rng = bot.rng
        mark = bot.pending_mark()
        plain = mark is not None  # the figures are taken on a link like every other
        if not plain and rng.random() < 0.05:
            link.numeric(433, "%s :Nickname is already in use" % link.nick)
            link.nick = "*"
            await link.flush()
            link.nick = await link.until(lambda t: t.startswith("NICK ") and t[5:], "another nick")
        if not plain and rng.random() < 0.1:
            link.nick = "%s|bnc%d" % (link.nick, rng.randrange(100))  # a bouncer names us
        link.numeric("001", ":Welcome to the soak %s" % link.who(link.nick))
        if fate == "reset after 001":
            await link.flush()
            bot.faults[fate] += 1
            link.reset()
            return
        link.numeric("002", ":Your host is %s" % SERVER)
        link.numeric("005", "PREFIX=(%s)%s CHANTYPES=# CASEMAPPING=rfc1459 NETWORK=Soak :are supported"
                     % (PREFIX_MODES, PREFIX_SIGNS))
        link.numeric(375, ":- %s Message of the day -" % SERVER)
        link.numeric(372, ":- a month compressed")
        link.numeric(376, ":End of MOTD")
        await link.flush()
        await link.until(lambda t: t == "JOIN " + ",".join(CHANNELS), "JOIN")
        bot.sessions += 1
        for channel in CHANNELS:
            self.join(bot, link, channel)
        await link.flush()
        if not plain:
            await self.session(bot, link)
        await self.check(bot, link)
        if mark:
            await self.figures(bot, link, mark)
            if mark == "end":
                bot.done.set()
                await link.until(lambda t: t.startswith("QUIT"), "QUIT")
                return
        await self.end(bot, link, plain)

    def join(self, bot, link, channel):
        rng = bot.rng
        members = {link.nick: set()}
        for _ in range(rng.randrange(2, 12)):
            members[bot.new_user()] = set(rng.sample(PREFIX_MODES, rng.randrange(0, 3)))
        link.members[channel] = members
        link.put("@time=%s :%s JOIN %s" % (now_tag(), link.who(link.nick), channel))
        names = " ".join(signs(m) + n for n, m in members.items())
        link.numeric(353, "= %s :%s" % (channel, names))
        link.numeric(366, "%s :End of /NAMES list." % channel)

    def others(self, link, channel):
        return [n for n in link.members[channel] if n != link.nick]

    def flood(self, bot, link, count):
        rng = bot.rng
        for _ in range(count):
            channel = rng.choice(list(link.members))
            members = link.members[channel]
            others = self.others(link, channel)
            x = rng.random()
            if x < 0.7 and others:
                text = " ".join(rng.choice(("month", "soak", "line", "quorvane", "tick", "flood"))
                                for _ in range(rng.randrange(1, 40)))
                kind = "PRIVMSG" if x < 0.6 else "NOTICE"
                link.put(":%s %s %s :%s" % (link.who(rng.choice(others)), kind, channel, text))
            elif x < 0.76 and len(members) < 30:
                nick = bot.new_user()
                members[nick] = set()
                link.put(":%s JOIN %s" % (link.who(nick), channel))
            elif x < 0.82 and len(others) > 1:
                nick = rng.choice(others)
                del members[nick]
                link.put(":%s PART %s :bye" % (link.who(nick), channel))
            elif x < 0.85 and len(others) > 1:
                nick = rng.choice(others)
                for m in link.members.values():
                    m.pop(nick, None)
                link.put(":%s QUIT :gone" % link.who(nick))
            elif x < 0.89 and others:
                nick, new = rng.choice(others), bot.new_user().replace("u", "n")
                for m in link.members.values():
                    if nick in m:
                        m[new] = m.pop(nick)
                link.put(":%s NICK :%s" % (link.who(nick), new))
            elif x < 0.96:
                nick = rng.choice(list(members))
                mode = rng.choice("ov")
                on = mode not in members[nick]
                (members[nick].add if on else members[nick].discard)(mode)
                link.put(":op!op@soak.host MODE %s %s%s %s" % (channel, "+" if on else "-", mode, nick))
            else:
                link.put("PING :%s" % SERVER)

    async def session(self, bot, link):
        """Whatever the month brings while linked, in a seeded order."""
        rng = bot.rng
        steps = []
        if rng.random() < 0.6:
            steps.append("flood")
        if rng.random() < 0.3:
            steps.append("replay")
        if rng.random() < 0.08:
            steps.append("kick")
        if rng.random() < 0.2:
            steps.append("rename")
        rng.shuffle(steps)
        for step in steps:
            if step == "flood":
                self.flood(bot, link, int(rng.uniform(0.2, 1.8) * self.args.flood))
            elif step == "replay":
                # A bouncer's buffer: the admin's !quit and a !ping from an
                # hour before the link; neither may run.
                past = now_tag(-3600)
                link.put("@time=%s;account=%s :%s PRIVMSG %s :!quit" % (past, ADMIN, link.who("admin"), CHANNELS[0]))
                link.put("@time=%s :%s PRIVMSG %s :!ping" % (past, link.who("drv"), link.nick))
            elif step == "rename":
                new = "%s_r%d" % (link.nick.split("|")[0], rng.randrange(1000))
                link.put(":%s NICK :%s" % (link.who(link.nick), new))
                for m in link.members.values():
                    m[new] = m.pop(link.nick)
                link.nick = new
            elif step == "kick":
                channel = rng.choice(CHANNELS)
                link.put(":op!op@soak.host KICK %s %s :soak" % (channel, link.nick))
                del link.members[channel]
                await link.flush()
                await link.until(lambda t: t == "JOIN " + channel, "rejoin after a kick")
                self.join(bot, link, channel)
            await link.flush()

    async def check(self, bot, link):
        """The bot's state against ours, after everything before has been read."""
        link.pongs = 0
        # The bot's own command now and then: its answer is a sixth paced
        # line of the link, which waits 2 s.
        live = 1 if bot.rng.random() < 0.05 else 0
        if live:
            link.put(":%s PRIVMSG %s :!ping" % (link.who("drv"), link.nick))
        link.put(":%s PRIVMSG %s :!soakstate" % (link.who("drv"), link.nick))
        await link.flush()
        state = await link.until(lambda t: t.startswith("PRIVMSG drv :state ") and t[19:], "state")
        words = state.split(" ")
        nick, chans, users = words[0], words[1], dict(w.split("=", 1) for w in words[2:])
        want_chans = ",".join(link.members)
        problems = []
        if nick != link.nick:
            problems.append("nick %s, the server's %s" % (nick, link.nick))
        if chans != want_chans:
            problems.append("channels %s, the server's %s" % (chans, want_chans))
        for channel, members in link.members.items():
            theirs = sorted(u for u in users.get(channel, "").split(",") if u)
            ours = sorted(signs(m) + n for n, m in members.items())
            if theirs != ours:
                problems.append("%s members %s, the server's %s" % (channel, theirs, ours))
        if link.pongs != live:
            problems.append("%d answers to %d live !ping (a replayed command ran, or a line was lost)"
                            % (link.pongs, live))
        bot.checked += 1
        if problems:
            bot.hard_fault("after link %d: %s" % (bot.accepts, "; ".join(problems)))
        else:
            bot.matched += 1

    async def figures(self, bot, link, mark):
        link.put(":%s PRIVMSG %s :!soakstats" % (link.who("drv"), link.nick))
        await link.flush()
        text = await link.until(lambda t: t.startswith("PRIVMSG drv :stats ") and t[19:], "stats")
        rss, fds = bot.proc_figures()
        f = dict(w.split("=") for w in text.split())
        snap = Snapshot(rss_kb=rss, fds=fds, lines=int(f["lines"]), told=int(f["told"]),
                        lua_kb=float(f["lua_kb"]), handles=int(f["handles"]), pool=int(f["pool"]),
                        registry=int(f["registry"]), timers=int(f["timers"]), links=bot.accepts,
                        faults=sum(bot.faults.values()), reconnects=bot.accepts - 1,
                        checked=bot.checked, matched=bot.matched)
        bot.snaps[mark] = snap
        # One loss told for each link but this one; an STS move, and the
        # module's retry without its fixed password, are one link over two
        # connections.
        want = bot.accepts - bot.sts_moves - bot.password_retries - 1
        if snap.told != want:
            bot.hard_fault("%d losses told to the bot at %s, %d links lost" % (snap.told, mark, want))
        self.report_bot(bot, mark, snap)
        if all(mark in b.snaps for b in self.bots):
            self.report(mark)

    async def end(self, bot, link, plain):
        rng = bot.rng
        reload_every = self.args.reload
        if bot.sessions % reload_every == 0:
            # The module shut while the link is lost: the loss must be told
            # once it is open again.
            bot.faults["lost while the module is shut"] += 1
            link.put(":%s PRIVMSG %s :!soakreload 2.5" % (link.who("drv"), link.nick))
            await link.flush()
            await link.until(lambda t: t == "PRIVMSG drv :reloading", "reload")
            await asyncio.sleep(0.05)
            link.reset()
            return
        how = "ERROR" if plain else weighted(rng, ENDS)
        bot.faults[how] += 1
        if how == "ERROR":
            link.put("ERROR :Closing Link: 127.0.0.1 (Server shutting down)")
            await link.flush()
            link.writer.close()
        elif how == "K-line":
            link.numeric(465, ":You are banned from this server- K-lined: soak")
            link.put("ERROR :Closing Link: 127.0.0.1 (K-Lined: soak month)")
            await link.flush()
            link.writer.close()
        elif how == "reset mid-line":
            self.flood(bot, link, rng.randrange(1, 50))
            link.put(":%s PRIVMSG %s :cut here" % (link.who("x"), CHANNELS[0]))
            data = ("\r\n".join(link.out)).encode()
            link.out = []
            bot.sent += data.count(b"\n")
            link.writer.write(data)
            await link.flush()
            await asyncio.sleep(0.02)
            link.reset()
        elif how == "reset":
            link.reset()
        elif how == "silent":
            await self.silent(link)
        elif how == "stops reading":
            sock = link.writer.get_extra_info("socket")
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            link.put(":%s PRIVMSG %s :!soakspam 300" % (link.who("drv"), link.nick))
            await link.flush()
            await asyncio.sleep(0.3)
            link.writer.transport.pause_reading()
            try:
                await asyncio.wait_for(self.closed(link), STEP_BOUND)
            except asyncio.TimeoutError:
                raise Hard("a server that stopped reading was never left")

    async def closed(self, link):
        """Until the bot has closed its end (its FIN or RST), whatever it
        left unread in our socket."""
        sock = link.writer.get_extra_info("socket")
        while True:
            await asyncio.sleep(0.1)
            try:
                state = sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 1)[0]
            except OSError:
                return
            if state in (TCP_CLOSE, TCP_CLOSE_WAIT):
                return

    # -- reports -----------------------------------------------------------
    def report_bot(self, bot, mark, s):
        print("soak: bot %s %s: links %d, lines %d, RSS %d KiB, descriptors %d, handles %d (pool %d), "
              "registry %d, Lua %.0f KiB, timers %d, faults %d, reconnects %d, recoveries %d/%d"
              % (bot.name, mark, s.links, s.lines, s.rss_kb, s.fds, s.handles, s.pool, s.registry, s.lua_kb,
                 s.timers, s.faults, s.reconnects, s.matched, s.checked), flush=True)

    def total(self, mark):
        snaps = [b.snaps[mark] for b in self.bots]
        t = Snapshot(**{k: sum(getattr(s, k) for s in snaps) for k in vars(snaps[0])})
        return t

    def report(self, mark):
        t = self.total(mark)
        print("soak: %s at %.0f s: links %d, lines %d, RSS %.1f MiB, descriptors %d, handles %d (pool %d), "
              "Lua registry %d, Lua heap %.0f KiB, loop timers %d (the module's poll and the bots'), "
              "faults %d, reconnects %d, recoveries %d/%d; send queue and receive buffer: not observable "
              "from the host (inside RSS)"
              % (mark, time.monotonic() - self.started, t.links, t.lines, t.rss_kb / 1024, t.fds, t.handles,
                 t.pool, t.registry, t.lua_kb, t.timers, t.faults, t.reconnects, t.matched, t.checked), flush=True)

    def last_line(self):
        h, e = self.total("halfway"), self.total("end")
        rss = 100.0 * (e.rss_kb - h.rss_kb) / h.rss_kb
        grew = []
        if rss > 1.0:
            grew.append("RSS")
        if e.fds > h.fds:
            grew.append("descriptors")
        if e.handles > h.handles or e.pool > h.pool:
            grew.append("handles")
        if e.registry > h.registry:
            grew.append("Lua registry")
        if e.lua_kb > h.lua_kb * 1.01:
            grew.append("Lua heap")
        if e.timers > h.timers:
            grew.append("timers")
        checked = sum(b.checked for b in self.bots)
        matched = sum(b.matched for b in self.bots)
        if matched != checked:
            grew.append("recoveries off")
        verdict = "flat" if not grew else "grows (%s)" % ", ".join(grew)
        return "soak: %d links, %d lines, RSS %+.1f %% from halfway, descriptors %+d, handles %+d, " \
               "recoveries %d/%d: %s" % (e.links, e.lines, rss, e.fds - h.fds, e.handles - h.handles,
                                         matched, checked, verdict)

    # -- the run -----------------------------------------------------------
    async def main(self):
        self.tls_ports = {}
        servers = []
        for bot in self.bots:
            ports = []
            for tls in (False, True):
                def accepted(b=bot, t=tls):
                    return PausedAtAccept(asyncio.StreamReader(limit=1 << 20),
                                          lambda r, w: self.serve(b, t, r, w))
                server = await asyncio.get_running_loop().create_server(accepted, "127.0.0.1", 0)
                servers.append(server)
                ports.append(server.sockets[0].getsockname()[1])
            self.tls_ports[bot.name] = ports[1]
            bot.start(*ports)
        print("soak: %d bots (%s), %d links, seed %s, flood %d lines, reload every %d sessions, in %s"
              % (len(self.bots), ", ".join("%s %s %s" % (b.name, b.tls or "plain", b.mech) for b in self.bots),
                 self.args.links, self.args.seed, self.args.flood, self.args.reload, self.work), flush=True)
        await asyncio.gather(*(self.watch(b) for b in self.bots))
        for s in servers:
            s.close()

    async def watch(self, bot):
        """Until the bot's last link: it must stay alive and keep coming back."""
        while not bot.done.is_set():
            try:
                await asyncio.wait_for(bot.done.wait(), 1.0)
            except asyncio.TimeoutError:
                pass
            if bot.proc.poll() is not None:
                bot.hard_fault("the host exited (status %s) at link %d" % (bot.proc.returncode, bot.accepts))
                break
            if time.monotonic() - bot.last_accept > STUCK_BOUND and not bot.done.is_set():
                bot.hard_fault("no link for %d s after link %d (the server waiting for %s): the bot stopped "
                               "coming back" % (STUCK_BOUND, bot.accepts, bot.waiting))
                break
        if bot.proc.poll() is None:
            bot.proc.send_signal(signal.SIGTERM)
            for _ in range(600):
                if bot.proc.poll() is not None:
                    break
                await asyncio.sleep(0.1)
            else:
                bot.proc.kill()
                bot.hard_fault("the host did not stop on SIGTERM")
            if bot.proc.wait() != 0:
                bot.hard_fault("the host exited with status %s" % bot.proc.returncode)
        bot.err.close()
        bot.out.close()
        with open(bot.err_path, "rb") as f:
            err = f.read().decode("latin-1")
        for word in ("AddressSanitizer", "LeakSanitizer", "runtime error:", "[ERROR]"):
            if word in err:
                at = err.index(word)
                bot.hard_fault("the host's stderr: %s" % err[max(0, at - 200):at + 1500])
                break


def main():
    p = argparse.ArgumentParser()
    for name in ("host", "module", "soak_lua", "bot_lua", "cert_script"):
        p.add_argument(name)
    p.add_argument("--links", type=int, default=10000)
    p.add_argument("--seed", default="1")
    p.add_argument("--bots", type=int, default=8, choices=range(1, MAX_BOTS + 1))
    p.add_argument("--flood", type=int, default=4200, help="mean lines of a flood")
    p.add_argument("--reload", type=int, default=100, help="sessions between reloads of the module, per bot")
    p.add_argument("--work")
    p.add_argument("--trace", action="store_true", help="the module's trace of each bot into the work folder")
    args = p.parse_args()
    args.links = max(args.links, 20 * args.bots)
    run = Run(args)
    try:
        asyncio.run(run.main())
    finally:
        # Whatever stopped the run, no host outlives it.
        for bot in run.bots:
            if bot.proc is not None and bot.proc.poll() is None:
                bot.proc.kill()
                bot.proc.wait()
    faults = [f for b in run.bots for f in b.hard]
    for bot in run.bots:
        if bot.anomalies:
            print("soak: bot %s: links the bot left before the schedule did: %s"
                  % (bot.name, ", ".join("%s %d" % kv for kv in sorted(bot.anomalies.items()))))
    if all("end" in b.snaps for b in run.bots) and all("halfway" in b.snaps for b in run.bots):
        kinds = collections.Counter()
        for b in run.bots:
            kinds.update(b.faults)
        print("soak: faults by kind: " + ", ".join("%s %d" % kv for kv in sorted(kinds.items())))
        print("soak: %d hard faults; logs in %s" % (len(faults), run.work if faults or not run.own_work else "removed"))
        print(run.last_line())
    else:
        print("soak: %d hard faults; logs in %s" % (len(faults), run.work))
        print("soak: the run did not reach its end: grows (hard faults)")
    if run.own_work and not faults:
        shutil.rmtree(run.work, ignore_errors=True)
    sys.exit(1 if faults else 0)


if __name__ == "__main__":
    main()
