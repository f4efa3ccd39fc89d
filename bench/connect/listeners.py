#!/usr/bin/env python3
"""Loopback servers that make a connect wait or fail, for the connect
benchmark: prints "silent PORT", "full PORT", "refused PORT" and "dual
PORT", then holds them until stdin closes (or 120 s pass).
  silent   accepts and never says a word (a TLS handshake gets no answer)
  full     never accepts, its queue full: a connect gets no answer at all
  refused  nothing listens there
  dual     on ::1 like full; on 127.0.0.1, the same port, a server that
           welcomes the registration (001), then ends the link with an ERROR
"""
import select
import socket
import sys
import threading
import time


def listener(backlog):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    s.listen(backlog)
    return s


silent = listener(8)
held = []


def accept_all():
    while True:
        try:
            c, _ = silent.accept()
        except OSError:
            return
        held.append(c)


threading.Thread(target=accept_all, daemon=True).start()

full = listener(0)
fillers = []
for _ in range(8):
    c = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    c.setblocking(False)
    c.connect_ex(full.getsockname())
    fillers.append(c)

gone = listener(1)
refused = gone.getsockname()[1]
gone.close()


def full_queue(family, address, port=0):
    s = socket.socket(family, socket.SOCK_STREAM)
    s.bind((address, port))
    s.listen(0)
    for _ in range(8):
        c = socket.socket(family, socket.SOCK_STREAM)
        c.setblocking(False)
        c.connect_ex(s.getsockname()[:2])
        fillers.append(c)
    return s


def welcome_and_end(server):
    while True:
        try:
            c, _ = server.accept()
        except OSError:
            return
        c.settimeout(15)
        heard = b""
        try:
            while b"USER " not in heard:
                data = c.recv(4096)
                if not data:
                    break
                heard += data
            c.sendall(b":bench.test 001 bench :Welcome\r\nERROR :Closing Link: bench done\r\n")
        except OSError:
            pass
        c.close()


full6 = full_queue(socket.AF_INET6, "::1")
dual = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
dual.bind(("127.0.0.1", full6.getsockname()[1]))
dual.listen(8)
threading.Thread(target=welcome_and_end, args=(dual,), daemon=True).start()

print("silent", silent.getsockname()[1])
print("full", full.getsockname()[1])
print("refused", refused)
print("dual", dual.getsockname()[1])
sys.stdout.flush()
deadline = time.monotonic() + 120
while time.monotonic() < deadline:
    r, _, _ = select.select([sys.stdin], [], [], 1)
    if r and not sys.stdin.readline():
        break
