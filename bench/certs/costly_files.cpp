// The certificate benchmark's files (bench/certs/run.sh): files the round
// limit (src/platform/cert_file.h) just lets through, each with every round
// of the kind that costs most, and files as large as the reader takes.
//   costly_files CERT KEY CHAIN_CERT OUT_DIR
// The password of each is "s3cret"; one line per file on stdout: its name.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/cert_file.h"
#include "platform/client_cert.h"

namespace {

const char kPass[] = "s3cret";

X509* ReadCert(const char* path) {
    FILE* f = std::fopen(path, "r");
    X509* x = f != nullptr ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
    if (f != nullptr) std::fclose(f);
    return x;
}

EVP_PKEY* ReadKey(const char* path) {
    FILE* f = std::fopen(path, "r");
    EVP_PKEY* k = f != nullptr ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
    if (f != nullptr) std::fclose(f);
    return k;
}

// How a container or key is sealed: PBES2 with PBKDF2 over `prf` and
// AES-256, or (prf 0) PKCS#12's own SHA-1 and 3DES.
X509_ALGOR* Seal(int prf, int rounds) {
    if (prf == 0) return PKCS5_pbe_set(NID_pbe_WithSHA1And3_Key_TripleDES_CBC, rounds, nullptr, 0);
    return PKCS5_pbe2_set_iv(EVP_aes_256_cbc(), rounds, nullptr, 0, nullptr, prf);
}

PKCS7* SealedSafe(STACK_OF(PKCS12_SAFEBAG)* bags, int prf, int rounds) {
    X509_ALGOR* alg = Seal(prf, rounds);
    PKCS7* p7 = PKCS7_new();
    PKCS7_set_type(p7, NID_pkcs7_encrypted);
    PKCS7_ENC_CONTENT* enc = p7->d.encrypted->enc_data;
    enc->content_type = OBJ_nid2obj(NID_pkcs7_data);
    X509_ALGOR_free(enc->algorithm);
    enc->algorithm = alg;
    ASN1_OCTET_STRING_free(enc->enc_data);
    enc->enc_data = PKCS12_item_i2d_encrypt(alg, ASN1_ITEM_rptr(PKCS12_SAFEBAGS), kPass, -1, bags, 1);
    return p7;
}

struct CostlyFile {
    const char* name;
    const EVP_MD* mac;  // null: no MAC
    int mac_rounds;
    int prf;            // as Seal takes it
    int container_rounds, key_rounds;
    int extra_certs;    // copies of the chain certificate, in the clear
};

bool Write(const CostlyFile& s, X509* cert, EVP_PKEY* key, X509* chain, const std::string& dir) {
    STACK_OF(PKCS12_SAFEBAG)* certs = sk_PKCS12_SAFEBAG_new_null();
    sk_PKCS12_SAFEBAG_push(certs, PKCS12_SAFEBAG_create_cert(cert));
    STACK_OF(PKCS12_SAFEBAG)* keys = sk_PKCS12_SAFEBAG_new_null();
    PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
    sk_PKCS12_SAFEBAG_push(keys, PKCS12_SAFEBAG_create0_pkcs8(PKCS8_set0_pbe(kPass, -1, info, Seal(s.prf, s.key_rounds))));
    for (int i = 0; i < s.extra_certs; ++i) sk_PKCS12_SAFEBAG_push(keys, PKCS12_SAFEBAG_create_cert(chain));
    STACK_OF(PKCS7)* safes = sk_PKCS7_new_null();
    sk_PKCS7_push(safes, SealedSafe(certs, s.prf, s.container_rounds));
    sk_PKCS7_push(safes, PKCS12_pack_p7data(keys));
    PKCS12* p12 = PKCS12_init(NID_pkcs7_data);
    bool ok = PKCS12_pack_authsafes(p12, safes) == 1;
    if (s.mac != nullptr) ok = ok && PKCS12_set_mac(p12, kPass, -1, nullptr, 0, s.mac_rounds, s.mac) == 1;
    FILE* out = std::fopen((dir + "/" + s.name).c_str(), "wb");
    ok = ok && out != nullptr && i2d_PKCS12_fp(out, p12) == 1;
    if (out != nullptr) std::fclose(out);
    PKCS12_free(p12);
    sk_PKCS7_pop_free(safes, PKCS7_free);
    sk_PKCS12_SAFEBAG_pop_free(certs, PKCS12_SAFEBAG_free);
    sk_PKCS12_SAFEBAG_pop_free(keys, PKCS12_SAFEBAG_free);
    return ok;
}

// PEM: the certificate, `extra` copies of the chain certificate, and the
// key sealed with PBKDF2 over `prf` in `rounds`.
bool WritePem(const char* name, X509* cert, EVP_PKEY* key, X509* chain, int prf, int rounds, int extra,
              const std::string& dir) {
    FILE* out = std::fopen((dir + "/" + name).c_str(), "w");
    if (out == nullptr) return false;
    bool ok = PEM_write_X509(out, cert) == 1;
    for (int i = 0; i < extra; ++i) ok = ok && PEM_write_X509(out, chain) == 1;
    PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
    X509_SIG* sealed = PKCS8_set0_pbe(kPass, -1, info, Seal(prf, rounds));
    ok = ok && sealed != nullptr && PEM_write_PKCS8(out, sealed) == 1;
    X509_SIG_free(sealed);
    PKCS8_PRIV_KEY_INFO_free(info);
    std::fclose(out);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: costly_files CERT KEY CHAIN_CERT OUT_DIR\n");
        return 2;
    }
    X509* cert = ReadCert(argv[1]);
    EVP_PKEY* key = ReadKey(argv[2]);
    X509* chain = ReadCert(argv[3]);
    const std::string dir = argv[4];
    if (cert == nullptr || key == nullptr || chain == nullptr) return 1;
    // The limit, all but a round spent: the MAC takes one round of its own
    // kind, the container and the key the rest between them.
    const int all = static_cast<int>(platform::kMaxCertRounds);
    const int half = (all - 1) / 2;
    // As many chain certificates as keep the file within the size read
    // (PEM takes a third more, in base64).
    const int der = i2d_X509(chain, nullptr);
    const int copies = static_cast<int>((platform::kMaxClientCertFile - 8192) / (der + 40));
    const int pem_copies = static_cast<int>((platform::kMaxClientCertFile - 8192) / (der * 4 / 3 + 100));
    const CostlyFile files[] = {
        {"pbes2-sha512.p12", EVP_sha512(), 1, NID_hmacWithSHA512, half, half, 0},
        {"pbes2-sha384.p12", EVP_sha512(), 1, NID_hmacWithSHA384, half, half, 0},
        {"pbes2-sha256.p12", EVP_sha512(), 1, NID_hmacWithSHA256, half, half, 0},
        {"pbes2-sha224.p12", EVP_sha512(), 1, NID_hmacWithSHA224, half, half, 0},
        {"pbes2-sha1.p12", EVP_sha512(), 1, NID_hmacWithSHA1, half, half, 0},
        {"pkcs12-3des.p12", EVP_sha512(), 1, 0, half, half, 0},
        {"mac-sha512.p12", EVP_sha512(), all - 2, NID_hmacWithSHA256, 1, 1, 0},
        {"mac-sha1.p12", EVP_sha1(), all - 2, NID_hmacWithSHA256, 1, 1, 0},
        {"nomac-sha512.p12", nullptr, 0, NID_hmacWithSHA512, all / 2, all / 2, 0},
        {"big-sha512.p12", EVP_sha512(), 1, NID_hmacWithSHA512, half, half, copies},
    };
    for (const CostlyFile& s : files) {
        if (!Write(s, cert, key, chain, dir)) return 1;
        std::printf("%s\n", s.name);
    }
    // As many bags of no use as fill the file, and PEM blocks of no kind read.
    {
        STACK_OF(PKCS12_SAFEBAG)* keys = sk_PKCS12_SAFEBAG_new_null();
        PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
        sk_PKCS12_SAFEBAG_push(keys, PKCS12_SAFEBAG_create0_pkcs8(PKCS8_set0_pbe(kPass, -1, info, Seal(NID_hmacWithSHA512, half))));
        sk_PKCS12_SAFEBAG_push(keys, PKCS12_SAFEBAG_create_cert(cert));
        const unsigned char tiny[1] = {0};
        PKCS12_SAFEBAG* one = PKCS12_SAFEBAG_create_secret(NID_certBag, V_ASN1_OCTET_STRING, tiny, 1);
        const std::size_t bag = static_cast<std::size_t>(i2d_PKCS12_SAFEBAG(one, nullptr));
        PKCS12_SAFEBAG_free(one);
        for (std::size_t size = 8192; size + bag < platform::kMaxClientCertFile; size += bag)
            sk_PKCS12_SAFEBAG_push(keys, PKCS12_SAFEBAG_create_secret(NID_certBag, V_ASN1_OCTET_STRING, tiny, 1));
        STACK_OF(PKCS7)* safes = sk_PKCS7_new_null();
        sk_PKCS7_push(safes, PKCS12_pack_p7data(keys));
        PKCS12* p12 = PKCS12_init(NID_pkcs7_data);
        bool ok = PKCS12_pack_authsafes(p12, safes) == 1 && PKCS12_set_mac(p12, kPass, -1, nullptr, 0, half, EVP_sha512()) == 1;
        FILE* out = std::fopen((dir + "/many-bags.p12").c_str(), "wb");
        ok = ok && out != nullptr && i2d_PKCS12_fp(out, p12) == 1;
        if (out != nullptr) std::fclose(out);
        if (!ok) return 1;
        std::printf("many-bags.p12\n");
        FILE* pem = std::fopen((dir + "/many-blocks.pem").c_str(), "w");
        if (pem == nullptr || PEM_write_X509(pem, cert) != 1) return 1;
        const std::string block = "-----BEGIN X-----\nAA==\n-----END X-----\n";
        for (std::size_t size = 8192; size + block.size() < platform::kMaxClientCertFile; size += block.size())
            std::fputs(block.c_str(), pem);
        PKCS8_PRIV_KEY_INFO* plain = EVP_PKEY2PKCS8(key);
        X509_SIG* sealed = PKCS8_set0_pbe(kPass, -1, plain, Seal(NID_hmacWithSHA512, all));
        PEM_write_PKCS8(pem, sealed);
        std::fclose(pem);
        std::printf("many-blocks.pem\n");
    }
    if (!WritePem("key-sha512.pem", cert, key, chain, NID_hmacWithSHA512, all, 0, dir) ||
        !WritePem("big-sha512.pem", cert, key, chain, NID_hmacWithSHA512, all, pem_copies, dir))
        return 1;
    std::printf("key-sha512.pem\nbig-sha512.pem\n");
    return 0;
}
