#include "platform/cert_file.h"

namespace platform {
namespace {

using Byte = unsigned char;

constexpr Byte kInteger = 0x02, kOctets = 0x04, kOid = 0x06, kSequence = 0x30, kConstructedOctets = 0x24,
               kExplicit0 = 0xA0;

// The object identifiers read here, as their DER contents.
constexpr std::string_view kPkcs5{"\x2A\x86\x48\x86\xF7\x0D\x01\x05", 8};        // 1.2.840.113549.1.5
constexpr std::string_view kPkcs12Pbe{"\x2A\x86\x48\x86\xF7\x0D\x01\x0C\x01", 9};  // 1.2.840.113549.1.12.1
constexpr std::string_view kHmacSha{"\x2A\x86\x48\x86\xF7\x0D\x02", 7};           // 1.2.840.113549.2
constexpr std::string_view kSha2{"\x60\x86\x48\x01\x65\x03\x04\x02", 8};          // 2.16.840.1.101.3.4.2
constexpr std::string_view kSha1{"\x2B\x0E\x03\x02\x1A", 5};                      // 1.3.14.3.2.26
constexpr std::string_view kData{"\x2A\x86\x48\x86\xF7\x0D\x01\x07\x01", 9};       // 1.2.840.113549.1.7.1
constexpr std::string_view kEncryptedData{"\x2A\x86\x48\x86\xF7\x0D\x01\x07\x06", 9};
constexpr std::string_view kBag{"\x2A\x86\x48\x86\xF7\x0D\x01\x0C\x0A\x01", 10};  // 1.2.840.113549.1.12.10.1
constexpr Byte kKeyBag = 1, kShroudedKeyBag = 2, kCertBag = 3, kSafeContentsBag = 6;
constexpr Byte kPbkdf2 = 12, kPbes2 = 13, kPbmac1 = 14;

// Nesting followed at most: files nest a few levels.
constexpr int kMaxDepth = 24;

// One element of BER (DER is BER): its tag, contents and whole bytes. One
// of indefinite length (as some tools write PKCS#12) runs to the
// end-of-contents after its last inner element.
struct Element {
    Byte tag = 0;
    std::string_view body;
    std::string_view whole;
};

bool Take(std::string_view& in, Element& e, int depth = 0) {
    if (in.size() < 2 || depth > kMaxDepth) return false;
    const std::string_view start = in;
    e.tag = static_cast<Byte>(in[0]);
    if ((e.tag & 0x1F) == 0x1F) return false;  // tags of several bytes: none in these files
    std::size_t length = static_cast<Byte>(in[1]), at = 2;
    if (length == 0x80) {
        if ((e.tag & 0x20) == 0) return false;  // only a constructed element may be indefinite
        std::string_view rest = in.substr(2);
        while (rest.size() < 2 || rest[0] != 0 || rest[1] != 0) {
            Element inner;
            if (!Take(rest, inner, depth + 1)) return false;
        }
        e.body = in.substr(2, in.size() - 2 - rest.size());
        in = rest.substr(2);
        e.whole = start.substr(0, start.size() - in.size());
        return true;
    }
    if (length > 0x80) {
        const std::size_t n = length & 0x7F;
        if (n > 4 || in.size() < 2 + n) return false;
        length = 0;
        for (std::size_t i = 0; i < n; ++i) length = length << 8 | static_cast<Byte>(in[2 + i]);
        at += n;
    }
    if (in.size() - at < length) return false;
    e.body = in.substr(at, length);
    in.remove_prefix(at + length);
    e.whole = start.substr(0, at + length);
    return true;
}

bool Take(std::string_view& in, Byte tag, Element& e) { return Take(in, e) && e.tag == tag; }

// An OCTET STRING's bytes, gathered from its pieces when BER cut it up.
bool Octets(const Element& e, std::string& out, int depth = 0) {
    if (e.tag == kOctets) {
        out.append(e.body);
        return true;
    }
    if (e.tag != kConstructedOctets || depth > kMaxDepth) return false;
    for (std::string_view in = e.body; !in.empty();) {
        Element piece;
        if (!Take(in, piece, depth + 1) || !Octets(piece, out, depth + 1)) return false;
    }
    return true;
}

bool Is(std::string_view oid, std::string_view arc, Byte last) {
    return oid.size() == arc.size() + 1 && oid.starts_with(arc) && static_cast<Byte>(oid.back()) == last;
}

// An INTEGER count; one that is negative or needs more than 31 bits reads
// as too many.
long long Count(const Element& e) {
    if (e.body.empty() || e.body.size() > 4 || (static_cast<Byte>(e.body[0]) & 0x80) != 0) return kTooManyRounds;
    long long value = 0;
    for (char c : e.body) value = value << 8 | static_cast<Byte>(c);
    return value < 1 ? 1 : value;
}

// `rounds` taken `times` over, at most kTooManyRounds.
long long Times(long long rounds, long long times) { return rounds > kTooManyRounds / times ? kTooManyRounds : rounds * times; }

// HMAC over SHA-1 or SHA-2, the PRFs PBKDF2 is known to cost here.
bool KnownPrf(std::string_view oid) {
    for (Byte last = 7; last <= 11; ++last)
        if (Is(oid, kHmacSha, last)) return true;  // hmacWithSHA1, SHA224, SHA256, SHA384, SHA512
    return false;
}

// The rounds of PBKDF2, from its AlgorithmIdentifier's contents: its count
// for each block of the PRF's output in the key. Where it names the key's
// length, the blocks are counted in 20 bytes, the shortest output (SHA-1);
// where it names none, the key is the cipher's, counted as one block (what
// a SHA-256 PRF gives for any AES key).
long long Pbkdf2Rounds(std::string_view algorithm) {
    Element oid, params;
    if (!Take(algorithm, kOid, oid) || !Is(oid.body, kPkcs5, kPbkdf2) || !Take(algorithm, kSequence, params)) return -1;
    std::string_view p = params.body;
    Element salt, count, next;
    if (!Take(p, salt) || !Take(p, kInteger, count)) return -1;
    long long rounds = Count(count);
    if (Take(p, next) && next.tag == kInteger) {
        rounds = Times(rounds, (Count(next) + 19) / 20);
        if (!Take(p, next)) return rounds;  // the PRF's default: SHA-1
    } else if (next.tag == 0) {
        return rounds;
    }
    Element prf;
    std::string_view prf_id = next.body;
    if (next.tag != kSequence || !Take(prf_id, kOid, prf) || !KnownPrf(prf.body)) return -1;
    return rounds;
}

}  // namespace

bool RoundAllowance::Spend(long long rounds, bool mac, std::string& error) {
    if (rounds < 0) {
        error = mac ? "its password check is of a kind whose cost cannot be told"
                    : "its key is sealed in a way whose cost cannot be told";
        return false;
    }
    if (rounds > left_) {
        error = std::string(mac ? "its password is made to take too long to check"
                                : "its key is made to take too long to open") +
                " (over " + std::to_string(kMaxCertRounds) + " rounds)";
        return false;
    }
    left_ -= rounds;
    return true;
}

std::string TooManyCertificatesText() {
    return "holds too many certificates (over " + std::to_string(kMaxCertificates) + ")";
}

long long DerivationRounds(std::string_view algorithm) {
    Element id, oid, params;
    if (!Take(algorithm, kSequence, id) || !Take(id.body, kOid, oid)) return -1;
    if (Is(oid.body, kPkcs5, kPbes2)) {
        // The key derivation first, then the cipher, which costs no rounds.
        Element kdf;
        if (!Take(id.body, kSequence, params) || !Take(params.body, kSequence, kdf)) return -1;
        return Pbkdf2Rounds(kdf.body);
    }
    // PKCS#12's PBEs (SHA-1) and PBES1 (MD5 or SHA-1): a salt and a count.
    bool pbes1 = false;
    for (Byte last : {1, 3, 4, 6, 10, 11}) pbes1 = pbes1 || Is(oid.body, kPkcs5, last);
    bool pkcs12 = false;
    for (Byte last = 1; last <= 6; ++last) pkcs12 = pkcs12 || Is(oid.body, kPkcs12Pbe, last);
    Element salt, count;
    if ((!pbes1 && !pkcs12) || !Take(id.body, kSequence, params) || !Take(params.body, kOctets, salt) ||
        !Take(params.body, kInteger, count))
        return -1;
    return Count(count);
}

long long MacRounds(std::string_view algorithm, long long iterations) {
    Element id, oid, params;
    if (!Take(algorithm, kSequence, id) || !Take(id.body, kOid, oid)) return -1;
    if (Is(oid.body, kPkcs5, kPbmac1)) {
        // PBMAC1 derives its key with PBKDF2; MacData's own count is unused.
        Element kdf;
        if (!Take(id.body, kSequence, params) || !Take(params.body, kSequence, kdf)) return -1;
        return Pbkdf2Rounds(kdf.body);
    }
    bool sha2 = false;
    for (Byte last = 1; last <= 4; ++last) sha2 = sha2 || Is(oid.body, kSha2, last);  // SHA-256, 384, 512, 224
    if (!sha2 && oid.body != kSha1) return -1;
    return iterations < 1 ? 1 : iterations;
}

namespace {

bool ReadBags(std::string_view bags, Pkcs12Costs& costs, int depth);

// A ContentInfo of type data: its octets.
bool DataContent(std::string_view info, std::string& out) {
    Element oid, content, octets;
    return Take(info, kOid, oid) && oid.body == kData && Take(info, kExplicit0, content) &&
           Take(content.body, octets) && Octets(octets, out);
}

bool ReadBag(std::string_view bag, Pkcs12Costs& costs, int depth) {
    Element oid, value, inner;
    if (!Take(bag, kOid, oid) || !Take(bag, kExplicit0, value) || !Take(value.body, inner)) return false;
    if (Is(oid.body, kBag, kShroudedKeyBag)) {
        Element algorithm;
        std::string_view info = inner.body;
        if (inner.tag != kSequence || !Take(info, kSequence, algorithm)) return false;
        costs.keys.push_back(DerivationRounds(algorithm.whole));
    } else if (Is(oid.body, kBag, kKeyBag)) {
        costs.keys.push_back(0);
    } else if (Is(oid.body, kBag, kCertBag)) {
        ++costs.certificates;
    } else if (Is(oid.body, kBag, kSafeContentsBag)) {
        return inner.tag == kSequence && ReadBags(inner.body, costs, depth + 1);
    }
    return true;
}

bool ReadBags(std::string_view bags, Pkcs12Costs& costs, int depth) {
    if (depth > kMaxDepth) return false;
    while (!bags.empty()) {
        Element bag;
        if (!Take(bags, kSequence, bag) || !ReadBag(bag.body, costs, depth)) return false;
    }
    return true;
}

// One of the AuthenticatedSafe's ContentInfos: bags in the clear, or an
// encrypted container, whose own cost alone can be read.
bool ReadSafe(std::string_view info, Pkcs12Costs& costs) {
    Element oid, content, data, version, sealed, type, algorithm;
    if (std::string_view peek = info; !Take(peek, kOid, oid)) return false;
    if (oid.body == kData) {
        std::string bags;
        if (!DataContent(info, bags)) return false;
        std::string_view in = bags;
        Element list;
        return Take(in, kSequence, list) && ReadBags(list.body, costs, 0);
    }
    Take(info, kOid, oid);
    if (oid.body != kEncryptedData) return true;  // nothing a password opens
    if (!Take(info, kExplicit0, content) || !Take(content.body, kSequence, data) ||
        !Take(data.body, kInteger, version) || !Take(data.body, kSequence, sealed) || !Take(sealed.body, kOid, type) ||
        !Take(sealed.body, kSequence, algorithm))
        return false;
    costs.containers.push_back(DerivationRounds(algorithm.whole));
    return true;
}

}  // namespace

bool ReadPkcs12Costs(std::string_view file, Pkcs12Costs& costs) {
    costs = {};
    Element pfx, version, auth, mac;
    if (!Take(file, kSequence, pfx) || !Take(pfx.body, kInteger, version) || !Take(pfx.body, kSequence, auth))
        return false;
    std::string safes;
    if (!DataContent(auth.body, safes)) return false;
    std::string_view in = safes;
    Element list;
    if (!Take(in, kSequence, list)) return false;
    for (std::string_view s = list.body; !s.empty();) {
        Element info;
        if (!Take(s, kSequence, info) || !ReadSafe(info.body, costs)) return false;
    }
    if (Take(pfx.body, kSequence, mac)) {
        // MacData: the DigestInfo (its algorithm, the digest), the salt, the count.
        Element digest, algorithm, salt, count;
        if (!Take(mac.body, kSequence, digest) || !Take(digest.body, kSequence, algorithm) ||
            !Take(mac.body, kOctets, salt))
            return false;
        const long long iterations = Take(mac.body, kInteger, count) ? Count(count) : 1;
        costs.mac = MacRounds(algorithm.whole, iterations);
    }
    return true;
}

}  // namespace platform
