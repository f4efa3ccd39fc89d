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


if __name__ == "__main__":
    jobs = {"caps": caps, "register": register, "say": say, "kill": kill}
    sys.exit(jobs[sys.argv[1]](*sys.argv[2:]))
