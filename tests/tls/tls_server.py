#!/usr/bin/env python3
"""A one-client TLS peer for the module's TLS tests, on a loopback port the
kernel picks. Prints "PORT <n>" first, then what it received, one "GOT"
line each. Every wait is bounded; it ends by itself within a minute.

  tls_server.py MODE CERT KEY [--ask CA | --require CA] [--tls12] [--ipv6]
               (--ipv6: on ::1, not 127.0.0.1)

MODE: irc      handshake, registration, a PING and a PRIVMSG cut across
               three TLS records; waits for QUIT, then tells whether the
               client closed with close_notify
      drop     handshake, one line, then the link is closed
      sni      handshake, then "SNI <name>" (or "SNI none"): the server
               name the client sent; waits for QUIT
      cert     handshake, then "PEERCERT <sha256>" of the client's
               certificate (or "PEERCERT none"); registration, one line
               back, then waits for QUIT
      stall    handshake, registration, then reads nothing, with a small
               receive buffer, until what waits in it has not grown for a
               second (the client's socket is full); then reads
               "PRIVMSG #c :<n> ..." lines until QUIT and says
               "RECEIVED <count> IN ORDER" or where the order broke
      close    reads the client's hello and closes: no handshake
      silent   accepts and never answers
      garbage  answers the hello with plain text

--ask CA asks the client for a certificate (one is optional) and checks it
against CA; --require CA insists on one. --tls12: TLS 1.2 at most.
--say LINE: in the modes that take a registration, LINE (CR LF added) is
the first answer to it; stall mode answers CAP as an old server by itself.
--no-tickets: no session tickets after a TLS 1.3 handshake, so the server
sends nothing until the client speaks.
"""
import array
import fcntl
import hashlib
import socket
import ssl
import sys
import termios
import time


def say(text):
    print(text, flush=True)


def lines_of(conn, until, limit=60):
    """Lines the client sent, as they arrive, until one starts with `until`."""
    buf = b""
    end = time.monotonic() + limit
    while time.monotonic() < end:
        try:
            data = conn.recv(4096)
        except ssl.SSLEOFError:
            say("RAGGED_EOF")
            return
        if not data:
            return
        buf += data
        while b"\r\n" in buf:
            line, buf = buf.split(b"\r\n", 1)
            text = line.decode("ascii", "replace")
            say("GOT " + text)
            if text.startswith(until):
                return


def wait_until_full(conn, limit=30):
    """Reads nothing until the bytes waiting in the socket stop growing for a second."""
    waiting, since, end = -1, time.monotonic(), time.monotonic() + limit
    while time.monotonic() < end:
        n = array.array("i", [0])
        fcntl.ioctl(conn.fileno(), termios.FIONREAD, n)
        if n[0] != waiting:
            waiting, since = n[0], time.monotonic()
        elif waiting > 0 and time.monotonic() - since >= 1:
            return
        time.sleep(0.05)


def count_lines(conn, limit=60):
    """Reads numbered PRIVMSG lines until QUIT; says whether all came in order."""
    buf, count, end = b"", 0, time.monotonic() + limit
    while time.monotonic() < end:
        data = conn.recv(65536)
        if not data:
            break
        buf += data
        while b"\r\n" in buf:
            line, buf = buf.split(b"\r\n", 1)
            if line.startswith(b"QUIT"):
                say("RECEIVED %d IN ORDER" % count)
                return
            if line.startswith(b"PRIVMSG #c :"):
                if line.split(b" ")[2] != b":%d" % count:
                    say("OUT OF ORDER at %d: %s" % (count, line[:40]))
                    return
                count += 1
    say("ENDED after %d" % count)


def main():
    mode, cert, key = sys.argv[1], sys.argv[2], sys.argv[3]
    options = sys.argv[4:]
    ipv6 = "--ipv6" in options
    listener = socket.socket(socket.AF_INET6 if ipv6 else socket.AF_INET)
    if mode == "stall":
        # Inherited by the accepted socket: the client's writes fill it soon.
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    listener.bind(("::1" if ipv6 else "127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(60)
    say("PORT %d" % listener.getsockname()[1])
    raw, _ = listener.accept()
    raw.settimeout(60)

    if mode == "silent":
        time.sleep(60)
        return
    if mode == "close":
        raw.recv(4096)
        raw.close()
        return
    if mode == "garbage":
        raw.recv(4096)
        raw.sendall(b"NOTICE AUTH :*** this is no TLS server\r\n" * 4)
        time.sleep(30)
        return

    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    for flag, verify in (("--ask", ssl.CERT_OPTIONAL), ("--require", ssl.CERT_REQUIRED)):
        if flag in options:
            ctx.verify_mode = verify
            ctx.load_verify_locations(options[options.index(flag) + 1])
    if "--tls12" in options:
        ctx.maximum_version = ssl.TLSVersion.TLSv1_2
    if "--no-tickets" in options:
        ctx.num_tickets = 0
    sni = []
    ctx.sni_callback = lambda _sock, name, _ctx: sni.append(name)
    try:
        conn = ctx.wrap_socket(raw, server_side=True, suppress_ragged_eofs=False)
    except (ssl.SSLError, OSError) as e:
        say("HANDSHAKE FAILED " + str(e))
        return
    say("HANDSHAKE OK")
    if mode == "sni":
        say("SNI %s" % (sni[0] if sni and sni[0] else "none"))
        lines_of(conn, "QUIT")
        return
    if mode == "cert":
        peer = conn.getpeercert(binary_form=True)
        say("PEERCERT %s" % (hashlib.sha256(peer).hexdigest() if peer else "none"))
        lines_of(conn, "USER ")
        conn.sendall(b":srv 376 bot :End of MOTD\r\n")
        lines_of(conn, "QUIT")
        return
    lines_of(conn, "USER ")
    if "--say" in options:
        conn.sendall(options[options.index("--say") + 1].encode() + b"\r\n")
    if mode == "stall":
        # The client's lines wait until it knows CAP is not spoken here,
        # and it is registered.
        conn.sendall(b":srv 421 bot CAP :Unknown command\r\n:srv 001 bot :Welcome\r\n")
        say("STALLING")
        wait_until_full(conn)
        count_lines(conn)
        return
    if mode == "drop":
        conn.sendall(b":srv 376 bot :End of MOTD\r\n")
        time.sleep(0.3)
        raw.close()
        return

    conn.sendall(b":srv 376 bot :End of MOTD\r\nPING :tls\r\n")
    # One line in three records, with the poll likely between them.
    for piece in (b":alice!a@h PRIVMSG #c :hel", b"lo over", b" tls\r\n"):
        conn.sendall(piece)
        time.sleep(0.15)
    lines_of(conn, "QUIT")
    try:
        data = conn.recv(4096)
        say("CLOSE_NOTIFY" if data == b"" else "MORE")
    except ssl.SSLEOFError:
        say("RAGGED_EOF")
    except OSError as e:
        say("ERROR " + str(e))


if __name__ == "__main__":
    main()
