// A client certificate as CryptoAPI holds it, for tls_schannel.cpp.
#ifndef QV_PLATFORM_CLIENT_CERT_WIN32_H
#define QV_PLATFORM_CLIENT_CERT_WIN32_H

#include <windows.h>
#include <wincrypt.h>

#include "platform/client_cert.h"

namespace platform {

struct ClientCert::Native {
    Native() = default;
    ~Native();
    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;

    // The file's certificates, in memory; the chain is built from them.
    HCERTSTORE store = nullptr;
    // Ours, in `store`, linked to its private key.
    PCCERT_CONTEXT cert = nullptr;
};

}  // namespace platform

#endif
