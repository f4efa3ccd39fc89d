#!/usr/bin/env python3
"""The SCRAM benchmark's server (run.sh): registers one client at a time
with a SASL login, PLAIN or SCRAM-SHA-256, the SCRAM iteration count taken
from the client's nick ("i4096"). It checks the client's proof with
Python's own PBKDF2 and answers with its signature, as a real server
would. Prints "PORT n" once listening."""
import base64
import hashlib
import hmac
import os
import socket
import sys


def b64(data):
    return base64.b64encode(data).decode()


def serve(conn):
    reader = conn.makefile("rb")
    nick, rounds, scram = "", 4096, None

    def send(*lines):
        conn.sendall("".join(l + "\r\n" for l in lines).encode())

    for raw in reader:
        line = raw.decode("latin-1").rstrip("\r\n")
        words = line.split(" ")
        if line == "CAP LS 302":
            send(":srv CAP * LS :sasl=PLAIN,SCRAM-SHA-256")
        elif words[0] == "NICK":
            nick = words[1]
            if nick.startswith("i"):
                rounds = int(nick[1:])
        elif line == "CAP REQ :sasl":
            send(":srv CAP %s ACK :sasl" % nick)
        elif line in ("AUTHENTICATE PLAIN", "AUTHENTICATE SCRAM-SHA-256"):
            scram = {} if line.endswith("SCRAM-SHA-256") else None
            send("AUTHENTICATE +")
        elif line == "AUTHENTICATE *":
            send(":srv 906 %s :SASL authentication aborted" % nick)
        elif words[0] == "AUTHENTICATE" and scram is None:
            send(":srv 900 %s %s!u@h acct :Logged in" % (nick, nick), ":srv 903 %s :SASL authentication successful" % nick)
        elif words[0] == "AUTHENTICATE" and words[1] == "+":
            send(":srv 900 %s %s!u@h acct :Logged in" % (nick, nick), ":srv 903 %s :SASL authentication successful" % nick)
        elif words[0] == "AUTHENTICATE" and "bare" not in scram:
            first = base64.b64decode(words[1]).decode()
            scram["bare"] = first[3:]
            nonce = first.split(",r=", 1)[1] + b64(os.urandom(18))
            salt = os.urandom(16)
            scram["server_first"] = "r=%s,s=%s,i=%d" % (nonce, b64(salt), rounds)
            scram["salted"] = hashlib.pbkdf2_hmac("sha256", b"bench-password", salt, rounds)
            send("AUTHENTICATE " + b64(scram["server_first"].encode()))
        elif words[0] == "AUTHENTICATE":
            final = base64.b64decode(words[1]).decode()
            without_proof, proof = final.rsplit(",p=", 1)
            auth = ",".join((scram["bare"], scram["server_first"], without_proof)).encode()
            client_key = hmac.digest(scram["salted"], b"Client Key", "sha256")
            signature = hmac.digest(hashlib.sha256(client_key).digest(), auth, "sha256")
            if bytes(a ^ b for a, b in zip(client_key, signature)) != base64.b64decode(proof):
                send(":srv 904 %s :SASL authentication failed" % nick)
                continue
            server_key = hmac.digest(scram["salted"], b"Server Key", "sha256")
            send("AUTHENTICATE " + b64(b"v=" + base64.b64encode(hmac.digest(server_key, auth, "sha256"))))
        elif line == "CAP END":
            send(":srv 001 %s :Welcome" % nick)
        elif words[0] == "QUIT":
            return


def main():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    print("PORT", listener.getsockname()[1], flush=True)
    while True:
        conn, _ = listener.accept()
        with conn:
            try:
                serve(conn)
            except (OSError, ValueError, KeyError, IndexError):
                pass


if __name__ == "__main__":
    sys.exit(main())
