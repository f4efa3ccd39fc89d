// Client certificates on Windows: a PKCS#12 file imported by CryptoAPI into
// a store in memory, whose key, in memory too, Schannel then signs with.
#include "platform/client_cert_win32.h"

#include <string>
#include <string_view>
#include <utility>

#include "platform/cert_file.h"
#include "platform/file.h"
#include "platform/fingerprint.h"
#include "platform/socket.h"
#include "platform/wide_win32.h"

namespace platform {
namespace {

std::string Utf8(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n - 1));  // the NUL
    return out;
}

// Whether CryptoAPI has linked a private key to the certificate, in any of
// the ways an import may leave.
bool HasKey(PCCERT_CONTEXT cert) {
    for (DWORD property : {DWORD{CERT_KEY_PROV_INFO_PROP_ID}, DWORD{CERT_KEY_CONTEXT_PROP_ID},
                           DWORD{CERT_NCRYPT_KEY_HANDLE_PROP_ID}}) {
        DWORD size = 0;
        if (CertGetCertificateContextProperty(cert, property, nullptr, &size)) return true;
    }
    return false;
}

// Whether importing `bytes` `imports` times stays within the limits
// (cert_file.h), counted from what the file shows before the system spends
// any of it. What an encrypted container holds cannot be seen without the
// password's work, which is the system's to do here: a file that shows no
// key outside one has its key, if any, sealed inside, at a cost not known,
// and is refused as every system refuses such a key (tools put keys in the
// clear). A further key sealed beside one in the clear is not seen.
bool WithinLimits(std::string_view bytes, int imports, Pkcs12Costs& costs, std::string& error) {
    if (!ReadPkcs12Costs(bytes, costs)) {
        error = "cannot be read (not laid out as a PKCS#12 file)";
        return false;
    }
    if (costs.certificates > kMaxCertificates) {
        error = TooManyCertificatesText();
        return false;
    }
    RoundAllowance allowance;
    if (costs.keys.empty() && !costs.containers.empty()) return allowance.Spend(-1, false, error);  // refused
    for (int i = 0; i < imports; ++i) {
        if (costs.mac != 0 && !allowance.Spend(costs.mac, true, error)) return false;
        for (const long long rounds : costs.containers)
            if (!allowance.Spend(rounds, false, error)) return false;
        for (const long long rounds : costs.keys)
            if (!allowance.Spend(rounds, false, error)) return false;
    }
    // And the password checked on its own after a failed import.
    return costs.mac == 0 || allowance.Spend(costs.mac, true, error);
}

bool Import(std::string& bytes, const std::string& password, ClientCert::Native& n, std::string& error) {
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(bytes.size()), reinterpret_cast<BYTE*>(bytes.data())};
    if (!PFXIsPFXBlob(&blob)) {
        error = LooksLikePem(bytes) ? "a PEM file: on Windows only PKCS#12 is read (openssl pkcs12 -export makes one)"
                                    : "not a certificate file (PKCS#12)";
        return false;
    }
    std::wstring secret;
    if (!Wide(password, secret)) {
        error = "wrong password";
        return false;
    }
    // An empty password may have been written as none at all: a second
    // import, counted.
    Pkcs12Costs costs;
    if (!WithinLimits(bytes, password.empty() ? 2 : 1, costs, error)) return false;
    // The key stays in memory with the certificate, for Schannel to sign
    // with, and is gone with it: none is left in the user's key store.
    constexpr DWORD kFlags = CRYPT_USER_KEYSET | PKCS12_NO_PERSIST_KEY;
    n.store = PFXImportCertStore(&blob, secret.c_str(), kFlags);
    if (n.store == nullptr && password.empty()) n.store = PFXImportCertStore(&blob, nullptr, kFlags);
    if (n.store == nullptr) {
        // Not every system says why the import failed (Wine leaves no
        // error): the password is checked on its own.
        const DWORD code = GetLastError();
        if (costs.mac == 0)  // nothing tells a wrong password from a file the system will not take
            error = "cannot be read: a file without a MAC, which this system may not take (export it again with "
                    "openssl pkcs12 -export)";
        else if (code == ERROR_INVALID_PASSWORD || !PFXVerifyPassword(&blob, secret.c_str(), 0))
            error = password.empty() ? "needs a password" : "wrong password";
        else
            error = code != 0 ? "cannot be read: " + ErrorText(static_cast<int>(code)) : "cannot be read";
        SecureZeroMemory(secret.data(), secret.size() * sizeof(wchar_t));
        return false;
    }
    SecureZeroMemory(secret.data(), secret.size() * sizeof(wchar_t));
    bool any = false;
    for (PCCERT_CONTEXT c = nullptr; n.cert == nullptr && (c = CertEnumCertificatesInStore(n.store, c)) != nullptr;) {
        any = true;
        if (HasKey(c)) n.cert = c;  // the enumeration ends here, so it is ours to free
    }
    if (n.cert == nullptr) {
        error = any ? "no private key" : "no certificate in the file";
        return false;
    }
    // The key opens, without asking anyone, and is the certificate's own.
    // Cached on the certificate (which then never asks the caller to release
    // it): freed with it.
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key = 0;
    DWORD key_kind = 0;
    BOOL release = FALSE;
    if (!CryptAcquireCertificatePrivateKey(n.cert,
                                           CRYPT_ACQUIRE_CACHE_FLAG | CRYPT_ACQUIRE_SILENT_FLAG |
                                               CRYPT_ACQUIRE_COMPARE_KEY_FLAG | CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG,
                                           nullptr, &key, &key_kind, &release)) {
        const DWORD code = GetLastError();
        error = code == static_cast<DWORD>(NTE_BAD_PUBLIC_KEY) ? "the key does not match the certificate"
                                                               : "no private key";
        return false;
    }
    return true;
}

std::string Subject(PCCERT_CONTEXT cert) {
    const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG | CERT_NAME_STR_NO_QUOTING_FLAG;
    CERT_NAME_BLOB* name = &cert->pCertInfo->Subject;
    const DWORD n = CertNameToStrW(X509_ASN_ENCODING, name, type, nullptr, 0);
    if (n <= 1) return {};
    std::wstring text(n, L'\0');
    CertNameToStrW(X509_ASN_ENCODING, name, type, text.data(), n);
    return Utf8(text.c_str());
}

std::string Fingerprint(PCCERT_CONTEXT cert) {
    CertFingerprint hash;
    DWORD size = hash.size();
    if (!CryptHashCertificate2(L"SHA256", 0, nullptr, cert->pbCertEncoded, cert->cbCertEncoded, hash.data(), &size) ||
        size != hash.size())
        return {};
    return CertFpText(hash);
}

}  // namespace

ClientCert::Native::~Native() {
    if (cert != nullptr) CertFreeCertificateContext(cert);
    if (store != nullptr) CertCloseStore(store, 0);
}

ClientCert::ClientCert(std::string subject, std::string fingerprint, std::unique_ptr<Native> native)
    : subject_(std::move(subject)), fingerprint_(std::move(fingerprint)), native_(std::move(native)) {}

ClientCert::~ClientCert() = default;

std::shared_ptr<const ClientCert> LoadClientCert(const std::string& path, const std::string& password,
                                                 std::string& error) {
    std::string bytes;
    if (ReadWholeFile(path, kMaxClientCertFile, "too large for a certificate file", bytes, error) != FileRead::Read)
        return nullptr;
    auto native = std::make_unique<ClientCert::Native>();
    const bool imported = Import(bytes, password, *native, error);
    SecureZeroMemory(bytes.data(), bytes.size());  // it held the key
    if (!imported) return nullptr;
    const LONG when = CertVerifyTimeValidity(nullptr, native->cert->pCertInfo);
    if (when > 0) error = "certificate expired";
    else if (when < 0) error = "certificate not valid yet";
    if (!error.empty()) return nullptr;
    const PCCERT_CONTEXT cert = native->cert;
    return std::make_shared<const ClientCert>(Subject(cert), Fingerprint(cert), std::move(native));
}

}  // namespace platform
