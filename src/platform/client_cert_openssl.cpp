// Client certificates on POSIX: the file read here, parsed and checked by
// OpenSSL.
#include "platform/client_cert_openssl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/socket.h"
#include "platform/tls.h"

namespace platform {
namespace {

// The whole file, if it is a regular file of sensible size. O_NONBLOCK: a
// FIFO named by mistake must not hold the host until a writer comes.
bool ReadFile(const std::string& path, std::string& bytes, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) error = "no such file";
        else if (err == EACCES || err == EPERM) error = "unreadable (permission denied)";
        else error = "unreadable: " + ErrorText(err);
        return false;
    }
    struct stat info {};
    bool ok = fstat(fd, &info) == 0;
    if (!ok) error = "unreadable: " + ErrorText(errno);
    else if (S_ISDIR(info.st_mode)) error = "a directory, not a file";
    else if (!S_ISREG(info.st_mode)) error = "not a regular file";
    else if (info.st_size > static_cast<off_t>(kMaxClientCertFile)) error = "too large for a certificate file";
    ok = ok && error.empty();
    // One byte over the limit tells a file that grew since fstat.
    bytes.resize(kMaxClientCertFile + 1);
    std::size_t got = 0;
    while (ok && got < bytes.size()) {
        const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
        if (n == 0) break;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "unreadable: " + ErrorText(errno);
            ok = false;
        } else {
            got += static_cast<std::size_t>(n);
        }
    }
    close(fd);
    if (ok && got > kMaxClientCertFile) {
        error = "too large for a certificate file";
        ok = false;
    }
    bytes.resize(ok ? got : 0);
    return ok;
}

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

BioPtr Reader(const std::string& bytes) { return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()))); }

// PEM's password callback. OpenSSL's own would ask on the terminal, which a
// host has no one at.
int GivePassword(char* buf, int size, int, void* u) {
    const auto& password = *static_cast<const std::string*>(u);
    if (password.empty() || password.size() > static_cast<std::size_t>(size)) return -1;
    std::memcpy(buf, password.data(), password.size());
    return static_cast<int>(password.size());
}

void* PasswordArg(const std::string& password) { return const_cast<std::string*>(&password); }

// A key is derived from the password in as many rounds as the file says;
// a crafted file could ask for enough to hold the host for minutes. Files
// that tools write use a few thousand (OpenSSL 2048, Windows 2000).
constexpr long kMaxRounds = 600'000;
// And in all, so that many items cannot add up to the same: the work of
// the three a file has (its MAC and its container, each met twice, and
// the key) each at the most.
constexpr long kMaxTotalRounds = 5 * kMaxRounds;

constexpr const char* kSlowKey = "its key is made to take too long to open (over 600000 rounds)";

bool TooMany(long rounds) { return rounds < 0 || rounds > kMaxRounds; }

// Takes `rounds`, spent `times` over, from what is `left` of the file's
// allowance; true when one item or the file in all asks for too many.
bool Spend(long rounds, long times, long& left) {
    if (TooMany(rounds) || times * rounds > left) return true;
    left -= times * rounds;
    return false;
}

// The rounds an encryption algorithm of PKCS#5 asks for: PBES1, or PBES2
// with PBKDF2. Any other key derivation is taken for too many.
long Rounds(const X509_ALGOR* alg) {
    if (alg == nullptr) return -1;
    long rounds = -1;
    if (OBJ_obj2nid(alg->algorithm) == NID_pbes2) {
        auto* pbes2 = static_cast<PBE2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), alg->parameter));
        if (pbes2 != nullptr && OBJ_obj2nid(pbes2->keyfunc->algorithm) == NID_id_pbkdf2) {
            auto* kdf = static_cast<PBKDF2PARAM*>(
                ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), pbes2->keyfunc->parameter));
            if (kdf != nullptr) rounds = ASN1_INTEGER_get(kdf->iter);
            PBKDF2PARAM_free(kdf);
        }
        PBE2PARAM_free(pbes2);
        return rounds;
    }
    auto* pbe = static_cast<PBEPARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), alg->parameter));
    if (pbe != nullptr) rounds = ASN1_INTEGER_get(pbe->iter);
    PBEPARAM_free(pbe);
    return rounds;
}

bool ReadPem(const std::string& bytes, const std::string& password, ClientCert::Native& n, std::string& error) {
    BioPtr certs = Reader(bytes);
    n.cert.reset(certs ? PEM_read_bio_X509(certs.get(), nullptr, GivePassword, PasswordArg(password))
                       : nullptr);
    if (!n.cert) {
        error = "no certificate in the file";
        return false;
    }
    while (X509* more = PEM_read_bio_X509(certs.get(), nullptr, GivePassword, PasswordArg(password)))
        n.chain.emplace_back(more);
    ERR_clear_error();  // the read that found no more

    if (bytes.find("PRIVATE KEY-----") == std::string::npos) {
        error = "no private key";
        return false;
    }
    // An encrypted key says how many rounds its password takes before any
    // is spent.
    BioPtr sealed = Reader(bytes);
    if (X509_SIG* p8 = sealed ? PEM_read_bio_PKCS8(sealed.get(), nullptr, nullptr, nullptr) : nullptr) {
        const X509_ALGOR* alg = nullptr;
        X509_SIG_get0(p8, &alg, nullptr);
        const bool too_many = TooMany(Rounds(alg));
        X509_SIG_free(p8);
        if (too_many) {
            error = kSlowKey;
            return false;
        }
    }
    ERR_clear_error();  // the read that found no encrypted key
    BioPtr keys = Reader(bytes);
    n.key.reset(keys ? PEM_read_bio_PrivateKey(keys.get(), nullptr, GivePassword, PasswordArg(password))
                     : nullptr);
    if (!n.key) {
        if (bytes.find("ENCRYPTED PRIVATE KEY-----") != std::string::npos || bytes.find("Proc-Type: 4,ENCRYPTED") != std::string::npos)
            error = password.empty() ? "the key is encrypted and no password was given" : "wrong password";
        else
            error = "the private key cannot be read";
        return false;
    }
    return true;
}

// Whether a shrouded key among `bags`, nested ones included, asks for too many.
bool BagsTooMany(const STACK_OF(PKCS12_SAFEBAG)* bags, long& left) {
    for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
        const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
        const int nid = PKCS12_SAFEBAG_get_nid(bag);
        if (nid == NID_pkcs8ShroudedKeyBag) {
            const X509_ALGOR* alg = nullptr;
            X509_SIG_get0(PKCS12_SAFEBAG_get0_pkcs8(bag), &alg, nullptr);
            if (Spend(Rounds(alg), 1, left)) return true;
        } else if (nid == NID_safeContentsBag && BagsTooMany(PKCS12_SAFEBAG_get0_safes(bag), left)) {
            return true;
        }
    }
    return false;
}

// Whether opening the file's contents (its MAC checked already) would ask
// for too many rounds anywhere; an encrypted container is opened to look
// inside, at a cost its own count, checked first, bounds; it is opened
// twice (here, then to be read).
bool ContentsTooMany(PKCS12* p12, const char* pass, long& left) {
    STACK_OF(PKCS7)* safes = PKCS12_unpack_authsafes(p12);
    bool too_many = false;
    for (int i = 0; !too_many && i < sk_PKCS7_num(safes); ++i) {
        PKCS7* p7 = sk_PKCS7_value(safes, i);
        STACK_OF(PKCS12_SAFEBAG)* bags = nullptr;
        const int nid = OBJ_obj2nid(p7->type);
        if (nid == NID_pkcs7_data) {
            bags = PKCS12_unpack_p7data(p7);
        } else if (nid == NID_pkcs7_encrypted) {
            too_many = Spend(Rounds(p7->d.encrypted->enc_data->algorithm), 2, left);
            if (!too_many) bags = PKCS12_unpack_p7encdata(p7, pass, -1);
        }
        too_many = too_many || (bags != nullptr && BagsTooMany(bags, left));
        sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
    }
    sk_PKCS7_pop_free(safes, PKCS7_free);
    return too_many;
}

bool ReadPkcs12(const std::string& bytes, const std::string& password, ClientCert::Native& n, std::string& error) {
    BioPtr in = Reader(bytes);
    PKCS12* p12 = in ? d2i_PKCS12_bio(in.get(), nullptr) : nullptr;
    if (p12 == nullptr) {
        error = "not a certificate file (PKCS#12, or PEM with the certificate and its key)";
        return false;
    }
    const char* pass = password.c_str();
    long left = kMaxTotalRounds;
    const ASN1_INTEGER* mac_rounds = nullptr;
    if (PKCS12_mac_present(p12)) PKCS12_get0_mac(nullptr, nullptr, nullptr, &mac_rounds, p12);
    // Checked here and again when read.
    if (mac_rounds != nullptr && Spend(ASN1_INTEGER_get(mac_rounds), 2, left)) {
        PKCS12_free(p12);
        error = "its password is made to take too long to check (over 600000 rounds)";
        return false;
    }
    // An empty password may have been written as none at all: the one the
    // MAC takes is the one the contents are opened with, here and when read.
    if (PKCS12_mac_present(p12) && PKCS12_verify_mac(p12, pass, -1) != 1) {
        if (!password.empty() || PKCS12_verify_mac(p12, nullptr, 0) != 1) {
            PKCS12_free(p12);
            error = "wrong password";
            return false;
        }
        pass = nullptr;
    }
    // Without a MAC to tell, an empty password may open the contents as
    // none at all: both are looked at.
    if (ContentsTooMany(p12, pass, left) ||
        (!PKCS12_mac_present(p12) && password.empty() && ContentsTooMany(p12, nullptr, left))) {
        PKCS12_free(p12);
        error = kSlowKey;
        return false;
    }
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    STACK_OF(X509)* chain = nullptr;
    const bool parsed = PKCS12_parse(p12, pass, &key, &cert, &chain) == 1;
    PKCS12_free(p12);
    n.cert.reset(cert);
    n.key.reset(key);
    for (int i = 0; chain != nullptr && i < sk_X509_num(chain); ++i) n.chain.emplace_back(sk_X509_value(chain, i));
    sk_X509_free(chain);  // the certificates are n.chain's now
    if (!parsed) {
        const unsigned long code = ERR_peek_last_error();
        const char* reason = ERR_reason_error_string(code);
        // Older files are often encrypted with RC2 or RC4, which OpenSSL 3
        // reads only with its legacy provider.
        error = std::string("cannot be read (") + (reason != nullptr ? reason : "unknown error") +
                "); export it again with openssl pkcs12 -export";
        return false;
    }
    // Certificates without a key of theirs come back as the chain.
    if (!n.key) error = n.cert || !n.chain.empty() ? "no private key" : "no certificate in the file";
    else if (!n.cert) error = "no certificate in the file";
    return error.empty();
}

// The subject's name, RFC 2253 style, UTF-8 left as it is.
std::string Subject(X509* cert) {
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!out || X509_NAME_print_ex(out.get(), X509_get_subject_name(cert), 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0)
        return "?";
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    // A console line, not a document: a subject of absurd length is cut.
    return size > 0 ? std::string(data, std::min<std::size_t>(static_cast<std::size_t>(size), 256)) : std::string();
}

std::string Fingerprint(X509* cert) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(cert, EVP_sha256(), md, &size) != 1) return {};
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex += "0123456789abcdef"[md[i] >> 4];
        hex += "0123456789abcdef"[md[i] & 15];
    }
    return hex;
}

}  // namespace

ClientCert::ClientCert(std::string subject, std::string fingerprint, std::unique_ptr<Native> native)
    : subject_(std::move(subject)), fingerprint_(std::move(fingerprint)), native_(std::move(native)) {}

ClientCert::~ClientCert() = default;

std::shared_ptr<const ClientCert> LoadClientCert(const std::string& path, const std::string& password,
                                                 std::string& error) {
    // OpenSSL readied, and the holder that frees our objects before it
    // cleans up made, before any object exists.
    PrepareTls();
    std::string bytes;
    if (!ReadFile(path, bytes, error)) return nullptr;
    auto native = std::make_unique<ClientCert::Native>();
    ERR_clear_error();
    const bool pem = bytes.find("-----BEGIN ") != std::string::npos;
    const bool read = pem ? ReadPem(bytes, password, *native, error) : ReadPkcs12(bytes, password, *native, error);
    ERR_clear_error();
    OPENSSL_cleanse(bytes.data(), bytes.size());  // it held the key
    if (!read) return nullptr;

    X509* cert = native->cert.get();
    if (X509_check_private_key(cert, native->key.get()) != 1) error = "the key does not match the certificate";
    else if (X509_cmp_current_time(X509_get0_notAfter(cert)) < 0) error = "certificate expired";
    else if (X509_cmp_current_time(X509_get0_notBefore(cert)) > 0) error = "certificate not valid yet";
    else if (const std::string why = ClientCertUnusable(*native); !why.empty()) error = "cannot be used for TLS (" + why + ")";
    ERR_clear_error();
    if (!error.empty()) return nullptr;
    return std::make_shared<const ClientCert>(Subject(cert), Fingerprint(cert), std::move(native));
}

}  // namespace platform
