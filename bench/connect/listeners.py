#!/usr/bin/env python3
"""Loopback servers that make a connect wait or fail, for the connect
benchmark: prints "silent PORT", "full PORT" and "refused PORT", then holds
them until stdin closes (or 120 s pass).
  silent   accepts and never says a word (a TLS handshake gets no answer)
  full     never accepts, its queue full: a connect gets no answer at all
  refused  nothing listens there
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

print("silent", silent.getsockname()[1])
print("full", full.getsockname()[1])
print("refused", refused)
sys.stdout.flush()
deadline = time.monotonic() + 120
while time.monotonic() < deadline:
    r, _, _ = select.select([sys.stdin], [], [], 1)
    if r and not sys.stdin.readline():
        break
