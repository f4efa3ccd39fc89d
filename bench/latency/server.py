#!/usr/bin/env python3
"""The latency benchmark's server: registers each client that connects (one
at a time), and once it says BENCHGO writes LINES chat lines spread evenly
over SECONDS, each carrying the monotonic clock's nanoseconds at its write,
then an end marker. Prints its port first.

    server.py LINES SECONDS
"""
import socket
import sys
import time


def serve(conn, lines, seconds):
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    got = b""
    welcomed = False
    while True:
        data = conn.recv(4096)
        if not data:
            return
        got += data
        while b"\r\n" in got:
            line, got = got.split(b"\r\n", 1)
            words = line.split(b" ")
            if words[0] == b"CAP":
                conn.sendall(b":lat.test 421 * CAP :Unknown command\r\n")
            elif words[0] == b"USER" and not welcomed:
                welcomed = True
                conn.sendall(b":lat.test 001 bench :Welcome\r\n:lat.test 376 bench :End of MOTD\r\n")
            elif words[0] == b"PING":
                conn.sendall(b"PONG " + b" ".join(words[1:]) + b"\r\n")
            elif words[0] == b"BENCHGO":
                flood(conn, lines, seconds)
                return


def flood(conn, lines, seconds):
    start = time.monotonic()
    gap = seconds / lines
    for i in range(lines):
        due = start + i * gap
        left = due - time.monotonic()
        if left > 0:
            time.sleep(left)
        conn.sendall(b":src!s@lat.test PRIVMSG bench :%d\r\n" % time.monotonic_ns())
    conn.sendall(b":bench.end!s@lat.test PRIVMSG bench :end\r\n")
    # The client closes once it has written its figures.
    conn.settimeout(30)
    try:
        while conn.recv(4096):
            pass
    except OSError:
        pass


def main():
    lines, seconds = int(sys.argv[1]), float(sys.argv[2])
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    print(listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        with conn:
            serve(conn, lines, seconds)


if __name__ == "__main__":
    main()
