#!/usr/bin/env python3
"""PKCS#12 files no tool writes, made from one that a tool did: counts that
would hold a reader for hours, a MAC of a kind OpenSSL 3.0 cannot compute,
a key sealed inside the encrypted container. Only the structure is changed;
whatever the change breaks (the MAC over the contents, the key a count
derives) is never reached by a reader that refuses the file first. The
sealed key alone makes a whole file, which a reader must refuse by its
layout, not by a fault.

  p12_craft.py IN OUT mac-rounds N      MacData's iteration count
  p12_craft.py IN OUT key-rounds N      the count of the first shrouded key in the clear
  p12_craft.py IN OUT pbmac1 N          a PBMAC1 MAC (PBKDF2, HMAC-SHA-256) of N rounds
  p12_craft.py IN OUT ber N             the same file in BER, as some tools write it: every
                                        outer element of indefinite length, octets in pieces
                                        of N bytes (what they hold, which the MAC covers, kept)
  p12_craft.py IN OUT seal-key PASSWORD the keys in the clear moved into the encrypted
                                        container, beside the certificate; the container
                                        sealed again and the MAC made again with PASSWORD
                                        (IN as OpenSSL 3 writes it: AES-256-CBC in PBES2,
                                        PBKDF2 with HMAC-SHA-256; a SHA-256 MAC)
"""
import hashlib
import hmac
import subprocess
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


def aes_256_cbc(data, key, iv, decrypt):
    """`data` through AES-256-CBC with PKCS#7 padding, by openssl enc."""
    args = ['openssl', 'enc', '-aes-256-cbc', '-d' if decrypt else '-e', '-K', key.hex(), '-iv', iv.hex()]
    return subprocess.run(args, input=data, stdout=subprocess.PIPE, check=True).stdout


def pkcs12_kdf(password, salt, purpose, iterations, size):
    """RFC 7292's key derivation over SHA-256 (appendix B.2): `purpose` 3
    makes a MAC's key."""
    u, v = 32, 64

    def stretch(b):  # repeated to fill whole blocks of v bytes
        n = -(-len(b) // v) * v
        return (b * (n // len(b) + 1))[:n] if b else b''
    i = bytearray(stretch(salt) + stretch((password + '\0').encode('utf-16-be')))
    out = b''
    while len(out) < size:
        a = hashlib.sha256(bytes([purpose]) * v + bytes(i)).digest()
        for _ in range(iterations - 1):
            a = hashlib.sha256(a).digest()
        out += a
        b = int.from_bytes((a * (v // u))[:v], 'big') + 1
        for j in range(0, len(i), v):
            i[j:j + v] = ((int.from_bytes(i[j:j + v], 'big') + b) % (1 << 8 * v)).to_bytes(v, 'big')
    return out[:size]


def seal_key(pfx, password):
    auth_octets = pfx[1][1][1][1][0]
    safes = decode(auth_octets[1])[0][1]
    data = oid('1.2.840.113549.1.7.1')[1]
    clear = [info for info in safes if info[1][0][1] == data]
    sealed = next(info for info in safes if info[1][0][1] == oid('1.2.840.113549.1.7.6')[1])
    content = sealed[1][1][1][0][1][1][1]        # EncryptedData -> EncryptedContentInfo
    params = content[1][1][1][1]                  # PBES2: key derivation, cipher
    kdf, iv = params[0][1][1][1], params[1][1][1][1]
    salt, count = kdf[0][1], int.from_bytes(kdf[1][1], 'big')
    key = hashlib.pbkdf2_hmac('sha256', password.encode(), salt, count, 32)
    bags = decode(aes_256_cbc(content[2][1], key, iv, True))
    for info in clear:
        bags[0][1] += decode(info[1][1][1][0][1])[0][1]
        safes.remove(info)
    content[2][1] = aes_256_cbc(encode(bags), key, iv, False)
    auth_octets[1] = encode([[SEQUENCE, safes]])
    mac = pfx[2][1]                               # MacData: digest, salt, count
    mac_key = pkcs12_kdf(password, mac[1][1], 3, int.from_bytes(mac[2][1], 'big'), 32)
    mac[0][1][1][1] = hmac.digest(mac_key, auth_octets[1], 'sha256')


def main():
    source, target, what, n = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
    n = n if what == 'seal-key' else int(n)
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
    elif what == 'seal-key':
        seal_key(pfx, n)
    elif what == 'ber':
        open(target, 'wb').write(encode_ber([[SEQUENCE, pfx]], n))
        return
    else:
        raise SystemExit('unknown change ' + what)
    open(target, 'wb').write(encode([[SEQUENCE, pfx]]))


main()
