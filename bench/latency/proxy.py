#!/usr/bin/env python3
"""Times a client's registration through a relay in front of a real server:
from the client's TCP open (the relay's accept) to the server's 001 reaching
the client, and to the echo of its first JOIN. One client; prints its port
first, then one line "reg_ms=... join_ms=..." (nan for what never came
within 20 s), and relays until either side closes.

    proxy.py SERVER_PORT
"""
import select
import socket
import sys
import time


def main():
    upstream_port = int(sys.argv[1])
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print(listener.getsockname()[1], flush=True)
    client, _ = listener.accept()
    opened = time.monotonic()
    server = socket.create_connection(("127.0.0.1", upstream_port))
    for s in (client, server):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    welcome = joined = None
    seen = b""
    reported = False
    while True:
        ready, _, _ = select.select([client, server], [], [], 1)
        for s in ready:
            data = s.recv(65536)
            if not data:
                if not reported:
                    print("reg_ms=nan join_ms=nan", flush=True)
                return
            (server if s is client else client).sendall(data)
            if s is server and joined is None:
                now = time.monotonic()
                seen = (seen + data)[-4096:]
                if welcome is None and b" 001 " in seen:
                    welcome = now
                if welcome is not None and b" JOIN " in seen.split(b" 001 ", 1)[-1]:
                    joined = now
        late = time.monotonic() - opened > 20
        if not reported and (joined is not None or late):
            ms = lambda t: "%.1f" % ((t - opened) * 1e3) if t is not None else "nan"
            print("reg_ms=%s join_ms=%s" % (ms(welcome), ms(joined)), flush=True)
            reported = True


if __name__ == "__main__":
    main()
