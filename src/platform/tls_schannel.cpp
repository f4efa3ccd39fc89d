// TLS on Windows: Schannel, part of the system (secur32, crypt32), over the
// link's non-blocking socket. Nothing here waits: the handshake moves on as
// the server's bytes come, a step a tick. The certificate is
// checked here, with the system's chain policy (or held to a pin), so that
// the check is the same wherever Schannel would or would not make it by
// itself.
#include "platform/tls.h"
#include "platform/resolve.h"
#include "platform/tls_alert.h"

#define SECURITY_WIN32
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "platform/client_cert_win32.h"

namespace platform {
namespace {

constexpr unsigned long kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                        ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM;

std::string StatusText(SECURITY_STATUS status) {
    char buf[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(status), 0, buf, sizeof buf, nullptr);
    while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == ' ' || buf[n - 1] == '.')) --n;
    if (n > 0) return std::string(buf, n);
    char hex[32];
    std::snprintf(hex, sizeof hex, "error 0x%08lx", static_cast<unsigned long>(status));
    return hex;
}

// What a handshake or a chain check failed with, as the user can act on it.
std::string Failure(long code) {
    switch (static_cast<unsigned long>(code)) {
        // Schannel's words for a fatal alert from the server, whichever
        // (the alert itself is read off the wire where it can be).
        case static_cast<unsigned long>(SEC_E_ILLEGAL_MESSAGE): return "TLS handshake failed: the server refused the handshake";
        case static_cast<unsigned long>(SEC_E_CERT_UNKNOWN): return "TLS handshake failed: the server refused our client certificate";
        case static_cast<unsigned long>(SEC_E_ALGORITHM_MISMATCH): return "TLS handshake failed: no cipher in common with the server";
        case static_cast<unsigned long>(SEC_E_UNSUPPORTED_FUNCTION): return "TLS handshake failed: no TLS version in common with the server";
        case static_cast<unsigned long>(SEC_E_INVALID_TOKEN): return "TLS handshake failed: the server's answer is not TLS";
        case static_cast<unsigned long>(SEC_E_NO_CREDENTIALS):
        case static_cast<unsigned long>(SEC_E_UNKNOWN_CREDENTIALS): return "TLS handshake failed: the client certificate cannot be used";
        case static_cast<unsigned long>(CERT_E_CN_NO_MATCH):
        case static_cast<unsigned long>(SEC_E_WRONG_PRINCIPAL): return "certificate name mismatch";
        case static_cast<unsigned long>(CERT_E_UNTRUSTEDROOT):
        case static_cast<unsigned long>(CERT_E_CHAINING):
        case static_cast<unsigned long>(SEC_E_UNTRUSTED_ROOT):
        case static_cast<unsigned long>(TRUST_E_CERT_SIGNATURE):
        case static_cast<unsigned long>(CERT_E_UNTRUSTEDTESTROOT): return "certificate not trusted";
        case static_cast<unsigned long>(CERT_E_EXPIRED):
        case static_cast<unsigned long>(SEC_E_CERT_EXPIRED): return "TLS handshake failed: certificate expired";
        default: return "TLS handshake failed: " + StatusText(code);
    }
}

// A handle of the security layer, freed once by whoever holds it last.
template <class Handle, SECURITY_STATUS(SEC_ENTRY* Free)(Handle*)>
struct SspiHandle {
    Handle handle{};
    bool valid = false;

    SspiHandle() = default;
    SspiHandle(SspiHandle&& other) noexcept : handle(other.handle), valid(std::exchange(other.valid, false)) {}
    SspiHandle& operator=(SspiHandle&&) = delete;
    ~SspiHandle() {
        if (valid) Free(&handle);
    }
};
using Credentials = SspiHandle<CredHandle, FreeCredentialsHandle>;
using Context = SspiHandle<CtxtHandle, DeleteSecurityContext>;

class SchannelStream final : public Stream {
public:
    SchannelStream(SocketHandle sock, std::shared_ptr<const ClientCert> cert, Credentials&& cred, Context&& ctx,
                   std::vector<char> extra)
        : sock_(sock), cert_(std::move(cert)), cred_(std::move(cred)), ctx_(std::move(ctx)), in_(std::move(extra)) {
        sizes_status_ = QueryContextAttributesA(&ctx_.handle, SECPKG_ATTR_STREAM_SIZES, &sizes_);
        if (sizes_status_ == SEC_E_OK && sizes_.cbMaximumMessage == 0) sizes_status_ = SEC_E_INTERNAL_ERROR;
    }
    ~SchannelStream() override { TcpClose(sock_); }
    SchannelStream(const SchannelStream&) = delete;
    SchannelStream& operator=(const SchannelStream&) = delete;

    IoResult Read(std::span<char> buffer) override {
        if (buffer.empty()) return {IoStatus::WouldBlock, 0, 0};
        for (;;) {
            if (!plain_.empty()) {
                const std::size_t n = std::min(buffer.size(), plain_.size());
                std::memcpy(buffer.data(), plain_.data(), n);
                plain_.erase(0, n);
                return {IoStatus::Ok, n, 0};
            }
            if (closed_) return {IoStatus::EndOfStream, 0, 0};
            // Decrypt what is in; read more only when a record is incomplete.
            if (!in_.empty()) {
                const IoResult r = Decrypt();
                if (r.status != IoStatus::WouldBlock) {
                    if (r.status == IoStatus::Ok) continue;
                    return r;
                }
            }
            char chunk[16 * 1024];
            const IoResult got = TcpRead(sock_, chunk);
            if (got.status != IoStatus::Ok) return got;
            in_.insert(in_.end(), chunk, chunk + got.bytes);
        }
    }

    IoResult Write(std::string_view bytes) override {
        if (pending_.empty()) {
            if (bytes.empty()) return {IoStatus::Ok, 0, 0};
            // Without the record sizes no record can be made: a write that
            // took nothing would only be offered again, for good.
            if (sizes_status_ != SEC_E_OK) return {IoStatus::Failed, 0, 0};
            // One record at a time; its bytes count as taken only once the
            // socket has taken all of it, so a retry offers the same again.
            const std::size_t n = std::min<std::size_t>(bytes.size(), sizes_.cbMaximumMessage);
            if (!Encrypt(bytes.substr(0, n))) return {IoStatus::Failed, 0, 0};
            pending_for_ = n;
        }
        while (sent_ < pending_.size()) {
            const IoResult r = TcpWrite(sock_, std::string_view(pending_).substr(sent_));
            if (r.status != IoStatus::Ok) return r;
            sent_ += r.bytes;
        }
        pending_.clear();
        sent_ = 0;
        return {IoStatus::Ok, pending_for_, 0};
    }

    bool WaitWritable(int timeout_ms) override { return TcpWaitWritable(sock_, timeout_ms); }
    SocketHandle Socket() const override { return sock_; }

    void Shutdown() override {
        // close_notify, sent if the socket takes it now; no answer awaited.
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer token{sizeof type, SECBUFFER_TOKEN, &type};
        SecBufferDesc desc{SECBUFFER_VERSION, 1, &token};
        if (ApplyControlToken(&ctx_.handle, &desc) != SEC_E_OK) return;
        SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out};
        unsigned long flags = 0;
        if (InitializeSecurityContextA(&cred_.handle, &ctx_.handle, nullptr, kContextFlags, 0, 0, nullptr, 0, nullptr,
                                       &out_desc, &flags, nullptr) == SEC_E_OK &&
            out.pvBuffer != nullptr) {
            TcpWrite(sock_, std::string_view(static_cast<const char*>(out.pvBuffer), out.cbBuffer));
        }
        if (out.pvBuffer != nullptr) FreeContextBuffer(out.pvBuffer);
    }

    std::string ErrorText(const IoResult& failed) const override {
        if (failed.error != 0) return platform::ErrorText(failed.error);
        if (sizes_status_ != SEC_E_OK) return "TLS error: the security layer gives no record sizes: " + StatusText(sizes_status_);
        return "TLS error: " + (last_error_ != 0 ? StatusText(last_error_) : std::string("protocol"));
    }

private:
    // Decrypts one record from in_; WouldBlock when it has not all come.
    IoResult Decrypt() {
        SecBuffer buffers[4] = {{static_cast<unsigned long>(in_.size()), SECBUFFER_DATA, in_.data()},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = DecryptMessage(&ctx_.handle, &desc, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) return {IoStatus::WouldBlock, 0, 0};
        if (status == SEC_I_CONTEXT_EXPIRED) {
            closed_ = true;  // the server's close_notify
            in_.clear();
            return {IoStatus::EndOfStream, 0, 0};
        }
        if (status != SEC_E_OK) {
            // SEC_I_RENEGOTIATE among them: the link was opened for TLS 1.2
            // without renegotiation, which servers do not ask of clients.
            last_error_ = status;
            return {IoStatus::Failed, 0, 0};
        }
        std::vector<char> extra;
        for (const SecBuffer& b : buffers) {
            if (b.BufferType == SECBUFFER_DATA) plain_.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
            if (b.BufferType == SECBUFFER_EXTRA)
                extra.assign(in_.end() - static_cast<std::ptrdiff_t>(b.cbBuffer), in_.end());
        }
        in_ = std::move(extra);
        return {IoStatus::Ok, 0, 0};
    }

    bool Encrypt(std::string_view plain) {
        pending_.resize(sizes_.cbHeader + plain.size() + sizes_.cbTrailer);
        char* p = pending_.data();
        std::memcpy(p + sizes_.cbHeader, plain.data(), plain.size());
        SecBuffer buffers[4] = {{sizes_.cbHeader, SECBUFFER_STREAM_HEADER, p},
                                {static_cast<unsigned long>(plain.size()), SECBUFFER_DATA, p + sizes_.cbHeader},
                                {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, p + sizes_.cbHeader + plain.size()},
                                {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = EncryptMessage(&ctx_.handle, 0, &desc, 0);
        if (status != SEC_E_OK) {
            last_error_ = status;
            pending_.clear();
            return false;
        }
        pending_.resize(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
        return true;
    }

    SocketHandle sock_;
    std::shared_ptr<const ClientCert> cert_;  // outlives the credentials that name it
    Credentials cred_;
    Context ctx_;
    SecPkgContext_StreamSizes sizes_{};
    SECURITY_STATUS sizes_status_ = SEC_E_OK;  // of the query for sizes_
    std::vector<char> in_;   // received, not yet decrypted
    std::string plain_;      // decrypted, not yet read
    std::string pending_;    // one encrypted record on its way out
    std::size_t sent_ = 0;   // of pending_
    std::size_t pending_for_ = 0;  // plaintext bytes pending_ carries
    bool closed_ = false;
    SECURITY_STATUS last_error_ = 0;
};

// The server's certificate checked against the system's roots and `host`.
std::string CheckCertificate(CtxtHandle& ctx, const char* host) {
    PCCERT_CONTEXT cert = nullptr;
    if (QueryContextAttributesA(&ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK || cert == nullptr)
        return "certificate not trusted";
    CERT_CHAIN_PARA chain_para{};
    chain_para.cbSize = sizeof chain_para;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    std::string verdict;
    if (!CertGetCertificateChain(nullptr, cert, nullptr, cert->hCertStore, &chain_para, 0, nullptr, &chain)) {
        verdict = "certificate not trusted";
    } else {
        std::wstring name(host, host + std::strlen(host));
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
        ssl.cbSize = sizeof ssl;
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.pwszServerName = name.data();
        CERT_CHAIN_POLICY_PARA policy{};
        policy.cbSize = sizeof policy;
        policy.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS status{};
        status.cbSize = sizeof status;
        if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status))
            verdict = "certificate not trusted";
        else if (status.dwError != 0)
            verdict = Failure(static_cast<long>(status.dwError));
        CertFreeCertificateChain(chain);
    }
    CertFreeCertificateContext(cert);
    return verdict;
}

// The fingerprint of the certificate the server showed; nothing before it
// has.
std::optional<CertFingerprint> ServerFingerprint(CtxtHandle ctx) {
    PCCERT_CONTEXT cert = nullptr;
    if (QueryContextAttributesA(&ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) != SEC_E_OK || cert == nullptr)
        return std::nullopt;
    CertFingerprint fingerprint;
    DWORD size = fingerprint.size();
    const bool hashed = CryptHashCertificate2(L"SHA256", 0, nullptr, cert->pbCertEncoded, cert->cbCertEncoded,
                                              fingerprint.data(), &size) &&
                        size == fingerprint.size();
    CertFreeCertificateContext(cert);
    if (!hashed) return std::nullopt;
    return fingerprint;
}

// The server's certificate held to the pin alone: no chain, no name.
std::string CheckPin(CtxtHandle ctx, const CertFingerprint& pin) {
    const std::optional<CertFingerprint> seen = ServerFingerprint(ctx);
    if (!seen) return "TLS handshake failed: the server showed no certificate";
    return *seen == pin ? std::string() : PinMismatch(*seen);
}

class Handshake final : public TlsHandshake {
public:
    Handshake(SocketHandle sock, std::shared_ptr<const ClientCert> cert, Credentials&& cred, std::string host,
              const Security& security)
        : sock_(sock),
          cert_(std::move(cert)),
          cred_(std::move(cred)),
          host_(std::move(host)),
          verify_(security.kind == Security::Tls) {
        if (security.kind == Security::TlsPinned) pin_ = security.pin;
    }
    ~Handshake() override { TcpClose(sock_); }
    Handshake(const Handshake&) = delete;
    Handshake& operator=(const Handshake&) = delete;

    Status Step(std::string& error) override {
        // Calls of the security layer in a row that neither took input nor
        // gave output: a few are the protocol (a request for our
        // certificate, asked and answered); more would turn here for good.
        int idle_calls = 0;
        for (;;) {
            // Our side's token goes out whole before anything else.
            while (!out_.empty()) {
                const IoResult r = TcpWrite(sock_, out_);
                if (r.status == IoStatus::WouldBlock) return Status::Pending;
                if (r.status != IoStatus::Ok) return Fail(error, Closed());
                out_.erase(0, r.bytes);
                idle_calls = 0;
            }
            if (done_) return Judge(error) ? Status::Done : Status::Failed;
            if (need_input_) {
                char chunk[16 * 1024];
                const IoResult got = TcpRead(sock_, chunk);
                if (got.status == IoStatus::WouldBlock) return Status::Pending;
                if (got.status != IoStatus::Ok) return Fail(error, Closed());
                in_.insert(in_.end(), chunk, chunk + got.bytes);
                flight_.Feed(std::string_view(chunk, got.bytes));
                need_input_ = false;
                idle_calls = 0;
            }
            if (++idle_calls > kMaxIdleCalls) return Fail(error, "TLS handshake failed: the security layer makes no progress");
            const std::size_t unread = in_.size(), unsent = out_.size();
            if (!Advance(error) || !JudgeEarly(error)) return Status::Failed;
            // A call that took some of the server's bytes or gave some of
            // ours to send moved on (a flight of several messages may take
            // a call each).
            if (in_.size() < unread || out_.size() > unsent) idle_calls = 0;
        }
    }

    std::unique_ptr<Stream> TakeStream() override {
        return std::make_unique<SchannelStream>(std::exchange(sock_, kNoSocket), std::move(cert_), std::move(cred_),
                                                std::move(ctx_), std::move(in_));
    }

    SocketHandle Socket() const override { return sock_; }
    std::optional<CertFingerprint> ServerCertificate() const override {
        return ctx_.valid ? ServerFingerprint(ctx_.handle) : std::nullopt;
    }

private:
    static constexpr int kMaxIdleCalls = 4;

    static Status Fail(std::string& error, std::string why) {
        error = std::move(why);
        return Status::Failed;
    }

    bool Asked() const { return asked_ || flight_.AskedForCertificate(); }

    // The server's certificate held to the pin, or to the system's roots
    // and the name; false, with `error`, when it fails. Once per link.
    bool Judge(std::string& error) {
        if (judged_) return true;
        judged_ = true;
        if (verify_) error = CheckCertificate(ctx_.handle, host_.c_str());
        else if (pin_) error = CheckPin(ctx_.handle, *pin_);
        return error.empty();
    }

    // Judged as soon as the server has shown its certificate: our answer
    // to its first flight carries our certificate when it asked for one,
    // and must not go to a server that is not the one meant.
    bool JudgeEarly(std::string& error) {
        if (judged_ || (!verify_ && !pin_) || !ctx_.valid || !ServerFingerprint(ctx_.handle)) return true;
        return Judge(error);
    }

    std::string Closed() const {
        std::string why = "TLS handshake failed: the server closed the connection";
        if (Asked() && !cert_) why += " after asking for a client certificate (irc.SetClientCert)";
        return why;
    }

    // One call of the security layer with what has come; false on failure.
    bool Advance(std::string& error) {
        SecBuffer in_buffers[2] = {{static_cast<unsigned long>(in_.size()), SECBUFFER_TOKEN, in_.data()},
                                   {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in_buffers};
        SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
        SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out};
        unsigned long flags = 0;
        // No name for an address literal: it is not sent (SNI) and is
        // checked against the certificate's addresses below.
        char* target = IsAddressLiteral(host_) ? nullptr : host_.data();
        const SECURITY_STATUS status = InitializeSecurityContextA(
            &cred_.handle, first_ ? nullptr : &ctx_.handle, target, request_, 0, 0,
            first_ ? nullptr : &in_desc, 0, first_ ? &ctx_.handle : nullptr, &out_desc, &flags, nullptr);
        if (first_ && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) ctx_.valid = true;
        first_ = false;
        if (out.pvBuffer != nullptr) {
            if (status != SEC_E_INCOMPLETE_MESSAGE) out_.append(static_cast<const char*>(out.pvBuffer), out.cbBuffer);
            FreeContextBuffer(out.pvBuffer);
        }
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            need_input_ = true;
            return true;
        }
        if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
            // The server asked for a client certificate and Schannel will not
            // choose one by itself: we have none, or the server named no CA
            // that issued ours. The next call takes the server's bytes again
            // and says to go on with the credentials as they are, ours in
            // them when set. Asked twice, it would only turn here.
            asked_ = true;
            if ((request_ & ISC_REQ_USE_SUPPLIED_CREDS) != 0) {
                error = "TLS handshake failed: the security layer asked twice for a client certificate";
                return false;
            }
            request_ |= ISC_REQ_USE_SUPPLIED_CREDS;
            KeepUnread(in_buffers[1]);
            need_input_ = false;
            return true;
        }
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
            // A fatal alert from the server says most; Schannel's status
            // is the fallback.
            const std::string why = flight_.Alert() >= 0 ? AlertWords(flight_.Alert(), Asked(), cert_ != nullptr) : "";
            error = why.empty() ? Failure(status) : "TLS handshake failed: " + why;
            return false;
        }
        // What the server sent past this step belongs to the next.
        if (in_buffers[1].BufferType == SECBUFFER_EXTRA && in_buffers[1].cbBuffer <= in_.size())
            in_.erase(in_.begin(), in_.end() - static_cast<std::ptrdiff_t>(in_buffers[1].cbBuffer));
        else
            in_.clear();
        done_ = status == SEC_E_OK;
        need_input_ = status == SEC_I_CONTINUE_NEEDED && in_.empty();
        return true;
    }

    // After a call that took none of the server's bytes, or only some: what
    // it did not take stays for the next call.
    void KeepUnread(const SecBuffer& extra) {
        if (extra.BufferType == SECBUFFER_EXTRA && extra.cbBuffer <= in_.size())
            in_.erase(in_.begin(), in_.end() - static_cast<std::ptrdiff_t>(extra.cbBuffer));
    }

    SocketHandle sock_;
    std::shared_ptr<const ClientCert> cert_;  // outlives the credentials that name it
    Credentials cred_;
    Context ctx_;
    std::string host_;
    bool verify_;
    std::optional<CertFingerprint> pin_;  // set for a pinned link
    unsigned long request_ = kContextFlags;  // what each call asks of the security layer
    bool first_ = true;
    bool need_input_ = false;
    bool done_ = false;
    bool judged_ = false;   // the server's certificate was checked
    bool asked_ = false;    // Schannel said the server asked for a client certificate
    ServerFlight flight_;   // what the server's bytes in the clear tell
    std::vector<char> in_;  // the server's bytes not yet taken by a step
    std::string out_;       // our token, not yet all sent
};

}  // namespace

// Schannel reads the system's roots itself, cheaply, at each handshake.
void PrepareTls() {}

void StartReadingTrustedRoots() {}

TrustedRootsStatus TrustedRoots(std::string&) { return TrustedRootsStatus::Ready; }

std::unique_ptr<TlsHandshake> StartTls(SocketHandle& sock, const std::string& host, const Security& security,
                                       std::shared_ptr<const ClientCert> cert, std::string& error) {
    SCHANNEL_CRED settings{};
    settings.dwVersion = SCHANNEL_CRED_VERSION;
    settings.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    // Checked by the handshake as soon as the server shows it, the same way
    // on every system. No certificate of the user's is chosen by Schannel:
    // only ours, if set.
    settings.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_SERVERNAME_CHECK | SCH_CRED_NO_DEFAULT_CREDS |
                   SCH_USE_STRONG_CRYPTO;
    PCCERT_CONTEXT ours[1] = {cert ? cert->Handles().cert : nullptr};
    if (ours[0] != nullptr) {
        settings.cCreds = 1;
        settings.paCred = ours;
    }
    Credentials cred;
    char package[] = UNISP_NAME_A;
    if (const SECURITY_STATUS status = AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr,
                                                                 &settings, nullptr, nullptr, &cred.handle, nullptr);
        status != SEC_E_OK) {
        error = ours[0] != nullptr ? Failure(status) : "TLS handshake failed: TLS is not available on this system";
        TcpClose(sock);
        return nullptr;
    }
    cred.valid = true;
    return std::make_unique<Handshake>(std::exchange(sock, kNoSocket), std::move(cert), std::move(cred), host, security);
}

}  // namespace platform
