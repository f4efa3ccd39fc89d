#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into corpus/<target>/.

Seeds are realistic server lines and script calls in each target's input
format (see the comment at the top of each fuzz_*.cpp); regress-* files are
inputs that once found a fault. Files the fuzzer adds later (named by their
hash) are kept; run this again after changing a format.
"""
import base64
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CRLF = b"\r\n"

LINES = [
    b":irc.example.net 001 bot :Welcome to the network bot!u@127.0.0.1",
    b":irc.example.net 005 bot CHANTYPES=# NICKLEN=30 :are supported by this server",
    b":irc.example.net 372 bot :- Message of the day",
    b":irc.example.net 376 bot :End of MOTD command",
    b":irc.example.net 422 bot :MOTD file is missing",
    b":irc.example.net 432 * b@d :Erroneous nickname",
    b":irc.example.net 433 * bot :Nickname already in use",
    b":irc.example.net 353 bot = #chan :bot @alice +bob",
    b":irc.example.net NOTICE * :*** Looking up your hostname...",
    b"NOTICE AUTH :*** Checking ident",
    b"PING :irc.example.net",
    b"PING irc.example.net",
    b"PING",
    b"ERROR :Closing connection",
    b":alice!alice@host.example PRIVMSG #chan :hello there",
    b":alice!alice@host.example PRIVMSG bot :hi, bot",
    b":alice!alice@host.example PRIVMSG bot :\x01VERSION\x01",
    b":alice!alice@host.example PRIVMSG bot :\x01TIME\x01",
    b":alice!alice@host.example PRIVMSG bot :\x01PING 1700000000\x01",
    b":alice!alice@host.example PRIVMSG #chan :\x01ACTION waves\x01",
    b":alice!alice@2001:db8::1 NOTICE bot :a notice from IPv6",
    b":NickServ!NickServ@services. NOTICE bot :This nickname is registered. Please identify.",
    b":NickServ!NickServ@services. NOTICE bot :You are now identified for \x02bot\x02.",
    b":bot!u@127.0.0.1 JOIN :#chan",
    b":alice!a@host.example QUIT :Quit: bye",
    b"@time=2024-01-01T00:00:00.000Z :alice!a@h PRIVMSG #chan :tagged",
    b"@time=2026-12-09T20:00:00.000Z;account=alice;msgid=x1 :alice!alice@host.example PRIVMSG bot :\x01VERSION\x01",
    b"@account=svc;+account=admin :NickServ!NickServ@services. NOTICE bot :This nickname is registered.",
    b"@time=2026-12-09T20:00:00.000Z PING :irc.example.net",
    b"@account=a\\sb\\:c\\\\d\\;time=;account=x\\ :alice!a@h NOTICE #chan :escapes",
    b":caf\xc3\xa9!u@h PRIVMSG #chan :caf\xc3\xa9 \xff",
]


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def dispatch():
    # First byte: bit 0 debug echo off, bit 1 module shut.
    for i, line in enumerate(LINES):
        write("dispatch", "seed-%02d" % i, bytes([i % 4]) + line)
    # A CR inside a PING's text must not reach the PONG.
    write("dispatch", "regress-ping-cr-quit", b"\x00PING :x\rQUIT")
    write("dispatch", "regress-ping-cr-quit-shut", b"\x03PING :x\rQUIT")
    # No prefix, so no nick: a reply would be a NOTICE to no one.
    write("dispatch", "regress-query-without-nick", b"\x0c\x01:alice!alice@host.example PRIVMSG bot :\x01TIME\x01")
    # Tag sections that are empty, unterminated or alone on the line.
    for i, line in enumerate([b"@", b"@ ", b"@ :a!b PRIVMSG #c :hi", b"@account=x", b"@a  @b :a!b PRIVMSG #c :hi"]):
        write("dispatch", "seed-tags-%d" % i, bytes([i % 4]) + line)
    # Account and time with account-tag (bit 3), server-time (bit 4) or both enabled.
    tagged = b"@time=2026-12-09T20:00:00.000Z;account=al\\sice;time=x :alice!a@h PRIVMSG #c :hi"
    for i, bits in enumerate([0x08, 0x10, 0x18]):
        write("dispatch", "seed-tags-caps-%d" % i, bytes([bits]) + tagged)


def room():
    # First byte: bit 7 room mode, bits 4 to 6 multi-prefix,
    # userhost-in-names, account-tag; then lines ended by LF.
    welcome = [b":srv 001 bot :Welcome bot!u@h", b":srv 005 bot PREFIX=(qaohv)~&@%+ CHANMODES=beI,k,l,imnpst :are supported"]
    seeds = {
        "names": (0x80, welcome + [b":bot!u@h JOIN #c", b":srv 353 bot = #c :bot @alice +bob", b":srv 366 bot #c :End"]),
        "churn": (0x80, welcome + [b":bot!u@h JOIN #c", b":srv 353 bot = #c :bot ~alice &bob @carol %dan +erin",
                                   b":srv 366 bot #c :End", b":alice!a@h MODE #c +ooo-v bob carol dan erin",
                                   b":bob!b@h NICK carol", b":dan!d@h PART #c :bye", b":alice!a@h KICK #c erin :x",
                                   b":carol!c@h QUIT :gone", b":srv 353 bot = #c :bot alice", b":srv 366 bot #c :End"]),
        "multi": (0xB0, [welcome[0], b":bot!u@h JOIN #c", b":srv 353 bot = #c :bot @+alice!a@h1 bob!b@h2",
                         b":srv 366 bot #c :End", b"@account=al :alice!a@h1 PRIVMSG #c :hi"]),
        "casemapping": (0x80, [welcome[0], b":srv 005 bot CASEMAPPING=ascii :are supported", b":bot!u@h JOIN #c[x]",
                               b":srv 353 bot = #c[x] :bot [alice] {alice}", b":srv 366 bot #c[x] :End",
                               b":srv 005 bot CASEMAPPING=rfc1459 :are supported", b":{ALICE}!a@h NICK bot"]),
    }
    for name, (flags, lines) in seeds.items():
        write("dispatch", "seed-room-" + name, bytes([flags]) + b"\n".join(lines))


def stream_input(stream, reads=(), pad=0, pad_at=0, utf8=False):
    sizes = b"".join(struct.pack("<H", n - 1) for n in reads)
    return bytes([len(reads) | (0x80 if utf8 else 0), pad, pad_at]) + stream + sizes


def stream():
    text = CRLF.join(LINES) + CRLF
    write("stream", "seed-whole", stream_input(text))
    write("stream", "seed-bytewise", stream_input(text, reads=[1]))
    write("stream", "seed-uneven", stream_input(text, reads=[7, 13, 2]))
    write("stream", "seed-lone-breaks", stream_input(b"a\rb\nc\r\r\n\n\r\nx\x00y\r\n", reads=[1, 2]))
    # Around the 64 KiB line cap: pad 128 puts 65536 'A's in front.
    write("stream", "seed-cap-cr-apart", stream_input(b"\rx\r\n", pad=128, reads=[65536, 1]))
    write("stream", "seed-cap-less-one", stream_input(b"\rx\r\n", pad=127))
    write("stream", "seed-cap-three", stream_input(b"B\r\nok\r\n", pad=200, reads=[40000]))
    # A read that ends just after the CR at the cap, its LF in the next.
    write("stream", "regress-cap-cut-before-lf", stream_input(b"\r\nx\r\n", pad=128, reads=[65536, 1]))
    # Tags that fill a line past the cap: 'A's from offset 3, inside the value.
    write("stream", "seed-tags-over-cap", stream_input(b"@a=;account=x :a!b PRIVMSG #c :hi\r\nok\r\n", pad=200, pad_at=3,
                                                      reads=[30000]))
    # UTF-8 on: well-formed, Windows-1252 and broken sequences, and a
    # character across the cap (pad 127: 65535 'A's in front).
    mixed = b"caf\xc3\xa9 \xe9 \xe2\x82\xac \xf0\x9f\x98\x80 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82\r\n"
    write("stream", "seed-utf8", stream_input(mixed, reads=[1, 3], utf8=True))
    write("stream", "seed-utf8-cap", stream_input(b"\xe2\x82\xac\r\n\xe2\x82x\r\n", pad=127, reads=[65535, 1], utf8=True))


def call(op, *args):
    return bytes([op]) + b"".join(a + b"\x00" for a in args)


def commands():
    words = b" ".join(b"word%d" % i for i in range(200))
    seeds = {
        "message": call(0, b"#chan", b"hello world"),
        "message-lines": call(0, b"#chan", b"line one\nline two\r\n\r\nthree\r"),
        "message-long": call(0, b"#chan", words),
        "message-long-target": call(0, b"#" + b"t" * 150, words),
        "message-no-spaces": call(0, b"bob", b"x" * 900),
        "join": call(1, b"#chan") + call(2, b"#chan"),
        "join-injected": call(1, b"#chan\r\nQUIT :bye"),
        "nickserv": call(3, b"IDENTIFY secret"),
        "nickserv-injected": call(3, b"IDENTIFY x\nPRIVMSG NickServ :y"),
        "raw": call(4, b"PRIVMSG #chan :raw") + call(4, b"A\r\nB\rC\nD"),
        "connect": call(5, b"", b"bot", b"u", b"Real Name"),
        "connect-injected": call(5, b"\r\nQUIT", b"bot\r\nQUIT", b"u\n", b"Real\rName"),
        "mixed": call(1, b"#c") + call(0, b"#c", b"caf\xc3\xa9") + call(5, b"", b"n", b"u", b"r") + call(2, b"#c"),
    }
    for name, data in seeds.items():
        write("commands", "seed-" + name, data)


def login():
    # First byte: bit 0 an early JOIN, bit 1 a long password, bit 2 a server
    # password, bit 3 EXTERNAL, bit 4 SCRAM-SHA-256 (RFC 7677's exchange);
    # then the server's lines, each ended by LF; FF lets 11 s pass.
    ls = b":srv CAP * LS :multi-prefix sasl"
    ack = b":srv CAP fuzz ACK :sasl"
    plus = b"AUTHENTICATE +"
    ok = b":srv 900 fuzz fuzz!u@h acct :You are now logged in\n:srv 903 fuzz :SASL authentication successful"
    scram_ls = b":srv CAP * LS :sasl=PLAIN,SCRAM-SHA-256"
    scram_first = b"AUTHENTICATE " + base64.b64encode(
        b"r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096")
    scram_final = b"AUTHENTICATE " + base64.b64encode(b"v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4=")
    seeds = {
        "good": (1, [ls, ack, plus, ok, b":srv 001 fuzz :Welcome"]),
        "good-long": (3, [b":srv CAP * LS * :multi-prefix", b":srv CAP * LS :sasl=EXTERNAL,PLAIN", ack, plus, ok]),
        "wrong": (5, [ls, ack, plus, b":srv 904 fuzz :SASL authentication failed"]),
        "no-sasl": (1, [b":srv CAP * LS :multi-prefix", b":srv 001 fuzz :Welcome"]),
        "old-server": (0, [b":srv 421 * CAP :Unknown command", b":srv 001 fuzz :Welcome"]),
        "nak": (0, [ls, b":srv CAP fuzz NAK :sasl"]),
        "mechs": (0, [ls, ack, b":srv 908 fuzz EXTERNAL :are available", b":srv 904 fuzz :failed"]),
        "slow": (1, [ls, b"\xff", ack]),
        "903-first": (1, [b":srv 903 fuzz :SASL authentication successful", b":srv 001 fuzz :Welcome"]),
        "903-after-req": (1, [ls, b":srv 903 fuzz :SASL authentication successful"]),
        "challenge-early": (0, [ls, plus, ack]),
        "ack-unasked": (0, [ack, ls]),
        "ping": (1, [b"PING :x", ls, b"PING :y", ack, plus, ok]),
        "external": (9, [b":srv CAP * LS :sasl=PLAIN,EXTERNAL", ack, plus, ok]),
        "external-unlisted": (8, [b":srv CAP * LS :sasl=PLAIN", ack, plus, ok]),
        "scram": (17, [scram_ls, ack, plus, scram_first, scram_final, ok]),
        "scram-lying": (16, [scram_ls, ack, plus, scram_first, b"AUTHENTICATE dj1lcnI=", ok]),
        "scram-pieces": (16, [scram_ls, ack, plus, b"AUTHENTICATE " + b"A" * 400, plus, ok]),
        "scram-no-signature": (17, [scram_ls, ack, plus, scram_first, ok]),
    }
    for name, (flags, lines) in seeds.items():
        write("login", "seed-" + name, bytes([flags]) + b"".join(l + b"\n" for l in lines))


if __name__ == "__main__":
    dispatch()
    room()
    stream()
    commands()
    login()
