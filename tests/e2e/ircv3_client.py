#!/usr/bin/env python3
"""A raw IRC client for ircv3_e2e.sh, one job per run, every wait bounded.

  caps PORT [SNI]           print the server's CAP LS 302 reply; with SNI,
                            over TLS, the certificate checked against
                            $SSL_CERT_FILE and SNI
  register PORT NICK PASSWORD
                            register the nick's account with NickServ
  say PORT NICK CHANNEL TAGS TEXT
                            send TEXT to CHANNEL with TAGS (e.g. +account=x;
                            asks for message-tags), then quit
  kill PORT OPER PASSWORD VICTIM
                            become an operator and KILL VICTIM
  room PORT NICK TAG CHANNELS IDENTS
                            join the channels (space-separated) and print
                            what the server says of them (NAMES with every
                            status, WHO, the away texts, the topics) and of
                            the users with the idents (their nick, their
                            channels); then say "!room TAG CHANNELS" in the
                            first channel and quit. $QV_PASSWORD is sent
                            as PASS when set.
"""
import os
import socket
import ssl
import sys
import time


class Client:
    def __init__(self, port, sni=None, timeout=10):
        sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        if sni:
            ctx = ssl.create_default_context(cafile=os.environ.get("SSL_CERT_FILE"))
            sock = ctx.wrap_socket(sock, server_hostname=sni)
        self.sock = sock
        self.buf = b""
        self.deadline = time.monotonic() + timeout

    def send(self, *lines):
        self.sock.sendall("".join(line + "\r\n" for line in lines).encode())

    def lines(self):
        """Received lines until the deadline; PINGs answered on the way."""
        while time.monotonic() < self.deadline:
            while b"\n" in self.buf:
                raw, self.buf = self.buf.split(b"\n", 1)
                line = raw.rstrip(b"\r").decode(errors="replace")
                if line.startswith("PING"):
                    self.send("PONG" + line[4:])
                yield line
            self.sock.settimeout(max(0.05, self.deadline - time.monotonic()))
            try:
                data = self.sock.recv(4096)
            except (socket.timeout, TimeoutError):
                return
            if not data:
                return
            self.buf += data


def words(line):
    """The command and parameters of a line, without its tags and prefix."""
    parts = line.split(" ")
    while parts and parts[0][:1] in ("@", ":"):
        parts.pop(0)
    return parts


def registration(c, nick, caps):
    c.send("CAP LS 302")
    if caps:
        c.send("CAP REQ :" + caps)
    c.send("CAP END", f"NICK {nick}", f"USER {nick} 0 * :ircv3 e2e")


def caps(port, sni=None):
    c = Client(int(port), sni, timeout=5)
    c.send("CAP LS 302")
    for line in c.lines():
        if words(line)[:1] == ["CAP"]:
            print(line, flush=True)
            if words(line)[3:4] != ["*"]:  # the last line of a multi-line LS
                return 0
    return 1


def register(port, nick, password):
    c = Client(int(port), timeout=30)
    c.send(f"NICK {nick}", f"USER {nick} 0 * :register")
    for line in c.lines():
        if words(line)[:1] in (["376"], ["422"]):
            c.send(f"PRIVMSG NickServ :REGISTER {password} {nick}@quorvane.test")
        if line.startswith(":NickServ!") and " is now registered to " in line:
            c.send("QUIT :done")
            return 0
    return 1


def say(port, nick, channel, tags, text):
    c = Client(int(port), timeout=10)
    registration(c, nick, "message-tags" if tags else "")
    for line in c.lines():
        w = words(line)
        if w[:1] == ["001"]:
            c.send(f"JOIN {channel}")
        if w[:1] == ["366"]:  # joined: the end of the channel's names
            c.send((f"@{tags} " if tags else "") + f"PRIVMSG {channel} :{text}", "QUIT :said")
            return 0
    return 1


def kill(port, oper, password, victim):
    c = Client(int(port), timeout=10)
    c.send(f"NICK {oper}", f"USER {oper} 0 * :oper")
    for line in c.lines():
        w = words(line)
        if w[:1] == ["001"]:
            c.send(f"OPER {oper} {password}")
        if w[:1] == ["381"]:
            # Words a refused login starts with, inside an ERROR: still a loss to come back from.
            c.send(f"KILL {victim} :SASL login failed: not really, the policy is tried", "QUIT :done")
            return 0
        if w[:1] in (["491"], ["464"]):
            print(line)
            return 1
    return 1


def room(port, nick, tag, channels, idents):
    """Lines of tab-separated fields (nil as an empty field), as room.lua
    prints the bot's view:
      member CHANNEL SIGNS+NICK USER HOST ACCOUNT REALNAME AWAY
      topic CHANNEL TEXT SETTER
      me IDENT NICK CHANNELS"""
    channels, idents = channels.split(), idents.split()
    c = Client(int(port), timeout=30)
    if os.environ.get("QV_PASSWORD"):
        c.send("PASS " + os.environ["QV_PASSWORD"])
    c.send("CAP LS 302")
    names, users, topics, whois = {}, {}, {}, {}
    signs, whox, pending, offered = "", False, set(), []
    for line in c.lines():
        w = words(line)
        cmd, trailing = w[:1], line.split(" :", 1)[1] if " :" in line[1:] else ""
        if cmd == ["CAP"] and w[2:3] == ["LS"]:
            offered += trailing.split()
            if w[3:4] != ["*"]:  # the last line of a multi-line LS
                c.send(*(["CAP REQ :multi-prefix"] if "multi-prefix" in offered else []),
                       "CAP END", f"NICK {nick}", f"USER {nick} 0 * :room watcher")
        elif cmd == ["005"]:
            for token in w[2:]:
                if token.startswith("PREFIX="):
                    signs = token.split(")", 1)[1]
                whox = whox or token == "WHOX"
        elif cmd == ["001"]:
            c.send("JOIN " + ",".join(channels))
            pending = set(channels)
        elif cmd and cmd[0] in ("403", "471", "473", "474", "475"):  # cannot join
            print(line, file=sys.stderr)
            return 1
        elif cmd == ["353"]:
            names.setdefault(w[3], []).extend(trailing.split())
        elif cmd == ["332"]:
            topics[w[2]] = [trailing, ""]
        elif cmd == ["333"]:
            topics.setdefault(w[2], ["", ""])[1] = w[3].split("!")[0]
        elif cmd == ["366"]:
            pending.discard(w[2])
            if not pending:
                for chan in channels:
                    c.send(f"WHO {chan} %tcuhnfar,416" if whox else f"WHO {chan}")
                pending = set(channels)
        elif cmd == ["354"] and w[2:3] == ["416"]:
            # "354 me 416 #chan user host nick flags account :realname"
            user, host, who, flags, account = w[4:9]
            users[who] = [user, host, "" if account == "0" else account, trailing, flags]
        elif cmd == ["352"]:
            # "352 me #chan user host server nick flags :hops realname"
            users[w[6]] = [w[3], w[4], "", trailing.partition(" ")[2], w[7]]
        elif cmd == ["315"]:
            pending.discard(w[2])
            if not pending:
                asked = [n for n, u in users.items() if u[4].startswith("G")]
                asked += [n for n, u in users.items() if u[0].lstrip("~") in idents]
                for who in dict.fromkeys(asked):
                    whois[who] = {"away": "", "channels": ""}
                    c.send(f"WHOIS {who}")
                pending = set(whois)
                if not pending:
                    break
        elif cmd == ["301"] and w[2] in whois:
            whois[w[2]]["away"] = trailing
        elif cmd == ["319"] and w[2] in whois:
            whois[w[2]]["channels"] += " " + " ".join(ch.lstrip(signs) for ch in trailing.split())
        elif cmd == ["318"]:
            pending.discard(w[2])
            if not pending:
                break
    else:
        return 1
    for chan in channels:
        for name in names.get(chan, []):
            who = name.lstrip(signs)
            user, host, account, realname, flags = users[who]
            away = whois[who]["away"] if flags.startswith("G") else ""
            print("\t".join(["member", chan, name, user, host, account, realname, away]))
        if chan in topics:
            print("\t".join(["topic", chan] + topics[chan]))
    for who, (user, *_rest) in users.items():
        if user.lstrip("~") in idents:
            print("\t".join(["me", user.lstrip("~"), who, " ".join(sorted(whois[who]["channels"].split()))]))
    c.send(f"PRIVMSG {channels[0]} :!room {tag} {' '.join(channels)}", "QUIT :seen")
    # Gone once the server closes the link: the next view will not see us.
    for _ in c.lines():
        pass
    return 0


if __name__ == "__main__":
    jobs = {"caps": caps, "register": register, "say": say, "kill": kill, "room": room}
    sys.exit(jobs[sys.argv[1]](*sys.argv[2:]))
