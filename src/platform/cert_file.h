// What a client-certificate file is and what opening it costs, read from
// its bytes alone, the same on every system. A password is stretched into a
// key in as many rounds as the file says, and a crafted file may ask for
// enough to hold the host for hours: the count is read, and refused, before
// any round is spent.
#ifndef QV_PLATFORM_CERT_FILE_H
#define QV_PLATFORM_CERT_FILE_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The most rounds opening one file may take, counted over everything that
// is derived from its password each time it is: its MAC, each encrypted
// container, each key. Files that tools write take a few thousand a piece
// (OpenSSL 2048, Windows 2000, Java 10000). At the costliest kind of round
// read here, this many hold the host's thread for about a quarter second
// (scripts/bench certs).
inline constexpr long long kMaxCertRounds = 40'000;

// What is left of a file's rounds: each derivation is taken from it before
// it is spent.
class RoundAllowance {
public:
    // False, with `error` in LoadClientCert's words, when `rounds` (-1: a
    // cost not known) of the MAC (`mac`) or of a container or key would pass
    // the limit.
    bool Spend(long long rounds, bool mac, std::string& error);

private:
    long long left_ = kMaxCertRounds;
};

// The most certificates a file may hold: ours and a chain longer than any
// server needs. Each costs a parse (and a file of them would hold the host
// for a second).
inline constexpr std::size_t kMaxCertificates = 16;
// The refusal of a file with more, in LoadClientCert's words.
std::string TooManyCertificatesText();

// Whether `bytes` are PEM: a line of them starts a block.
inline bool LooksLikePem(std::string_view bytes) {
    return bytes.starts_with("-----BEGIN ") || bytes.find("\n-----BEGIN ") != std::string_view::npos;
}

// A count larger than any file needs: what an absurd one reads as.
inline constexpr long long kTooManyRounds = 1LL << 31;

// The rounds one derivation of a key for `algorithm` (an AlgorithmIdentifier,
// DER) takes: PKCS#12's own password encryption, PKCS#5's (PBES1, and PBES2
// with PBKDF2 over SHA-1 or SHA-2; per block of key it derives). -1 for any
// other kind, whose cost is not known here.
long long DerivationRounds(std::string_view algorithm);

// The rounds of one check of a PKCS#12 MAC whose DigestInfo names
// `algorithm` and whose MacData counts `iterations`: those, over SHA-1 or
// SHA-2, or PBMAC1's own PBKDF2 (where the count is in its parameters). -1
// for any other kind.
long long MacRounds(std::string_view algorithm, long long iterations);

// A PKCS#12 file's costs as its bytes show them without the password.
struct Pkcs12Costs {
    long long mac = 0;  // one check of the MAC; 0 for a file without one
    std::size_t certificates = 0;  // in the clear
    // Each encrypted container's (its contents unseen), and each key's that
    // lies in the clear (0 for one not sealed), in the file's order.
    std::vector<long long> containers;
    std::vector<long long> keys;
};

// Reads `file` as a PKCS#12 file (DER, or BER as some tools write it);
// false when it is none this reading follows.
bool ReadPkcs12Costs(std::string_view file, Pkcs12Costs& costs);

}  // namespace platform

#endif
