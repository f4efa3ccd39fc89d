#!/usr/bin/env python3
"""PKCS#12 files no tool writes, made from one that a tool did: counts that
would hold a reader for hours, a MAC of a kind OpenSSL 3.0 cannot compute.
Only the structure is changed; whatever the change breaks (the MAC over
the contents, the key a count derives) is never reached by a reader that
refuses the file first.

  p12_craft.py IN OUT mac-rounds N      MacData's iteration count
  p12_craft.py IN OUT key-rounds N      the count of the first shrouded key in the clear
  p12_craft.py IN OUT pbmac1 N          a PBMAC1 MAC (PBKDF2, HMAC-SHA-256) of N rounds
  p12_craft.py IN OUT ber N             the same file in BER, as some tools write it: every
                                        outer element of indefinite length, octets in pieces
                                        of N bytes (what they hold, which the MAC covers, kept)
"""
import sys

SEQUENCE, INTEGER, OCTETS, OID, NULL, EXPLICIT0 = 0x30, 0x02, 0x04, 0x06, 0x05, 0xA0


def decode(data):
    """The DER elements of `data`, as [tag, contents] lists."""
    out, i = [], 0
    while i < len(data):
        tag, length = data[i], data[i + 1]
        i += 2
        if length & 0x80:
            n = length & 0x7F
            length = int.from_bytes(data[i:i + n], 'big')
            i += n
        body = data[i:i + length]
        i += length
        out.append([tag, decode(body) if tag & 0x20 else body])
    return out


def encode(elements):
    out = b''
    for tag, body in elements:
        body = encode(body) if isinstance(body, list) else body
        n = len(body)
        length = bytes([n]) if n < 0x80 else bytes([0x80 | ((n.bit_length() + 7) // 8)]) + n.to_bytes((n.bit_length() + 7) // 8, 'big')
        out += bytes([tag]) + length + body
    return out


def encode_ber(elements, piece):
    out = b''
    for tag, body in elements:
        if isinstance(body, list):
            out += bytes([tag, 0x80]) + encode_ber(body, piece) + b'\0\0'
        elif tag == OCTETS and len(body) > piece:
            chunks = [[OCTETS, body[i:i + piece]] for i in range(0, len(body), piece)]
            out += bytes([0x24, 0x80]) + encode(chunks) + b'\0\0'
        else:
            out += encode([[tag, body]])
    return out


def integer(n):
    return [INTEGER, n.to_bytes(n.bit_length() // 8 + 1, 'big')]


def oid(dotted):
    arcs = [int(a) for a in dotted.split('.')]
    body = bytes([40 * arcs[0] + arcs[1]])
    for a in arcs[2:]:
        chunk = [a & 0x7F]
        a >>= 7
        while a:
            chunk.insert(0, 0x80 | (a & 0x7F))
            a >>= 7
        body += bytes(chunk)
    return [OID, body]


def first_shrouded_key_params(pfx):
    """The PBE parameters of the first shrouded key in a data container, and
    a function that writes the container back after a change."""
    auth_octets = pfx[1][1][1][1][0]            # authSafe: [0] { OCTET STRING }
    safes = decode(auth_octets[1])[0][1]
    for info in safes:
        if info[1][0][1] != oid('1.2.840.113549.1.7.1')[1]:
            continue
        bags_octets = info[1][1][1][0]
        bags = decode(bags_octets[1])
        for bag in bags[0][1]:
            if bag[1][0][1] == oid('1.2.840.113549.1.12.10.1.2')[1]:
                params = bag[1][1][1][0][1][0][1][1]   # EncryptedPrivateKeyInfo -> algorithm -> parameters

                def write_back():
                    bags_octets[1] = encode(bags)
                    auth_octets[1] = encode([[SEQUENCE, safes]])
                return params, write_back
    raise SystemExit('no shrouded key in the clear')


def main():
    source, target, what, n = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    pfx = decode(open(source, 'rb').read())[0][1]
    if what == 'mac-rounds':
        pfx[2][1][2] = integer(n)
    elif what == 'key-rounds':
        params, write_back = first_shrouded_key_params(pfx)
        params[1][1] = integer(n)             # PKCS#12 PBE parameters: salt, count
        write_back()
    elif what == 'pbmac1':
        sha256_hmac = [SEQUENCE, [oid('1.2.840.113549.2.9'), [NULL, b'']]]
        pbkdf2 = [SEQUENCE, [oid('1.2.840.113549.1.5.12'),
                             [SEQUENCE, [[OCTETS, b'\x01' * 16], integer(n), integer(32), sha256_hmac]]]]
        algorithm = [SEQUENCE, [oid('1.2.840.113549.1.5.14'), [SEQUENCE, [pbkdf2, sha256_hmac]]]]
        pfx[2] = [SEQUENCE, [[SEQUENCE, [algorithm, [OCTETS, b'\x00' * 32]]], [OCTETS, b'\x02' * 16], integer(1)]]
    elif what == 'ber':
        open(target, 'wb').write(encode_ber([[SEQUENCE, pfx]], n))
        return
    else:
        raise SystemExit('unknown change ' + what)
    open(target, 'wb').write(encode([[SEQUENCE, pfx]]))


main()
