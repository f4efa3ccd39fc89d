#!/usr/bin/env python3
"""A proxy that spoils a link on purpose, between a client and a server.

  chaos_proxy.py PORT_FILE UPSTREAM_PORT SEED LINKS LOG [tls]

Listens on a free loopback port (written to PORT_FILE), and relays each
connection it accepts to 127.0.0.1:UPSTREAM_PORT, the bytes cut as the
seeded schedule says for that connection: whole, one byte at a time, or in
random pieces, with random delays. TLS records are cut the same, since the
proxy never reads them. Each link ends by its fault:
  reset N     both sides reset once N bytes have come from the server (so
              anywhere in the connect, the TLS handshake, CAP, SASL, the
              welcome, or mid-line)
  stall N     after N bytes from the server nothing more goes either way
              until the client gives up on the silent server
  after N     the link runs N bytes past the client's first JOIN, then is
              reset
  later MS    ("tls", where the JOIN cannot be seen, in place of after) the
              link is reset MS milliseconds after it came, mostly past the
              welcome
The last link has no fault. LOG gets a line for each accept ("link K CUT
FAULT N at T", T in seconds since the start), for the client's first JOIN
on a plain link ("joined K"), a fault ("fault K KIND BYTES") and a link's
end ("end K CAUSE"). Stops after LINKS links,
once the last has ended or ten minutes have passed.
"""
import os
import random
import socket
import struct
import sys
import threading
import time

port_file, upstream, seed, links, log_path = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
tls = sys.argv[6:7] == ["tls"]
rng = random.Random(seed)
started = time.monotonic()
log_lock = threading.Lock()


def log(text):
    with log_lock, open(log_path, "a") as f:
        f.write("%s at %.2f\n" % (text, time.monotonic() - started))


def reset(sock):
    # SO_LINGER 0: close sends RST, as a dropped router or a killed peer would.
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    sock.close()


def schedule(k):
    """What link k suffers: (cutting, fault, n). Faults before the welcome
    alternate with ones after it, so the client's back-off stays short."""
    cut = rng.choice(["whole", "bytes", "pieces", "pieces"])
    if k == links - 1:
        return cut, "none", 0
    if k % 2 == 0:
        # Somewhere from the first byte to a little past the join (a plain
        # welcome is about 3 KB; TLS adds its handshake and records).
        return cut, rng.choice(["reset", "reset", "stall"]), rng.randrange(0, 4500 if tls else 3600)
    if tls:
        return cut, "later", rng.randrange(3000, 6000)
    return cut, "after", rng.randrange(0, 200)


class Link:
    def __init__(self, k, client):
        self.k = k
        self.client = client
        self.cut, self.fault, self.n = schedule(k)
        self.server = socket.create_connection(("127.0.0.1", upstream))
        for s in (client, self.server):
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.from_server = 0
        self.came = time.monotonic()
        self.joined_at = None  # bytes from the server when the client's JOIN passed
        self.seen = b""
        self.done = threading.Event()
        self.lock = threading.Lock()
        self.stalled = False
        self.rng = random.Random(seed * 1000 + k)
        log("link %d %s %s %d" % (k, self.cut, self.fault, self.n))

    def pieces(self, data):
        if self.cut == "whole":
            return [data]
        if self.cut == "bytes":
            return [data[i:i + 1] for i in range(len(data))]
        out, i = [], 0
        while i < len(data):
            step = self.rng.randrange(1, 64)
            out.append(data[i:i + step])
            i += step
        return out

    def end(self, cause, fault=None):
        with self.lock:
            if self.done.is_set():
                return
            self.done.set()
        if fault:
            log("fault %d %s" % (self.k, fault))
        log("end %d %s" % (self.k, cause))
        reset(self.client)
        reset(self.server)

    def due(self):
        """Whether the link's fault is due now."""
        if self.fault in ("reset", "stall"):
            return self.from_server >= self.n
        if self.fault == "after":
            return self.joined_at is not None and self.from_server >= self.joined_at + self.n
        if self.fault == "later":
            return time.monotonic() >= self.came + self.n / 1000
        return False

    def pump(self, src, dst, upstream_side):
        try:
            while not self.done.is_set():
                data = src.recv(4096)
                if not data:
                    self.end("closed by the %s" % ("server" if upstream_side else "client"))
                    return
                if not upstream_side and self.joined_at is None and not tls:
                    # TLS hides the JOIN; plain links show it.
                    self.seen = (self.seen + data)[-512:]
                    if b"\nJOIN " in self.seen or self.seen.startswith(b"JOIN "):
                        self.joined_at = self.from_server
                        log("joined %d" % self.k)
                for piece in self.pieces(data):
                    if self.done.is_set():
                        return
                    if self.stalled:
                        continue
                    if upstream_side:
                        self.from_server += len(piece)
                    if self.due():
                        if self.fault == "stall":
                            with self.lock:
                                if not self.stalled:
                                    log("fault %d stall %d" % (self.k, self.from_server))
                                self.stalled = True
                            continue
                        self.end("fault", "%s %d" % (self.fault, self.from_server))
                        return
                    dst.sendall(piece)
                    if self.cut != "whole" and self.rng.random() < 0.05:
                        time.sleep(self.rng.random() * 0.05)
        except OSError:
            self.end("socket error")

    def run(self):
        threads = [threading.Thread(target=self.pump, args=(self.server, self.client, True), daemon=True),
                   threading.Thread(target=self.pump, args=(self.client, self.server, False), daemon=True)]
        for t in threads:
            t.start()
        self.done.wait()


def main():
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    listener.settimeout(1)
    with open(port_file + ".tmp", "w") as f:
        f.write(str(listener.getsockname()[1]))
    os.rename(port_file + ".tmp", port_file)
    deadline = time.monotonic() + 600
    current = None
    k = 0
    while k < links and time.monotonic() < deadline:
        try:
            client, _ = listener.accept()
        except socket.timeout:
            continue
        if current is not None:
            current.end("a new link came")
        current = Link(k, client)
        threading.Thread(target=current.run, daemon=True).start()
        k += 1
    while current is not None and not current.done.is_set() and time.monotonic() < deadline:
        time.sleep(0.2)


main()
