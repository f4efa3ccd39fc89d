#!/usr/bin/env python3
"""A loopback server that grants any SASL PLAIN login and registers the
client, then stays. Prints "PORT <n>" first, then "READY" once the client
has joined #secrets; ends when stdin closes or after a minute."""
import select
import socket
import sys
import time

listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(1)
print("PORT %d" % listener.getsockname()[1], flush=True)
listener.settimeout(30)
conn, _ = listener.accept()
buf = b""
end = time.monotonic() + 60
while time.monotonic() < end:
    ready, _, _ = select.select([conn, sys.stdin], [], [], 1)
    if sys.stdin in ready and not sys.stdin.readline():
        break
    if conn not in ready:
        continue
    data = conn.recv(4096)
    if not data:
        break
    buf += data
    while b"\r\n" in buf:
        line, buf = buf.split(b"\r\n", 1)
        if line.startswith(b"CAP LS"):
            conn.sendall(b":srv CAP * LS :sasl\r\n")
        elif line == b"CAP REQ :sasl":
            conn.sendall(b":srv CAP * ACK :sasl\r\n")
        elif line == b"AUTHENTICATE PLAIN":
            conn.sendall(b"AUTHENTICATE +\r\n")
        elif line.startswith(b"AUTHENTICATE "):
            conn.sendall(b":srv 900 bot bot!u@h acct :You are now logged in\r\n:srv 903 bot :SASL authentication successful\r\n")
        elif line == b"CAP END":
            conn.sendall(b":srv 001 bot :Welcome\r\n:srv 376 bot :End of MOTD\r\n")
        elif line.startswith(b"JOIN #secrets"):
            print("READY", flush=True)
