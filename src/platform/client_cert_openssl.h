// A client certificate as OpenSSL holds it, for tls_openssl.cpp.
#ifndef QV_PLATFORM_CLIENT_CERT_OPENSSL_H
#define QV_PLATFORM_CLIENT_CERT_OPENSSL_H

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "platform/client_cert.h"
#include "platform/openssl_owned.h"

namespace platform {

struct ClientCert::Native {
    Owned<X509, X509_free> cert;
    Owned<EVP_PKEY, EVP_PKEY_free> key;
    // The certificates that lead from ours towards the server's trusted
    // roots, sent along with it; often none.
    std::vector<Owned<X509, X509_free>> chain;
};

// Why OpenSSL would not present it on a link (a key too weak for its
// security level, say), in its words; empty when it would. Asked when the
// file is loaded, so that a certificate no link can use is refused then,
// not at every connect.
std::string ClientCertUnusable(const ClientCert::Native& native);

}  // namespace platform

#endif
