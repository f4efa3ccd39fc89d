#!/usr/bin/env python3
"""Holds the bot's links, as inspircd's raw log tells them, to the rules a
spoilt link must not break (chaos_e2e.sh says which), and the proxy's logs
to the recoveries.

  chaos_check.py RAWIO_LOG PROXY_LOG...
"""
import re
import sys

REGISTRATION = {"CAP", "AUTHENTICATE", "PASS", "NICK", "USER", "PONG", "QUIT"}
LINE = re.compile(r"(USERINPUT|USEROUTPUT): C\[([^\]]*)\] ([IO]) (.*)$")


def links(path):
    """Each client's lines in order, [(direction, text)], by client id."""
    out = {}
    with open(path, errors="replace") as f:
        for raw in f:
            m = LINE.search(raw.rstrip("\r\n"))
            if m:
                out.setdefault(m.group(2), []).append((m.group(3), m.group(4)))
    return out


def command(text):
    words = text.split(" ")
    return (words[1] if text.startswith(":") and len(words) > 1 else words[0]).upper()


def faults_of(lines):
    """What breaks a rule on one of the bot's links."""
    faults = []
    seen = set()
    ended = False  # CAP END sent
    plain_asked = False  # AUTHENTICATE PLAIN sent, "AUTHENTICATE +" not yet heard
    may_send_password = False
    logged_in = False
    welcomed = False
    pings = pongs = joins = 0
    for direction, text in lines:
        if direction == "O":
            c = command(text)
            if c == "AUTHENTICATE" and text.split(" ")[-1].lstrip(":") == "+" and plain_asked:
                may_send_password = True
            elif c == "903":
                logged_in = True
            elif c == "001":
                welcomed = True
            elif c == "PRIVMSG" and text.endswith(" #chaos :!ping"):
                pings += 1
            continue
        c = command(text)
        # Pongs answer pings, counted below.
        if c != "PONG" and text != "PRIVMSG #chaos :pong" and text in seen:
            faults.append("received twice: %s" % text)
        seen.add(text)
        if not ended and c not in REGISTRATION:
            faults.append("before CAP END: %s" % text)
        if c == "AUTHENTICATE":
            arg = text.split(" ", 1)[1] if " " in text else ""
            if arg.upper() == "PLAIN":
                plain_asked, may_send_password = True, False
            elif arg != "*":
                if not may_send_password:
                    faults.append("the login's payload before the server's AUTHENTICATE +")
                may_send_password = False
        elif c == "CAP" and text.upper().startswith("CAP END"):
            if not logged_in:
                faults.append("CAP END before the login succeeded (903)")
            ended = True
        elif c == "JOIN":
            joins += 1
            if not welcomed:
                faults.append("JOIN before the welcome")
        elif c == "PRIVMSG" and text == "PRIVMSG #chaos :pong":
            pongs += 1
            if pongs > pings:
                faults.append("pong %d for %d pings on this link: a line of another link" % (pongs, pings))
    if joins > 1:
        faults.append("%d JOINs" % joins)
    return faults, joins


def main():
    clients = links(sys.argv[1])
    bad = 0
    total = {"plain": 0, "tls": 0}
    joined_last = {}
    for cid, lines in clients.items():
        sent = [t for d, t in lines if d == "I"]
        nicks = [t.split(" ")[1] for t in sent if command(t) == "NICK" and " " in t]
        if not sent or sent[0] != "CAP LS 302" or not nicks or not nicks[0].startswith("chaos"):
            continue
        phase = "tls" if nicks[0].startswith("chaostls") else "plain"
        total[phase] += 1
        faults, joins = faults_of(lines)
        joined_last[phase] = joins == 1
        for f in faults:
            print("link %s (%s): %s" % (cid, phase, f))
            bad += 1
    for path in sys.argv[2:]:
        accepted, after, joined, ended_by_fault, fault_at, delays = [], set(), set(), set(), {}, []
        with open(path) as f:
            for raw in f:
                words = raw.split()
                at = float(words[-1])
                k = int(words[1])
                if words[0] == "link":
                    accepted.append(k)
                    if words[3] == "after":
                        after.add(k)
                    if k - 1 in fault_at:
                        delays.append(at - fault_at[k - 1])
                elif words[0] == "joined":
                    joined.add(k)
                elif words[0] == "fault":
                    fault_at[k] = at
                elif words[0] == "end" and words[2] == "fault":
                    ended_by_fault.add(k)
        for k in sorted(after):
            if k not in joined or k not in ended_by_fault:
                print("%s: link %d ended before the bot joined on it" % (path, k))
                bad += 1
        print("%s: %d links, %d faults; from a fault to the next link at most %.1f s" %
              (path.rsplit("/", 1)[-1], len(accepted), len(fault_at), max(delays or [0])))
    for phase in ("plain", "tls"):
        if not joined_last.get(phase):
            print("%s: the bot's last link has no JOIN" % phase)
            bad += 1
    print("the server saw %d plain and %d TLS links of the bot, %d faults of rule" % (total["plain"], total["tls"], bad))
    return 1 if bad else 0


sys.exit(main())
