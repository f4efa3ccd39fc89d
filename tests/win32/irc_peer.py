#!/usr/bin/env python3
"""Runs a Windows test host under Wine and plays the IRC server for it.

  irc_peer.py prepare --prefix DIR     create the Wine prefix; says whether Wine runs here
  irc_peer.py run --prefix DIR --exe HOST.exe --dll quorvane.dll [SCENARIO...]
  irc_peer.py stop --prefix DIR        end the prefix's Wine processes

--width 32 (default) or 64: the prefix's kind, the width of the host and DLL.

`run` starts the host with the port of a control link; the host connects
back and steers this peer, one command line at a time, each answered by one
line: "OK [text]" or "ERR why". Every network end is on 127.0.0.1 at a port
picked at run time; every wait has a bound. Text crosses the link with
control bytes, bytes above 0x7E and backslashes as \\xNN.

Commands (a new peer behaviour for a scenario is one more entry in
Peer.COMMANDS):
  RESET                  close every listener and link, stop background senders
  LISTEN [tls] [ask|require] [ipv6]
                         a fresh listener (with "tls": TLS with a self-signed
                         certificate for 127.0.0.1, and with "ask" or "require"
                         asking the client for a certificate of the test CA,
                         optional or not; with "ipv6": on ::1); OK <port>
  SILENT                 a listener that never answers a connect; OK <port>
  DUAL                   one that never answers on ::1 and a fresh listener on
                         127.0.0.1, at the same port; OK <port> [<name>], with
                         the name the host's private hosts file gives both
                         addresses (none where there is no such file; the
                         file also gives 127.0.0.1 the name bücher.quorvane.test)
  REFUSED                a port nothing listens on; OK <port>
  ACCEPT <ms>            the module connects to the latest listener
  SEND <bytes>           write bytes to the module
  TRICKLE <ms> <n> <line>  write <line> CR LF n times, every <ms>, in the background
  NEXT <ms>              the next line the module sent; OK <line>
  AWAIT <ms> <line>      skip lines until this one
  QUIET <ms>             no line arrives within <ms>
  EOF <ms>               the module closes the link (no line before that)
  DROP                   close the link from this side
  PINGS <n> <size>       write n PINGs of about <size> bytes in the background,
                         reading nothing meanwhile, until done or the link fails
  PONGS <ms> <n> <size>  the next n lines are the PONGs to those PINGs, in order
  SNI                    the server name the latest TLS hello carried; OK <name>
                         (OK none without one)
  SERVERCERT             the SHA-256 of the certificate a TLS listener presents,
                         as openssl x509 -fingerprint prints it: OK AB:CD:...
  PEERCERT               the SHA-256 of the certificate the module presented on
                         the TLS link; OK <hex> (OK none without one)
  SHOWN <ms>             once the latest TLS listener's handshake has ended, either
                         way: the SHA-256 of the certificate the module presented on
                         it; OK <hex>, or OK none when it presented none or the
                         handshake did not finish (under TLS 1.2 a client that
                         presents one sends the rest of its side with it)
  CLIENTCERT [NAME]      a test file of tests/tls/make_certs.sh by name, by
                         default the client certificate, PKCS#12 with the
                         password s3cret (client.p12); OK <its Windows path>
  SCRAM <ms> [lie]       play a SCRAM-SHA-256 server with RFC 7677's salt, count
                         and password ("pencil") from the module's first
                         message on: the proof it sends must be what Python's
                         own sums give; then the server's signature (with
                         "lie": a wrong one)

Exit codes: the host's (0 all passed), 1 for a failure here, 77 when Wine
cannot run on this machine (the tests are then skipped, with the reason).
"""
import argparse
import atexit
import base64
import hashlib
import hmac
import os
import select
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77


# ---- text on the control link -------------------------------------------------

def escape(data: bytes) -> str:
    return ''.join(chr(b) if 0x20 <= b < 0x7f and b != 0x5c else '\\x%02x' % b for b in data)


def unescape(text: str) -> bytes:
    out, i = bytearray(), 0
    while i < len(text):
        if text.startswith('\\x', i) and i + 4 <= len(text):
            try:
                out.append(int(text[i + 2:i + 4], 16))
                i += 4
                continue
            except ValueError:
                pass
        out += text[i].encode('latin-1')
        i += 1
    return bytes(out)


class Failed(Exception):
    """A command that did not hold: its text goes back as ERR."""


# ---- the IRC side ---------------------------------------------------------------

def loopback_listener(backlog=8, ipv6=False):
    s = socket.socket(socket.AF_INET6 if ipv6 else socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(('::1' if ipv6 else '127.0.0.1', 0))
    s.listen(backlog)
    return s


class Link:
    """The module's connection, read as lines (CR LF cut off)."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = b''
        self.eof = False
        self.lock = threading.Lock()  # senders: commands and background threads

    def send(self, data):
        with self.lock:
            self.sock.sendall(data)

    def next_line(self, deadline):
        """The next line; None at the deadline; raises EOFError at end of stream."""
        while True:
            cut = self.buf.find(b'\r\n')
            if cut >= 0:
                line, self.buf = self.buf[:cut], self.buf[cut + 2:]
                return line
            if self.eof:
                raise EOFError
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            # A TLS socket may hold decrypted bytes that select cannot see.
            pending = isinstance(self.sock, ssl.SSLSocket) and self.sock.pending() > 0
            if pending or select.select([self.sock], [], [], left)[0]:
                try:
                    data = self.sock.recv(65536)
                except OSError:
                    data = b''
                if data:
                    self.buf += data
                else:
                    self.eof = True

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def make_certs(where):
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tls', 'make_certs.sh')
    subprocess.run(['bash', script, where], check=True, timeout=60, stdout=subprocess.DEVNULL)


def certs_of(prefix):
    """The certificates `prepare` makes beside the prefix for all its hosts.
    Wine imports every PKCS#12 key into the user's one default key container,
    so hosts that run at once in a prefix must present the same certificate,
    or one signs with the other's key."""
    return os.path.abspath(prefix) + '.certs'


def cert_dir():
    """The test certificates (tests/tls/make_certs.sh): the prefix's, or made
    for this run."""
    if cert_dir.path is None:
        where = tempfile.mkdtemp(prefix='quorvane-win32-tls-')
        atexit.register(shutil.rmtree, where, True)
        make_certs(where)
        cert_dir.path = where
    return cert_dir.path


cert_dir.path = None


def tls_context(verify=''):
    """A server context with a self-signed certificate; `verify` "ask" or
    "require" asks the client for one the test CA signed."""
    if verify not in tls_context.ctx:
        where = cert_dir()
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(os.path.join(where, 'self.pem'), os.path.join(where, 'self.key'))
        ctx.sni_callback = lambda _sock, name, _ctx: setattr(tls_context, 'sni', name)
        if verify:
            ctx.verify_mode = ssl.CERT_OPTIONAL if verify == 'ask' else ssl.CERT_REQUIRED
            ctx.load_verify_locations(os.path.join(where, 'ca.pem'))
        tls_context.ctx[verify] = ctx
    return tls_context.ctx[verify]


tls_context.ctx = {}
tls_context.sni = None


def server_fingerprint():
    """What `openssl x509 -noout -fingerprint -sha256` prints after '=' for
    the certificate a TLS listener presents."""
    with open(os.path.join(cert_dir(), 'self.pem')) as f:
        der = ssl.PEM_cert_to_DER_cert(f.read())
    return ':'.join('%02X' % b for b in hashlib.sha256(der).digest())


class Peer:
    def __init__(self):
        self.listener = None
        self.tls = False
        self.tls_accept = None
        self.link = None
        self.spare = []     # sockets to close at RESET
        self.stop = threading.Event()
        self.threads = []

    def reset(self):
        self.stop.set()
        for t in self.threads:
            t.join(5)
        self.stop = threading.Event()
        self.threads = []
        if self.link:
            self.link.close()
        for s in self.spare + ([self.listener] if self.listener else []):
            s.close()
        self.listener, self.link, self.spare = None, None, []
        return ''

    def need_link(self):
        if not self.link:
            raise Failed('no module connected')
        return self.link

    @staticmethod
    def deadline(ms):
        return time.monotonic() + int(ms) / 1000

    def listen(self, args):
        if self.listener:
            self.spare.append(self.listener)
        words = args.split()
        self.tls = 'tls' in words
        self.listener = loopback_listener(ipv6='ipv6' in words)
        if self.tls:
            # The module's handshake goes on while the host waits for the
            # peer's answers, so the peer answers it in the background.
            verify = 'ask' if 'ask' in words else 'require' if 'require' in words else ''
            ctx, listener, box = tls_context(verify), self.listener, {}
            tls_context.sni = None

            def handshake():
                listener.settimeout(30)
                try:
                    sock, _ = listener.accept()
                    sock.settimeout(30)
                    box['sock'] = ctx.wrap_socket(sock, server_side=True)
                except (ssl.SSLError, OSError) as e:
                    box['error'] = str(e)

            t = threading.Thread(target=handshake, daemon=True)
            t.start()
            self.tls_accept = (t, box)
        return str(self.listener.getsockname()[1])

    def refused(self):
        s = loopback_listener()
        port = s.getsockname()[1]
        s.close()
        return str(port)

    def silent(self, ipv6=False, port=0):
        # Its accept queue filled and never served: further connects get no
        # answer at all, as from a host that drops packets.
        s = socket.socket(socket.AF_INET6 if ipv6 else socket.AF_INET, socket.SOCK_STREAM)
        s.bind(('::1' if ipv6 else '127.0.0.1', port))
        s.listen(0)
        self.spare.append(s)
        for _ in range(8):
            c = socket.socket(s.family, socket.SOCK_STREAM)
            c.setblocking(False)
            c.connect_ex(s.getsockname()[:2])
            self.spare.append(c)
        return str(s.getsockname()[1])

    def dual(self):
        for _ in range(20):
            port = int(self.silent(ipv6=True))
            try:
                live = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                live.bind(('127.0.0.1', port))
            except OSError:  # taken on 127.0.0.1: try another
                live.close()
                continue
            live.listen(8)
            if self.listener:
                self.spare.append(self.listener)
            self.listener, self.tls = live, False
            return '%d %s' % (port, DUAL_NAME if HOSTS_FILE else '')
        raise Failed('no port free on both ::1 and 127.0.0.1')

    def accept(self, ms):
        if not self.listener:
            raise Failed('no listener')
        if self.tls:
            thread, box = self.tls_accept
            thread.join(int(ms) / 1000)
            if 'sock' not in box:
                raise Failed('no TLS link: %s' % box.get('error', 'the module did not connect'))
            box['sock'].settimeout(None)
            if self.link:
                self.link.close()
            self.link = Link(box['sock'])
            return ''
        self.listener.settimeout(int(ms) / 1000)
        try:
            sock, _ = self.listener.accept()
        except socket.timeout:
            raise Failed('the module did not connect within %s ms' % ms)
        sock.settimeout(None)
        if self.link:
            self.link.close()
        self.link = Link(sock)
        return ''

    def send(self, text):
        self.need_link().send(unescape(text))
        return ''

    def trickle(self, args):
        every_ms, count, line = args.split(' ', 2)
        data = unescape(line) + b'\r\n'
        return self.send_in_background((data for _ in range(int(count))), int(every_ms) / 1000)

    def send_in_background(self, chunks, every_s=0):
        """Writes the chunks from a thread, `every_s` apart, until done, RESET
        or the link fails."""
        link, stop = self.need_link(), self.stop

        def run():
            for data in chunks:
                if stop.wait(every_s) if every_s else stop.is_set():
                    return
                try:
                    link.send(data)
                except OSError:
                    return

        t = threading.Thread(target=run, daemon=True)
        t.start()
        self.threads.append(t)
        return ''

    @staticmethod
    def ping(i, size):
        return b'PING :%d ' % i + b'x' * max(int(size) - 16, 0)

    def pings(self, args):
        count, size = args.split()
        return self.send_in_background(self.ping(i, size) + b'\r\n' for i in range(int(count)))

    def pongs(self, args):
        ms, count, size = args.split()
        end = self.deadline(ms)
        for i in range(int(count)):
            try:
                line = self.need_link().next_line(end)
            except EOFError:
                raise Failed('link closed after %d PONGs' % i)
            want = b'PONG ' + self.ping(i, size)[5:]
            if line != want:
                raise Failed('PONG %d: got %s' % (i, escape((line or b'<none>')[:60])))
        return ''

    def next(self, ms):
        try:
            line = self.need_link().next_line(self.deadline(ms))
        except EOFError:
            raise Failed('the module closed the link')
        if line is None:
            raise Failed('no line within %s ms' % ms)
        return escape(line)

    def await_(self, args):
        ms, want = args.split(' ', 1)
        want, end, skipped = unescape(want), self.deadline(ms), []
        while True:
            try:
                line = self.need_link().next_line(end)
            except EOFError:
                raise Failed('link closed; lines before: %s' % skipped[-5:])
            if line is None:
                raise Failed('no such line within %s ms; lines before: %s' % (ms, skipped[-5:]))
            if line == want:
                return ''
            skipped.append(escape(line))

    def quiet(self, ms):
        try:
            line = self.need_link().next_line(self.deadline(ms))
        except EOFError:
            return ''
        if line is not None:
            raise Failed('the module sent %s' % escape(line))
        return ''

    def eof(self, ms):
        try:
            line = self.need_link().next_line(self.deadline(ms))
        except EOFError:
            return ''
        raise Failed('link still open after %s ms' % ms if line is None else 'the module sent %s' % escape(line))

    def peer_cert(self):
        sock = self.need_link().sock
        der = sock.getpeercert(binary_form=True) if isinstance(sock, ssl.SSLSocket) else None
        return hashlib.sha256(der).hexdigest() if der else 'none'

    def shown_cert(self, ms):
        if not self.tls or not self.tls_accept:
            raise Failed('no TLS listener')
        thread, box = self.tls_accept
        thread.join(int(ms) / 1000)
        if thread.is_alive():
            raise Failed('the TLS handshake did not end within %s ms' % ms)
        sock = box.get('sock')
        if sock is None:
            return 'none'
        self.spare.append(sock)
        der = sock.getpeercert(binary_form=True)
        return hashlib.sha256(der).hexdigest() if der else 'none'

    # RFC 7677's example: the server's part of the nonce, the salt, the
    # count, the password, and for its client nonce the proof and signature.
    RFC_SERVER_NONCE = '%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0'
    RFC_SALT = 'W22ZaJ0SNY7soEsUEjb6gQ=='
    RFC_NONCE = 'rOprNGfwEbeRWgbNEkqO'
    RFC_PROOF = 'dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ='
    RFC_SIGNATURE = '6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4='

    @classmethod
    def scram_sums(cls, bare, nonce):
        """The proof and the server's signature for an exchange over RFC
        7677's server message, in base64."""
        server_first = 'r=%s%s,s=%s,i=4096' % (nonce, cls.RFC_SERVER_NONCE, cls.RFC_SALT)
        auth = '%s,%s,c=biws,r=%s%s' % (bare, server_first, nonce, cls.RFC_SERVER_NONCE)
        salted = hashlib.pbkdf2_hmac('sha256', b'pencil', base64.b64decode(cls.RFC_SALT), 4096)
        client_key = hmac.digest(salted, b'Client Key', 'sha256')
        client_sig = hmac.digest(hashlib.sha256(client_key).digest(), auth.encode(), 'sha256')
        proof = bytes(a ^ b for a, b in zip(client_key, client_sig))
        signature = hmac.digest(hmac.digest(salted, b'Server Key', 'sha256'), auth.encode(), 'sha256')
        return server_first, base64.b64encode(proof).decode(), base64.b64encode(signature).decode()

    def authenticate(self, end):
        try:
            line = self.need_link().next_line(end)
        except EOFError:
            raise Failed('the module closed the link')
        if line is None or not line.startswith(b'AUTHENTICATE '):
            raise Failed('expected AUTHENTICATE, got %s' % escape(line or b'<none>'))
        return base64.b64decode(line[13:], validate=True).decode('latin-1')

    def scram(self, args):
        words = args.split()
        end = self.deadline(words[0])
        # These sums are RFC 7677's own for its nonce.
        if self.scram_sums('n=user,r=' + self.RFC_NONCE, self.RFC_NONCE)[1:] != (self.RFC_PROOF, self.RFC_SIGNATURE):
            raise Failed("Python's sums do not give RFC 7677's proof")
        first = self.authenticate(end)
        if not first.startswith('n,,n=') or ',r=' not in first:
            raise Failed('not a SCRAM first message: %s' % escape(first.encode('latin-1')))
        bare, nonce = first[3:], first.split(',r=', 1)[1]
        server_first, proof, signature = self.scram_sums(bare, nonce)
        self.need_link().send(b'AUTHENTICATE ' + base64.b64encode(server_first.encode()) + b'\r\n')
        final = self.authenticate(end)
        want = 'c=biws,r=%s%s,p=%s' % (nonce, self.RFC_SERVER_NONCE, proof)
        if final != want:
            raise Failed('the module sent %s, not %s' % (escape(final.encode('latin-1')), want))
        if 'lie' in words[1:]:
            signature = base64.b64encode(bytes(32)).decode()
        self.need_link().send(b'AUTHENTICATE ' + base64.b64encode(b'v=' + signature.encode()) + b'\r\n')
        return ''

    def drop(self):
        link = self.need_link()
        try:
            link.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        link.close()
        self.link = None
        return ''

    COMMANDS = {
        'RESET': lambda p, a: p.reset(),
        'LISTEN': lambda p, a: p.listen(a),
        'SILENT': lambda p, a: p.silent(),
        'DUAL': lambda p, a: p.dual(),
        'REFUSED': lambda p, a: p.refused(),
        'PINGS': lambda p, a: p.pings(a),
        'PONGS': lambda p, a: p.pongs(a),
        'SNI': lambda p, a: tls_context.sni or 'none',
        'SERVERCERT': lambda p, a: server_fingerprint(),
        'PEERCERT': lambda p, a: p.peer_cert(),
        'SHOWN': lambda p, a: p.shown_cert(a),
        'CLIENTCERT': lambda p, a: windows_path(os.path.join(cert_dir(), os.path.basename(a) or 'client.p12')),
        'ACCEPT': lambda p, a: p.accept(a),
        'SEND': lambda p, a: p.send(a),
        'TRICKLE': lambda p, a: p.trickle(a),
        'NEXT': lambda p, a: p.next(a),
        'AWAIT': lambda p, a: p.await_(a),
        'QUIET': lambda p, a: p.quiet(a),
        'EOF': lambda p, a: p.eof(a),
        'DROP': lambda p, a: p.drop(),
        'SCRAM': lambda p, a: p.scram(a),
    }

    def handle(self, line):
        verb, _, args = line.partition(' ')
        command = self.COMMANDS.get(verb)
        if command is None:
            return 'ERR unknown command %s' % verb
        try:
            text = command(self, args)
        except Failed as e:
            return 'ERR ' + escape(str(e).encode('latin-1', 'replace'))[:2000]
        except (OSError, ValueError) as e:
            return 'ERR %s: %s' % (type(e).__name__, e)
        return 'OK ' + text if text else 'OK'


# ---- Wine ---------------------------------------------------------------------------

# The prefix's kind: a 64-bit host needs a 64-bit prefix.
WIDTH = 32


def wine_program():
    """Wine's loader for the prefix's width: Debian's `wine` starts the 32-bit
    one whenever wine32 is installed, which refuses a 64-bit prefix."""
    if WIDTH == 64:
        for path in (shutil.which('wine64'), '/usr/lib/wine/wine64'):
            if path and os.access(path, os.X_OK):
                return path
        return None
    return shutil.which('wine')


def wine_env(prefix):
    env = dict(os.environ, WINEPREFIX=os.path.abspath(prefix), WINEARCH='win%d' % WIDTH, WINEDEBUG='-all',
               WINEDLLOVERRIDES='mscoree,mshtml=')  # no Mono or Gecko installers
    for name in ('DISPLAY', 'WAYLAND_DISPLAY'):
        env.pop(name, None)  # headless, even on a desktop
    return env


def status_file(prefix):
    return os.path.abspath(prefix) + '.status'


# What Wine's failure to start says when the machine cannot run it at all.
CANNOT_RUN = [
    (b'Exec format error', 'this kernel refuses 32-bit x86 programs and no qemu-i386 is registered for '
                           'them in binfmt_misc (scripts/ensure-wine sets that up)'),
    (b'failed to map the shared user data', "Wine's 32-bit side runs under a qemu-i386 too old for it; "
                                            'scripts/ensure-wine installs qemu 10'),
]


def prepare(prefix):
    status = status_file(prefix)
    if os.path.exists(status):
        os.remove(status)
    # scripts/ensure-wine leaves apt's reason beside the build when it could
    # not install this width's Wine (Debian's `wine` is there even then).
    why = os.path.join(os.path.dirname(os.path.abspath(prefix)), 'wine-install.reason')
    if os.path.exists(why):
        return skip(status, open(why).read().strip())
    wine = wine_program()
    if not wine:
        return skip(status, '%d-bit wine is not installed (scripts/ensure-wine installs it)' % WIDTH)
    start = time.monotonic()
    proc = subprocess.Popen([wine, 'wineboot', '--init'], env=wine_env(prefix), stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=150)
    except subprocess.TimeoutExpired:
        kill(proc)
        stop(prefix)
        print('wineboot did not finish in 150 s')
        return 1
    for pattern, reason in CANNOT_RUN:
        if pattern in out:
            return skip(status, reason)
    if proc.returncode != 0:
        sys.stdout.write(out.decode('latin-1'))
        print('wineboot failed (exit %d)' % proc.returncode)
        return 1
    shutil.rmtree(certs_of(prefix), ignore_errors=True)
    make_certs(certs_of(prefix))
    with open(status, 'w') as f:
        f.write('ok\n')
    print('Wine prefix ready in %.1f s: %s' % (time.monotonic() - start, prefix))
    return 0


def skip(status, reason):
    with open(status, 'w') as f:
        f.write(reason + '\n')
    print('SKIPPED: ' + reason)
    return SKIP


def kill(proc):
    # Only this process group: the other host may be running in the prefix.
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except OSError:
        pass
    proc.wait()


def stop(prefix):
    shutil.rmtree(certs_of(prefix), ignore_errors=True)
    server = shutil.which('wineserver')
    if server and os.path.isdir(prefix):
        subprocess.run([server, '-k'], env=wine_env(prefix), stdin=subprocess.DEVNULL, timeout=30, check=False)
    return 0


# Wine resolves names through the system's resolver, which reads
# /etc/hosts: in a mount namespace of its own (root only) the host gets a
# hosts file that also names ::1 and 127.0.0.1 DUAL_NAME, for a name with
# two addresses that need no network.
DUAL_NAME = 'dual.quorvane.test'
IDN_NAME = 'b\u00fccher.quorvane.test'
PRIVATE_HOSTS = ['unshare', '--mount', '--propagation', 'private', 'sh', '-c',
                 'mount --bind "$0" /etc/hosts && exec "$@"']
HOSTS_FILE = None


def private_hosts():
    """A hosts file for the host's private mount namespace; None where none can be made."""
    if os.geteuid() != 0 or not shutil.which('unshare'):
        return None
    where = tempfile.mkdtemp(prefix='quorvane-hosts-')
    path = os.path.join(where, 'hosts')
    with open('/etc/hosts') as system, open(path, 'w') as f:
        f.write(system.read() + '\n::1 %s\n127.0.0.1 %s\n' % (DUAL_NAME, DUAL_NAME))
        # An IDN, in UTF-8 and in the ASCII form Windows may turn it into.
        f.write('127.0.0.1 %s %s\n' % (IDN_NAME, IDN_NAME.encode('idna').decode()))
    probe = subprocess.run(PRIVATE_HOSTS + [path, 'true'], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=30, check=False)
    if probe.returncode != 0:
        shutil.rmtree(where, ignore_errors=True)
        return None
    return path


def windows_path(path):
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def run(prefix, exe, dll, scenarios, timeout):
    status = status_file(prefix)
    if not os.path.exists(status):
        print('the Wine prefix was never prepared (the win32.wine test sets it up)')
        return 1
    reason = open(status).read().strip()
    if reason != 'ok':
        print('SKIPPED: ' + reason)
        return SKIP
    if os.path.isdir(certs_of(prefix)):
        cert_dir.path = certs_of(prefix)

    control = loopback_listener(backlog=1)
    deadline = time.monotonic() + timeout
    cmd = [wine_program(), exe, windows_path(dll), str(control.getsockname()[1])] + scenarios
    global HOSTS_FILE
    HOSTS_FILE = private_hosts()
    if HOSTS_FILE:
        cmd = PRIVATE_HOSTS + [HOSTS_FILE] + cmd
    proc = subprocess.Popen(cmd, env=wine_env(prefix), stdin=subprocess.DEVNULL, start_new_session=True)
    peer = Peer()
    try:
        control.settimeout(0.5)
        conn = None
        while conn is None:
            try:
                conn, _ = control.accept()
            except socket.timeout:
                if proc.poll() is not None or time.monotonic() > deadline:
                    print('the test host never connected to the peer (exit %s)' % proc.poll())
                    return 1
        with conn:
            buf = b''
            while True:
                cut = buf.find(b'\n')
                if cut >= 0:
                    line, buf = buf[:cut].decode('latin-1'), buf[cut + 1:]
                    conn.sendall((peer.handle(line) + '\n').encode('latin-1'))
                    continue
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([conn], [], [], left)[0]:
                    print('TIMEOUT: the test host ran for more than %d s' % timeout)
                    return 1
                data = conn.recv(65536)
                if not data:
                    break  # the host is done
                buf += data
        try:
            code = proc.wait(max(deadline - time.monotonic(), 5))
            return 1 if code == SKIP else code  # a skip is for this script to say
        except subprocess.TimeoutExpired:
            print('the test host did not exit')
            return 1
    finally:
        peer.reset()
        control.close()
        if proc.poll() is None:
            kill(proc)
        if HOSTS_FILE:
            shutil.rmtree(os.path.dirname(HOSTS_FILE), ignore_errors=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('mode', choices=['prepare', 'run', 'stop'])
    ap.add_argument('--prefix', required=True)
    ap.add_argument('--exe')
    ap.add_argument('--dll')
    ap.add_argument('--timeout', type=int, default=120)
    ap.add_argument('--width', type=int, choices=[32, 64], default=32)
    ap.add_argument('scenarios', nargs='*')
    a = ap.parse_intermixed_args()
    sys.stdout.reconfigure(line_buffering=True)
    global WIDTH
    WIDTH = a.width
    if a.mode == 'prepare':
        return prepare(a.prefix)
    if a.mode == 'stop':
        return stop(a.prefix)
    return run(a.prefix, a.exe, a.dll, a.scenarios, a.timeout)


if __name__ == '__main__':
    sys.exit(main())
