#!/usr/bin/env python3
"""A hostile IRC server against the real host program and module.

Runs one group of cases: after each, the host must be alive, its memory
(VmRSS) within a fixed margin of what it used after connecting, and a
following normal line (a marker) must reach the script, with the count of
lines that reached it as expected. Everything is on 127.0.0.1 with ports
the kernel picks; every wait is bounded; the host is stopped at the end.

    hostile.py HOST MODULE SCRIPT GROUP
"""
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

HOST, MODULE, SCRIPT, GROUP = sys.argv[1:5]
# A buffer that grew with what the server sends would pass this at once.
RSS_MARGIN_KB = 16 * 1024
CAP = 64 * 1024
CRLF = b"\r\n"


class Failure(Exception):
    pass


def listener(backlog=16):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    s.listen(backlog)
    return s


def pieces(length):
    """How many lines a line of `length` bytes reaches the scripts as."""
    return max(1, -(-length // CAP))


class Host:
    """The host program running the script, its output read as it comes."""

    def __init__(self, port):
        env = dict(os.environ)
        if "ASAN_OPTIONS" in env:
            # AddressSanitizer keeps freed memory back (256 MiB by default) to
            # catch its reuse; so small a quarantine leaves the RSS bounds
            # measuring the module rather than the sanitizer.
            env["ASAN_OPTIONS"] += ":quarantine_size_mb=1"
        self.proc = subprocess.Popen(
            [HOST, "--module", MODULE, SCRIPT, str(port)], env=env,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = []  # the script's "qv:" lines
        self.skipped = []
        self.errors = 0  # "[ERROR]" reports on stderr
        self.err_tail = b""
        self.cond = threading.Condition()
        threading.Thread(target=self._read_out, daemon=True).start()
        threading.Thread(target=self._read_err, daemon=True).start()

    def _read_out(self):
        for line in self.proc.stdout:
            if line.startswith(b"qv:"):
                with self.cond:
                    self.lines.append(line[3:].rstrip(b"\n").decode("latin-1"))
                    self.cond.notify_all()

    def _read_err(self):
        carry = b""
        while True:
            chunk = self.proc.stderr.read1(1 << 16)
            if not chunk:
                return
            data = carry + chunk
            with self.cond:
                self.errors += data.count(b"[ERROR]") - carry.count(b"[ERROR]")
                self.err_tail = (self.err_tail + chunk)[-2000:]
                self.cond.notify_all()
            carry = data[-6:]

    def wait_line(self, prefix, timeout=30):
        """The first line not yet taken that starts with `prefix`; the
        lines before it are taken too, into `skipped`."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for i, line in enumerate(self.lines):
                    if line.startswith(prefix):
                        self.skipped = self.lines[:i]
                        del self.lines[: i + 1]
                        return line
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None:
                    raise Failure("no %r from the script (host %s); stderr: %s" % (
                        prefix, "alive" if self.proc.poll() is None else "exited %s" % self.proc.poll(),
                        self.err_tail[-600:].decode("latin-1")))
                self.cond.wait(min(left, 0.2))

    def wait_errors(self, count, timeout):
        """Whether `count` "[ERROR]" reports have come, waiting up to `timeout`."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while self.errors < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.cond.wait(min(left, 0.2))
            return True

    def status(self, field):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        raise Failure("no %s for the host" % field)

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.proc.pid))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)


class Server:
    """The module's server: one link at a time on the main listener."""

    def __init__(self):
        self.main = listener()
        self.port = self.main.getsockname()[1]
        self.conn = None
        self.heard = b""  # what the module sent since the last marker

    def accept(self, timeout=15):
        if self.conn is not None:
            self.conn.close()
        self.main.settimeout(timeout)
        try:
            self.conn, _ = self.main.accept()
        except socket.timeout:
            raise Failure("the module did not connect")
        self.conn.settimeout(60)
        # A one-byte write goes out as it is, not gathered up.
        self.conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.heard = b""
        self.expect_heard(b"USER qv qv qv :hostile\r\n")
        # A server of before capabilities, which registers the link: the
        # module's own lines need not wait.
        self.send(b":hostile 421 qv CAP :Unknown command\r\n:hostile 001 qv :Welcome\r\n")

    def send(self, data):
        self.conn.sendall(data)

    def drain(self):
        self.conn.setblocking(False)
        try:
            while True:
                chunk = self.conn.recv(1 << 16)
                if not chunk:
                    break
                self.heard += chunk
        except BlockingIOError:
            pass
        finally:
            self.conn.settimeout(60)

    def expect_heard(self, needle, timeout=10):
        deadline = time.monotonic() + timeout
        while needle not in self.heard:
            if time.monotonic() > deadline:
                raise Failure("the module never sent %r (sent %r)" % (needle, self.heard[-300:]))
            self.conn.settimeout(max(0.01, deadline - time.monotonic()))
            try:
                chunk = self.conn.recv(1 << 16)
            except socket.timeout:
                continue
            finally:
                self.conn.settimeout(60)
            if not chunk:
                raise Failure("the module closed the link before sending %r" % needle)
            self.heard += chunk

    def reset(self):
        self.conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.conn.close()
        self.conn = None


class Suite:
    def __init__(self):
        self.server = Server()
        self.host = Host(self.server.port)
        self.markers = 0
        self.baseline = None
        self.failures = 0

    def marker(self, raw=None, chat=None, timeout=60):
        """A normal line after a case: it must reach the script, after
        exactly `raw` other lines (and `chat` chat messages) if given."""
        self.markers += 1
        n = self.markers
        self.server.send(b":drv!d@test PRIVMSG #t :marker %d\r\n" % n)
        line = self.host.wait_line("ack %d " % n, timeout)
        self.before = self.host.skipped  # what the script printed before it
        counts = dict(f.split("=") for f in line.split()[2:])
        if raw is not None and int(counts["raw"]) != raw + 1:
            raise Failure("%s lines reached the script, want %d" % (int(counts["raw"]) - 1, raw))
        if chat is not None and int(counts["chat"]) != chat + 1:
            raise Failure("%s chat messages reached the script, want %d" % (int(counts["chat"]) - 1, chat))
        self.server.drain()
        return counts

    def command(self, text):
        self.server.send(b":drv!d@test PRIVMSG #t :%s\r\n" % text.encode())

    def run(self, cases):
        self.host.wait_line("connect nil")
        self.server.accept()
        self.marker()
        self.baseline = self.host.status("VmRSS")
        print("baseline RSS %d KiB, %d fds" % (self.baseline, self.host.fds()))
        for case in cases:
            start = time.monotonic()
            self.server.heard = b""
            try:
                case(self)
                self.marker()
                if self.host.proc.poll() is not None:
                    raise Failure("the host exited")
                rss = self.host.status("VmRSS")
                if rss > self.baseline + RSS_MARGIN_KB:
                    raise Failure("RSS %d KiB, over %d KiB + the margin" % (rss, self.baseline))
                print("ok   %-34s %6.2f s  RSS %d KiB" % (case.__name__, time.monotonic() - start, rss))
            except (Failure, OSError) as e:
                self.failures += 1
                print("FAIL %-34s %s" % (case.__name__, e))
                if self.host.proc.poll() is not None:
                    break
                # Start the next case from a fresh link.
                try:
                    self.server.reset()
                    self.host.wait_line("reconnect nil")
                    self.server.accept()
                except (Failure, OSError, AttributeError) as e2:
                    print("     could not recover: %s" % e2)
                    break
        self.host.stop()
        print("%d passed, %d failed" % (len(cases) - self.failures, self.failures))
        return self.failures == 0


# ---- cases: odd lines ---------------------------------------------------------

def lines_without_prefix(s):
    lines = [b"PRIVMSG #t :hi", b"PRIVMSG", b"PRIVMSG #t", b"PRIVMSG qv :\x01VERSION\x01", b"NOTICE #t :hi",
             b"NOTICE", b"NOTICE NickServ :identify", b"376 qv :End of MOTD", b"376", b"432 qv :bad",
             b"432", b"433 qv :in use", b"433", b"PING :abc", b"PING", b"PING "]
    s.server.send(b"".join(l + CRLF for l in lines))
    s.marker(raw=len(lines))
    s.server.expect_heard(b"PONG :abc\r\nPONG \r\nPONG \r\n")
    if b"NOTICE" in s.server.heard:
        raise Failure("a CTCP reply to a line without a sender: %r" % s.server.heard)


def bare_prefixes(s):
    lines = [b":", b": PRIVMSG #t :hi", b": NOTICE #t :hi", b": 376 qv :x", b": 433 qv :x", b": PING :x",
             b"::", b":!", b":! PRIVMSG #t :hi", b":!@ NOTICE #t :hi", b":a! PRIVMSG #t :\x01VERSION\x01",
             b": PRIVMSG qv :\x01TIME\x01", b" ", b"", b"  :", b":echo"]
    s.server.send(b"".join(l + CRLF for l in lines))
    s.marker(raw=len(lines))
    # Only ":a!" names someone to answer.
    if s.server.heard.count(b"NOTICE") != 1 or b"NOTICE a :\x01VERSION " not in s.server.heard:
        raise Failure("CTCP replies to senders without a nick: %r" % s.server.heard)


def line_sizes(s):
    sizes = [1, 2, 100, 510, 512, 513, 4096, CAP - 2, CAP - 1, CAP, CAP + 1, CAP + 2, 2 * CAP, 2 * CAP + 1,
             1 << 20]
    head = b":a!b@c PRIVMSG #t :"
    data = b"".join((head + b"x" * (n - len(head)) if n > len(head) else b"y" * n) + CRLF for n in sizes)
    s.server.send(data)
    s.marker(raw=sum(pieces(n) for n in sizes))


def odd_bytes(s):
    lines = [b":echo!e@h PRIVMSG #t :nul\x00after", b":echo!e@h PRIVMSG #t :cr\ralone",
             b":echo!e@h PRIVMSG #t :lf\nalone", b":echo!e@h PRIVMSG #t :high\xff\xfe\x80",
             b"\x00", b"\r", b"\n", b"\xff" * 300, b"PING :a\rQUIT", b"PING :b\x00QUIT",
             b":a\rQUIT!b PRIVMSG qv :\x01VERSION\x01"]
    s.server.send(b"".join(l + CRLF for l in lines))
    s.marker(raw=len(lines))
    got = [l for l in s.before if l.startswith("chat ")]
    if len(got) != 4 or got[0] != "chat echo|#t|nul" or got[3] != "chat echo|#t|high???":
        raise Failure("odd bytes reached the script as %r" % got)
    s.server.expect_heard(b"PONG :a\r\nPONG :b\r\n")
    if b"QUIT" in s.server.heard or b"NOTICE" in s.server.heard:
        raise Failure("a reply carried bytes after a line break: %r" % s.server.heard)


def format_directives(s):
    f = b"%s%n%x%p%%"
    lines = [b":" + f + b"!" + f + b"@" + f + b" PRIVMSG " + f + b" :" + f,
             b":echo!" + f + b"@" + f + b" PRIVMSG " + f + b" :" + f + b" " + f,
             b":echo!e@h NOTICE " + f + b" :" + f,
             b":NickServ!" + f + b"@h NOTICE " + f + b" :" + f,
             f + b" " + f + b" " + f, b"PING :" + f,
             b":" + f + b"!u@h PRIVMSG qv :\x01" + f + b"\x01"]
    s.command("debug on")
    s.server.send(b"".join(l + CRLF for l in lines))
    s.command("debug off")
    s.marker(raw=len(lines) + 2)
    fs = f.decode()
    want = ["chat echo|%s|%s %s" % (fs, fs, fs), "notice echo|%s|%s" % (fs, fs),
            "nickserv :NickServ!%s@h|%s|%s" % (fs, fs, fs)]
    if s.before != want:
        raise Failure("format directives reached the script as %r" % s.before)
    s.server.expect_heard(b"PONG :" + f + CRLF)


def ctcp_unterminated(s):
    lines = [b":a!b@c PRIVMSG qv :\x01VERSION", b":a!b@c PRIVMSG qv :\x01TIME", b":a!b@c PRIVMSG qv :\x01",
             b":a!b@c PRIVMSG qv :\x01\x01", b":a!b@c PRIVMSG qv :VERSION\x01", b":a!b@c NOTICE qv :\x01VERSION",
             b":a!b@c PRIVMSG qv :\x01VERSION\x01 "]
    s.server.send(b"".join(l + CRLF for l in lines))
    s.marker(raw=len(lines))
    if b"NOTICE" in s.server.heard:
        raise Failure("a reply to no exact query: %r" % s.server.heard)


# ---- cases: volume and timing --------------------------------------------------

def fifty_megabytes_without_line_end(s):
    total, chunk = 50_000_000, b"z" * (1 << 20)
    sent = 0
    while sent < total:
        part = chunk[: total - sent]
        s.server.send(part)
        sent += len(part)
    s.server.send(CRLF)
    s.marker(raw=pieces(total))


def many_lines_in_one_write(s):
    n = 200_000
    s.server.send(b"".join(b":a!b@c PRIVMSG #t :line %d\r\n" % i for i in range(n)))
    s.marker(raw=n, chat=n)


def one_byte_every_50ms(s):
    for b in b":echo!e@h PRIVMSG #t :slow\r\n":
        s.server.send(bytes([b]))
        time.sleep(0.05)
    s.marker(raw=1)
    if s.before != ["chat echo|#t|slow"]:
        raise Failure("the slow line arrived changed")


def raising_handler(s):
    n = 100_000
    before = s.host.errors
    s.command("raise on")
    s.server.send(b"".join(b":a!b@c PRIVMSG #t :line %d\r\n" % i for i in range(n)))
    s.command("raise off")
    s.marker(raw=n + 2, chat=n + 2)
    # Each line raised two events, and each failed on its own. The reports
    # come on stderr, read by a thread of their own that may lag behind the
    # marker on stdout when the machine is busy.
    if not s.host.wait_errors(before + 2 * n, timeout=60):
        raise Failure("only %d handler errors reported" % (s.host.errors - before))


# ---- cases: links ----------------------------------------------------------------

def reset_mid_line(s):
    s.server.send(b":echo!e@h PRIVMSG #t :half a li")
    time.sleep(0.3)
    s.server.reset()
    line = s.host.wait_line("disconnected ", 10)
    if "reset" not in line:
        raise Failure("lost link reported as %r" % line)
    s.host.wait_line("reconnect nil", 10)
    s.server.accept()
    # Nothing of the old link's half line: only the answer to CAP, and
    # the welcome.
    s.marker(raw=2)


def silent_listener(s):
    quiet = listener()
    try:
        s.command("visit %d 1.5" % quiet.getsockname()[1])
        s.host.wait_line("visit nil", 10)
        quiet.settimeout(10)
        held, _ = quiet.accept()
        s.host.wait_line("reconnect nil", 10)
        held.close()
        s.server.accept()
    finally:
        quiet.close()


def refused_port(s):
    gone = listener()
    port = gone.getsockname()[1]
    gone.close()
    s.command("visit %d -" % port)
    s.host.wait_line("visit nil", 10)
    line = s.host.wait_line("disconnected ", 15)
    if line != "disconnected Connect failed: Connection refused":
        raise Failure("refused connect reported as %r" % line)
    s.host.wait_line("reconnect nil", 10)
    s.server.accept()


def connect_close_cycles(s):
    n = 1000
    # Room for every link at once: a full queue would stall a connect for
    # a second, though taking them is this side's business, not the module's.
    other = listener(n + 16)
    done = threading.Event()

    def serve():
        # Takes every link, reads what the module sends until it hangs up.
        other.settimeout(0.5)
        while not done.is_set():
            try:
                c, _ = other.accept()
            except socket.timeout:
                continue
            c.settimeout(5)
            try:
                while c.recv(4096):
                    pass
            except OSError:
                pass
            c.close()

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        fds, rss = s.host.fds(), s.host.status("VmRSS")
        s.command("cycle %d %d" % (n, other.getsockname()[1]))
        line = s.host.wait_line("cycled ", 60)
        if line != "cycled %d fails=0" % n:
            raise Failure("cycles: %r" % line)
        s.host.wait_line("reconnect nil", 10)
        s.server.accept()
        s.marker()
        if s.host.fds() != fds:
            raise Failure("%d open files before the cycles, %d after" % (fds, s.host.fds()))
        grown = s.host.status("VmRSS") - rss
        if grown > 8192:
            raise Failure("RSS grew by %d KiB over the cycles" % grown)
    finally:
        done.set()
        thread.join(5)
        other.close()


GROUPS = {
    "lines": [lines_without_prefix, bare_prefixes, line_sizes, odd_bytes, format_directives, ctcp_unterminated],
    "floods": [fifty_megabytes_without_line_end, many_lines_in_one_write, one_byte_every_50ms, raising_handler],
    "links": [reset_mid_line, silent_listener, refused_port, connect_close_cycles],
}


def main():
    suite = Suite()
    try:
        ok = suite.run(GROUPS[GROUP])
    except (Failure, OSError) as e:
        print("FAIL setup: %s" % e)
        ok = False
    finally:
        suite.host.stop()
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
