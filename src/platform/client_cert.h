// A client certificate and its private key, for TLS links that present one
// (networks log a client in by its fingerprint). Read and checked once, when
// a script names the file; links share it. The key never leaves it: no
// call here gives it out in words, and nothing traces it.
#ifndef QV_PLATFORM_CLIENT_CERT_H
#define QV_PLATFORM_CLIENT_CERT_H

#include <cstddef>
#include <memory>
#include <string>

namespace platform {

// The largest file LoadClientCert reads: a certificate, its key and a long
// chain take a few tens of kilobytes. Reading and parsing is bounded by it
// (a file full of parts of no use holds the host for a time in proportion).
inline constexpr std::size_t kMaxClientCertFile = 256 << 10;

class ClientCert {
public:
    // The system's own form of the certificate and key, for the TLS layer
    // (client_cert_openssl.h, client_cert_win32.h).
    struct Native;

    ClientCert(std::string subject, std::string fingerprint, std::unique_ptr<Native> native);
    ~ClientCert();
    ClientCert(const ClientCert&) = delete;
    ClientCert& operator=(const ClientCert&) = delete;

    // The subject's name, most specific part first ("CN=mybot,O=Example"),
    // in UTF-8 as the certificate has it: of any length, and not cleaned
    // for a console.
    const std::string& Subject() const { return subject_; }
    // SHA-256 of the certificate in 64 lower-case hex digits: what networks
    // call its fingerprint (CertFP).
    const std::string& Fingerprint() const { return fingerprint_; }
    const Native& Handles() const { return *native_; }

private:
    std::string subject_;
    std::string fingerprint_;
    std::unique_ptr<Native> native_;
};

// Reads the file at `path` now and checks that it holds a certificate valid
// today and the private key that goes with it. PKCS#12 (.p12, .pfx) on every
// system, opened with `password` (empty for none); on POSIX also PEM with the
// certificate (then any chain) and its key in one file. Null with `error`
// saying why ("no such file", "wrong password", "no private key", ...).
std::shared_ptr<const ClientCert> LoadClientCert(const std::string& path, const std::string& password,
                                                 std::string& error);

}  // namespace platform

#endif
