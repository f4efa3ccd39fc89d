// Client certificates on POSIX: the file parsed and checked by OpenSSL.
#include "platform/client_cert_openssl.h"

#include <openssl/bio.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include <cstring>
#include <utility>

#include "platform/cert_file.h"
#include "platform/file.h"
#include "platform/fingerprint.h"
#include "platform/tls.h"

namespace platform {
namespace {

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

// The DER of `alg`, for cert_file.h to read.
std::string Der(const X509_ALGOR* alg) {
    unsigned char* der = nullptr;
    const int size = alg != nullptr ? i2d_X509_ALGOR(alg, &der) : -1;
    std::string bytes = size > 0 ? std::string(reinterpret_cast<char*>(der), static_cast<std::size_t>(size)) : "";
    OPENSSL_free(der);
    return bytes;
}

bool PemKeyRefused(const std::string& password, std::string& error) {
    error = password.empty() ? "the key is encrypted and no password was given" : "wrong password";
    return false;
}

// Opens a PEM key's DER: PKCS#8 sealed with the password, its rounds counted
// first (OpenSSL's own reader takes a wrong password twice over), PKCS#8 in
// the clear, or a key of the older kinds, whose encryption costs a round.
bool OpenPemKey(std::string_view kind, const char* header, unsigned char* der, long size,
                const std::string& password, ClientCert::Native& n, std::string& error) {
    const unsigned char* p = der;
    if (kind == "ENCRYPTED PRIVATE KEY") {
        X509_SIG* p8 = d2i_X509_SIG(nullptr, &p, size);
        if (p8 == nullptr) return false;
        const X509_ALGOR* alg = nullptr;
        X509_SIG_get0(p8, &alg, nullptr);
        RoundAllowance allowance;
        PKCS8_PRIV_KEY_INFO* info = nullptr;
        if (allowance.Spend(DerivationRounds(Der(alg)), false, error))
            info = PKCS8_decrypt(p8, password.data(), static_cast<int>(password.size()));
        X509_SIG_free(p8);
        if (info == nullptr) return error.empty() ? PemKeyRefused(password, error) : false;
        n.key.reset(EVP_PKCS82PKEY(info));
        PKCS8_PRIV_KEY_INFO_free(info);  // clears the key's bytes
    } else if (kind == "PRIVATE KEY") {
        PKCS8_PRIV_KEY_INFO* info = d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, size);
        if (info != nullptr) n.key.reset(EVP_PKCS82PKEY(info));
        PKCS8_PRIV_KEY_INFO_free(info);
    } else {
        EVP_CIPHER_INFO cipher;
        if (PEM_get_EVP_CIPHER_INFO(const_cast<char*>(header), &cipher) != 1) return false;
        if (cipher.cipher != nullptr && PEM_do_header(&cipher, der, &size, GivePassword, PasswordArg(password)) != 1)
            return PemKeyRefused(password, error);
        // Only the kind's own structure is read: nothing here is decrypted.
        const char* type = kind == "RSA PRIVATE KEY" ? "RSA" : kind == "EC PRIVATE KEY" ? "EC" : "DSA";
        EVP_PKEY* key = nullptr;
        OSSL_DECODER_CTX* decoder =
            OSSL_DECODER_CTX_new_for_pkey(&key, "DER", "type-specific", type, EVP_PKEY_KEYPAIR, nullptr, nullptr);
        auto left = static_cast<std::size_t>(size);
        if (decoder != nullptr) OSSL_DECODER_from_data(decoder, &p, &left);
        OSSL_DECODER_CTX_free(decoder);
        n.key.reset(key);
    }
    return static_cast<bool>(n.key);
}

// The key of a PEM file: the first block of a key's kind decides; no other
// block is opened, so no password work is spent uncounted.
bool ReadPemKey(const std::string& bytes, const std::string& password, ClientCert::Native& n, std::string& error) {
    BioPtr in = Reader(bytes);
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* der = nullptr;
    long size = 0;
    bool found = false, read = false;
    while (!found && in && PEM_read_bio(in.get(), &name, &header, &der, &size) == 1) {
        const std::string_view kind(name);
        found = kind == "ENCRYPTED PRIVATE KEY" || kind == "PRIVATE KEY" || kind == "RSA PRIVATE KEY" ||
                kind == "EC PRIVATE KEY" || kind == "DSA PRIVATE KEY";
        if (found) read = OpenPemKey(kind, header, der, size, password, n, error);
        OPENSSL_free(name);
        OPENSSL_free(header);
        OPENSSL_clear_free(der, static_cast<std::size_t>(size));
    }
    ERR_clear_error();  // the read that found no more
    if (!found) error = "no private key";
    else if (!read && error.empty()) error = "the private key cannot be read";
    return read;
}

bool ReadPem(const std::string& bytes, const std::string& password, ClientCert::Native& n, std::string& error) {
    BioPtr certs = Reader(bytes);
    n.cert.reset(certs ? PEM_read_bio_X509(certs.get(), nullptr, GivePassword, PasswordArg(password))
                       : nullptr);
    if (!n.cert) {
        error = "no certificate in the file";
        return false;
    }
    while (X509* more = PEM_read_bio_X509(certs.get(), nullptr, GivePassword, PasswordArg(password))) {
        n.chain.emplace_back(more);
        if (n.chain.size() + 1 > kMaxCertificates) {
            error = TooManyCertificatesText();
            return false;
        }
    }
    ERR_clear_error();  // the read that found no more
    return ReadPemKey(bytes, password, n, error);
}

// Opening a PKCS#12 file's contents with its password, every derivation
// counted before it is spent. A file may have been written with an empty
// password as none at all, which derives other keys: its MAC tells which,
// or, in a file without one, the first thing that opens.
class Pkcs12Reader {
public:
    Pkcs12Reader(const std::string& password, ClientCert::Native& n, std::string& error)
        : password_(password), n_(n), error_(error) {}

    bool Read(PKCS12* p12) {
        if (PKCS12_mac_present(p12) && !CheckMac(p12)) return false;
        STACK_OF(PKCS7)* safes = PKCS12_unpack_authsafes(p12);
        bool ok = safes != nullptr;
        for (int i = 0; ok && i < sk_PKCS7_num(safes); ++i) ok = ReadSafe(sk_PKCS7_value(safes, i));
        sk_PKCS7_pop_free(safes, PKCS7_free);
        if (!ok) {
            // Older files are often encrypted with RC2 or RC4, which OpenSSL 3
            // reads only with its legacy provider.
            if (error_.empty()) error_ = "cannot be read (" + Reason() + "); export it again with openssl pkcs12 -export";
            return false;
        }
        // Only a sealed key (ReadBags): refused as one of a cost not known.
        if (!key_ && sealed_key_) return allowance_.Spend(-1, false, error_);
        return Choose();
    }

private:
    // The forms the password may take: as given, and for an empty one none.
    int Forms() const { return settled_ || !password_.empty() ? 1 : 2; }
    const char* Pass(int form) const { return form == 0 ? password_.c_str() : nullptr; }
    int PassLength(int form) const { return form == 0 ? -1 : 0; }

    bool CheckMac(PKCS12* p12) {
        const X509_ALGOR* alg = nullptr;
        const ASN1_INTEGER* iterations = nullptr;
        PKCS12_get0_mac(nullptr, &alg, nullptr, &iterations, p12);
        const long long rounds = MacRounds(Der(alg), iterations != nullptr ? ASN1_INTEGER_get(iterations) : 1);
        for (int form = 0; form < Forms(); ++form) {
            if (!allowance_.Spend(rounds, true, error_)) return false;
            ERR_clear_error();
            if (PKCS12_verify_mac(p12, Pass(form), PassLength(form)) == 1) {
                form_ = form;
                settled_ = true;
                return true;
            }
            // A MAC this OpenSSL cannot compute (PBMAC1 before 3.4, say)
            // says nothing of the password.
            if (const unsigned long e = ERR_peek_last_error();
                ERR_GET_LIB(e) == ERR_LIB_PKCS12 && ERR_GET_REASON(e) == PKCS12_R_MAC_GENERATION_ERROR) {
                error_ = "its password check cannot be made by this OpenSSL (" + Reason() + ")";
                return false;
            }
        }
        return Refused();
    }

    bool Refused() {
        error_ = password_.empty() ? "needs a password" : "wrong password";
        return false;
    }

    // Opens something sealed with the password, counted: `open` with a form
    // of it gives what it sealed, or null.
    template <class Open>
    auto Unseal(const X509_ALGOR* alg, Open open) -> decltype(open(0)) {
        const long long rounds = DerivationRounds(Der(alg));
        for (int form = settled_ ? form_ : 0; form < (settled_ ? form_ + 1 : Forms()); ++form) {
            if (!allowance_.Spend(rounds, false, error_)) return nullptr;
            if (auto opened = open(form)) {
                form_ = form;
                settled_ = true;
                return opened;
            }
        }
        // Without a MAC, a password that opens nothing is the wrong one.
        if (!settled_) Refused();
        return nullptr;
    }

    bool ReadSafe(PKCS7* p7) {
        STACK_OF(PKCS12_SAFEBAG)* bags = nullptr;
        const int nid = OBJ_obj2nid(p7->type);
        if (nid == NID_pkcs7_data) {
            bags = PKCS12_unpack_p7data(p7);
        } else if (nid == NID_pkcs7_encrypted) {
            bags = Unseal(p7->d.encrypted->enc_data->algorithm,
                          [&](int form) { return PKCS12_unpack_p7encdata(p7, Pass(form), PassLength(form)); });
        } else {
            return true;  // sealed for someone's public key: nothing a password opens
        }
        const bool ok = bags != nullptr && ReadBags(bags, nid == NID_pkcs7_encrypted);
        sk_PKCS12_SAFEBAG_pop_free(bags, PKCS12_SAFEBAG_free);
        return ok;
    }

    // `sealed`: the bags came out of an encrypted container.
    bool ReadBags(const STACK_OF(PKCS12_SAFEBAG)* bags, bool sealed) {
        for (int i = 0; i < sk_PKCS12_SAFEBAG_num(bags); ++i) {
            const PKCS12_SAFEBAG* bag = sk_PKCS12_SAFEBAG_value(bags, i);
            const int nid = PKCS12_SAFEBAG_get_nid(bag);
            if (sealed && (nid == NID_keyBag || nid == NID_pkcs8ShroudedKeyBag)) {
                // Left unopened, and the file refused unless a key lies in
                // the clear: a system whose import opens the container
                // itself (Windows) cannot count this key's rounds first,
                // and a file is taken alike everywhere.
                sealed_key_ = true;
                continue;
            }
            switch (nid) {
                case NID_keyBag:
                    // The first key is ours; any other stays unopened.
                    if (!key_) key_.reset(EVP_PKCS82PKEY(PKCS12_SAFEBAG_get0_p8inf(bag)));
                    break;
                case NID_pkcs8ShroudedKeyBag:
                    if (!key_) {
                        const X509_ALGOR* alg = nullptr;
                        X509_SIG_get0(PKCS12_SAFEBAG_get0_pkcs8(bag), &alg, nullptr);
                        PKCS8_PRIV_KEY_INFO* info = Unseal(alg, [&](int form) {
                            return PKCS12_decrypt_skey(bag, Pass(form), PassLength(form));
                        });
                        if (info == nullptr) return false;
                        key_.reset(EVP_PKCS82PKEY(info));
                        PKCS8_PRIV_KEY_INFO_free(info);  // clears the key's bytes
                    }
                    break;
                case NID_certBag:
                    if (PKCS12_SAFEBAG_get_bag_nid(bag) != NID_x509Certificate) break;
                    if (certs_.size() >= kMaxCertificates) {
                        error_ = TooManyCertificatesText();
                        return false;
                    }
                    if (X509* cert = PKCS12_SAFEBAG_get1_cert(bag)) certs_.emplace_back(cert);
                    break;
                case NID_safeContentsBag:
                    // As deep as OpenSSL's decoder took them, which bounds it.
                    if (!ReadBags(PKCS12_SAFEBAG_get0_safes(bag), sealed)) return false;
                    break;
                default: break;
            }
        }
        return true;
    }

    // Ours is the certificate of the key; the others are its chain.
    bool Choose() {
        for (auto& cert : certs_) {
            if (!n_.cert && key_ && X509_check_private_key(cert.get(), key_.get()) == 1)
                n_.cert = std::move(cert);
            else
                n_.chain.push_back(std::move(cert));
        }
        ERR_clear_error();
        n_.key = std::move(key_);
        if (!n_.key) error_ = n_.chain.empty() ? "no certificate in the file" : "no private key";
        else if (!n_.cert) error_ = n_.chain.empty() ? "no certificate in the file" : "the key does not match the certificate";
        return error_.empty();
    }

    // The first of OpenSSL's queued errors, the most specific.
    static std::string Reason() {
        const char* reason = ERR_reason_error_string(ERR_peek_error());
        return reason != nullptr ? reason : "unknown error";
    }

    const std::string& password_;
    ClientCert::Native& n_;
    std::string& error_;
    RoundAllowance allowance_;
    int form_ = 0;
    bool settled_ = false;
    bool sealed_key_ = false;  // a key lay inside an encrypted container
    Owned<EVP_PKEY, EVP_PKEY_free> key_;
    std::vector<Owned<X509, X509_free>> certs_;
};

// Reads `bytes` as PKCS#12 if they are: false, with `error` left empty,
// when they are not.
bool ReadPkcs12(const std::string& bytes, const std::string& password, ClientCert::Native& n, std::string& error) {
    BioPtr in = Reader(bytes);
    PKCS12* p12 = in ? d2i_PKCS12_bio(in.get(), nullptr) : nullptr;
    if (p12 == nullptr) return false;
    const bool read = Pkcs12Reader(password, n, error).Read(p12);
    PKCS12_free(p12);
    return read;
}

// The subject's name, RFC 2253 style, UTF-8 left as it is.
std::string Subject(X509* cert) {
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!out || X509_NAME_print_ex(out.get(), X509_get_subject_name(cert), 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0)
        return "?";
    char* data = nullptr;
    const long size = BIO_get_mem_data(out.get(), &data);
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

std::string Fingerprint(X509* cert) {
    CertFingerprint md;
    unsigned int size = 0;
    if (X509_digest(cert, EVP_sha256(), md.data(), &size) != 1 || size != md.size()) return {};
    return CertFpText(md);
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
    if (ReadWholeFile(path, kMaxClientCertFile, "too large for a certificate file", bytes, error) != FileRead::Read)
        return nullptr;
    auto native = std::make_unique<ClientCert::Native>();
    ERR_clear_error();
    // PKCS#12 first: its bytes may hold anything, a PEM header among them.
    bool read = ReadPkcs12(bytes, password, *native, error);
    if (!read && error.empty()) {
        if (LooksLikePem(bytes)) read = ReadPem(bytes, password, *native, error);
        else error = "not a certificate file (PKCS#12, or PEM with the certificate and its key)";
    }
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
