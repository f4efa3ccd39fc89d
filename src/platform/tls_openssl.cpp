// TLS on POSIX: OpenSSL over the link's non-blocking socket. Nothing here
// waits: the handshake moves on as the server's bytes come, a step a tick.
#include "platform/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <utility>

#include "platform/client_cert_openssl.h"
#include "platform/openssl_owned.h"
#include "platform/resolve.h"
#include "platform/tls_alert.h"
#include "platform/trusted_roots_openssl.h"

namespace platform {
namespace {

// What openssl_owned.h lists, newest first. A plain pointer, constant
// initialised: it is sound for as long as the module is loaded, even while
// its other static objects are being destroyed.
OwnedEntry* owned = nullptr;

}  // namespace

OwnedEntry::OwnedEntry(void* object, void (*free)(void*)) : object_(object), free_(free), next_(owned) {
    if (next_ != nullptr) next_->prev_ = this;
    owned = this;
}

OwnedEntry::~OwnedEntry() {
    if (object_ == nullptr) return;  // FreeAllOwned freed it and took it off the list
    free_(object_);
    (prev_ != nullptr ? prev_->next_ : owned) = next_;
    if (next_ != nullptr) next_->prev_ = prev_;
}

void FreeAllOwned() {
    while (OwnedEntry* e = owned) {
        owned = e->next_;
        if (owned != nullptr) owned->prev_ = nullptr;
        e->next_ = nullptr;
        e->free_(std::exchange(e->object_, nullptr));
    }
}

namespace {

using SslPtr = Owned<SSL, SSL_free>;

// OpenSSL's own socket layer writes with write(2), which raises SIGPIPE
// on a link the peer has reset and would take the host down with it; this
// one goes through the platform's socket calls, which never do.
int BioWrite(BIO* bio, const char* data, int len) {
    BIO_clear_retry_flags(bio);
    const auto sock = reinterpret_cast<SocketHandle>(BIO_get_data(bio));
    const IoResult r = TcpWrite(sock, std::string_view(data, static_cast<std::size_t>(len)));
    if (r.status == IoStatus::Ok) return static_cast<int>(r.bytes);
    if (r.status == IoStatus::WouldBlock) BIO_set_retry_write(bio);
    errno = r.error;
    return -1;
}

int BioRead(BIO* bio, char* data, int len) {
    BIO_clear_retry_flags(bio);
    const auto sock = reinterpret_cast<SocketHandle>(BIO_get_data(bio));
    const IoResult r = TcpRead(sock, std::span<char>(data, static_cast<std::size_t>(len)));
    if (r.status == IoStatus::Ok) return static_cast<int>(r.bytes);
    if (r.status == IoStatus::EndOfStream) return 0;
    if (r.status == IoStatus::WouldBlock) BIO_set_retry_read(bio);
    errno = r.error;
    return -1;
}

long BioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

SSL_CTX* NewContext() {
    SSL_CTX* c = SSL_CTX_new(TLS_client_method());
    if (c == nullptr) return c;
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    // The send queue may grow (and move) between a write that could
    // not finish and its retry, and takes partial writes.
    SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Servers often just close the link; that is an end of stream
    // here as on a plain link, not an error.
    SSL_CTX_set_options(c, SSL_OP_IGNORE_UNEXPECTED_EOF);
    return c;
}

// One context for the process: it holds the trusted roots. Reading the
// system's bundle takes tens of milliseconds, too long for a tick, and some
// MB that a process with no verified link never needs, so it is started
// when the first verified link's opening is made (StartReadingTrustedRoots)
// and done on a thread of its own (RootsReader), again only if the process
// has named other roots since; the roots go into the context on the host's
// thread, when an opening asks for them (TrustedRoots). The holder is made
// after OpenSSL has readied itself (and registered its own clean-up at
// exit), so it is destroyed before that clean-up runs, or when the module
// is unloaded: it then frees, with the context, every OpenSSL object a live
// link or a client certificate still holds (openssl_owned.h), and waits
// for a read still under way.
class ContextHolder {
public:
    ContextHolder() = default;
    ~ContextHolder() {
        FreeAllOwned();
        SSL_CTX_free(ctx_);
        BIO_meth_free(method_);  // last: the links' BIOs used it
    }
    ContextHolder(const ContextHolder&) = delete;
    ContextHolder& operator=(const ContextHolder&) = delete;

    SSL_CTX* For(RootPaths paths) {
        if (ctx_ == nullptr || paths != paths_) {
            SSL_CTX_free(ctx_);  // links made with it hold their own reference
            ctx_ = NewContext();
            paths_ = std::move(paths);
            roots_ = Stage::Unread;  // a read of other paths still under way is dropped when over
        }
        return ctx_;
    }

    // Starts reading the roots of the context `For` gave, unless they are
    // read or being read.
    void StartRoots() {
        Collect();
        if (roots_ == Stage::Unread || roots_ == Stage::Failed) Launch();
    }

    TrustedRootsStatus Status(std::string& error) {
        Collect();
        if (roots_ == Stage::Unread) Launch();
        switch (roots_) {
            case Stage::Read: return TrustedRootsStatus::Ready;
            case Stage::Failed: error = roots_error_; return TrustedRootsStatus::Failed;
            default: return TrustedRootsStatus::Pending;
        }
    }

    // How the links' BIOs read and write: through our socket calls.
    BIO_METHOD* Method() {
        if (method_ == nullptr) {
            method_ = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quorvane socket");
            if (method_ != nullptr) {
                BIO_meth_set_write(method_, BioWrite);
                BIO_meth_set_read(method_, BioRead);
                BIO_meth_set_ctrl(method_, BioCtrl);
            }
        }
        return method_;
    }

private:
    enum class Stage { Unread, Reading, Read, Failed };

    // A read that is over: its roots go into the context, if it is still
    // the one they were read for.
    void Collect() {
        X509_STORE* store = nullptr;
        RootPaths read;
        std::string why;
        if (!reader_.Take(store, read, why)) return;
        if (ctx_ == nullptr || read != paths_) {
            X509_STORE_free(store);
            if (roots_ == Stage::Reading) roots_ = Stage::Unread;
        } else if (store == nullptr) {
            roots_ = Stage::Failed;
            roots_error_ = why;
        } else {
            SSL_CTX_set_cert_store(ctx_, store);
            roots_ = Stage::Read;
        }
    }

    void Launch() {
        // A read of other paths ends first; Status starts ours after it.
        if (reader_.Busy()) {
            roots_ = Stage::Reading;
            return;
        }
        std::string why;
        if (ctx_ != nullptr && reader_.Start(paths_, why)) {
            roots_ = Stage::Reading;
        } else {
            roots_ = Stage::Failed;
            roots_error_ = ctx_ != nullptr ? why : "TLS is not available";
        }
    }

    SSL_CTX* ctx_ = nullptr;
    RootPaths paths_;
    Stage roots_ = Stage::Unread;
    std::string roots_error_;
    RootsReader reader_;
    BIO_METHOD* method_ = nullptr;
};

ContextHolder& Holder() {
    OPENSSL_init_ssl(0, nullptr);
    static ContextHolder holder;
    return holder;
}

SSL_CTX* Context() { return Holder().For(RootPaths::Current()); }

BIO* SocketBio(SocketHandle sock) {
    BIO_METHOD* method = Holder().Method();
    BIO* bio = method != nullptr ? BIO_new(method) : nullptr;
    if (bio != nullptr) {
        BIO_set_data(bio, reinterpret_cast<void*>(sock));
        BIO_set_init(bio, 1);
    }
    return bio;
}

// The oldest queued OpenSSL error in words, and the queue emptied. A fatal
// alert from the server, wherever it is queued, is told in AlertWords' terms
// when they cover it: `asked`, the server asked for a client certificate;
// `presented`, we had one.
std::string TakeError(bool asked = false, bool presented = false) {
    const unsigned long oldest = ERR_peek_error();
    for (unsigned long code; (code = ERR_get_error()) != 0;) {
        const int reason = ERR_GET_REASON(code);
        // OpenSSL queues a received alert as this offset plus its number.
        if (ERR_GET_LIB(code) != ERR_LIB_SSL || reason < SSL_AD_REASON_OFFSET || reason > SSL_AD_REASON_OFFSET + 255)
            continue;
        std::string words = AlertWords(reason - SSL_AD_REASON_OFFSET, asked, presented);
        if (!words.empty()) {
            ERR_clear_error();
            return words;
        }
    }
    if (oldest == 0) return {};
    const char* reason = ERR_reason_error_string(oldest);
    return reason != nullptr ? reason : "error " + std::to_string(oldest);
}

class TlsStream final : public Stream {
public:
    TlsStream(SocketHandle sock, SslPtr ssl, bool asked, bool presented)
        : sock_(sock), ssl_(std::move(ssl)), asked_(asked), presented_(presented) {}
    ~TlsStream() override {
        ssl_.reset();
        TcpClose(sock_);
    }
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    IoResult Read(std::span<char> buffer) override {
        if (!ssl_) return {IoStatus::Failed, 0, 0};  // freed at exit
        if (buffer.empty()) return {IoStatus::WouldBlock, 0, 0};
        const int want = buffer.size() > 1 << 30 ? 1 << 30 : static_cast<int>(buffer.size());
        const int n = SSL_read(ssl_.get(), buffer.data(), want);
        if (n > 0) return {IoStatus::Ok, static_cast<std::size_t>(n), 0};
        return Outcome(n);
    }

    IoResult Write(std::string_view bytes) override {
        if (!ssl_) return {IoStatus::Failed, 0, 0};
        if (bytes.empty()) return {IoStatus::Ok, 0, 0};
        const int want = bytes.size() > 1 << 30 ? 1 << 30 : static_cast<int>(bytes.size());
        const int n = SSL_write(ssl_.get(), bytes.data(), want);
        if (n > 0) return {IoStatus::Ok, static_cast<std::size_t>(n), 0};
        return Outcome(n);
    }

    bool WaitWritable(int timeout_ms) override { return TcpWaitWritable(sock_, timeout_ms); }
    SocketHandle Socket() const override { return sock_; }

    void Shutdown() override {
        // close_notify, sent if the socket takes it now; no answer awaited.
        if (ssl_) SSL_shutdown(ssl_.get());
        ERR_clear_error();
    }

    std::string ErrorText(const IoResult& failed) const override {
        if (failed.error != 0) return platform::ErrorText(failed.error);
        return last_error_.empty() ? "TLS error" : "TLS error: " + last_error_;
    }

private:
    IoResult Outcome(int n) {
        switch (SSL_get_error(ssl_.get(), n)) {
            // A record is half in, or the other side of the protocol must
            // move first (a key update): the next read or write goes on.
            case SSL_ERROR_WANT_READ:
            case SSL_ERROR_WANT_WRITE: return {IoStatus::WouldBlock, 0, 0};
            case SSL_ERROR_ZERO_RETURN: return {IoStatus::EndOfStream, 0, 0};
            case SSL_ERROR_SYSCALL: {
                const int err = errno;
                ERR_clear_error();
                // The peer went without close_notify: what a plain link
                // calls end of stream.
                if (n == 0 || err == 0) return {IoStatus::EndOfStream, 0, 0};
                return {IoStatus::Failed, 0, err};
            }
            default:
                // A TLS 1.3 server may refuse our certificate (or its
                // absence) after our side of the handshake is done.
                last_error_ = TakeError(asked_, presented_);
                return {IoStatus::Failed, 0, 0};
        }
    }

    SocketHandle sock_;
    SslPtr ssl_;
    bool asked_;
    bool presented_;
    std::string last_error_;
};

// Why the server's certificate was refused, as the user can act on it.
std::string VerifyFailure(long result) {
    switch (result) {
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH: return "certificate name mismatch";
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_CERT_UNTRUSTED: return "certificate not trusted";
        default: return std::string("TLS handshake failed: ") + X509_verify_cert_error_string(result);
    }
}

// The fingerprint of `cert`; nothing without one.
std::optional<CertFingerprint> FingerprintOf(const X509* cert) {
    CertFingerprint fingerprint;
    unsigned int size = 0;
    if (cert == nullptr || X509_digest(cert, EVP_sha256(), fingerprint.data(), &size) != 1 || size != fingerprint.size())
        return std::nullopt;
    return fingerprint;
}

// A pinned link's certificate check, where the verify callback finds the
// pin (the SSL's app data, during the handshake) and leaves its verdict.
struct PinCheck {
    CertFingerprint pin;
    std::optional<CertFingerprint> refused;  // the server's, when it was another
};

// OpenSSL's verify callback for a pinned link, called for each certificate
// of the chain it builds: the server's own (depth 0) decides alone, whoever
// signed it and whatever name it bears. Turning it away here ends the
// handshake before anything of ours (our Finished, a client certificate)
// goes to a server that is not the one pinned.
int CheckPin(int, X509_STORE_CTX* store) {
    if (X509_STORE_CTX_get_error_depth(store) != 0) return 1;
    const auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* check = ssl != nullptr ? static_cast<PinCheck*>(SSL_get_app_data(ssl)) : nullptr;
    // Past the handshake there is no pin to hold a certificate to.
    if (check == nullptr) return 0;
    const std::optional<CertFingerprint> seen = FingerprintOf(X509_STORE_CTX_get_current_cert(store));
    if (seen == check->pin) return 1;
    if (seen) check->refused = *seen;  // else OpenSSL's own words, as for a verify error
    X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
}

// What the server's handshake messages tell, noted by OpenSSL's message
// callback as they pass.
struct Seen {
    bool asked = false;  // a CertificateRequest came
    bool done = false;   // our side of the handshake is done
    bool after = false;  // and the server has sent a handshake message since
};

void OnMessage(int write_p, int, int content_type, const void* buf, size_t len, SSL*, void* arg) {
    if (write_p != 0 || arg == nullptr || len == 0 || content_type != SSL3_RT_HANDSHAKE) return;
    auto& seen = *static_cast<Seen*>(arg);
    if (*static_cast<const unsigned char*>(buf) == SSL3_MT_CERTIFICATE_REQUEST) seen.asked = true;
    if (seen.done) seen.after = true;
}

class Handshake final : public TlsHandshake {
public:
    Handshake(SocketHandle sock, SslPtr ssl, const Security& security, bool presented)
        : sock_(sock), ssl_(std::move(ssl)), verify_(security.kind == Security::Tls), presented_(presented) {
        SSL_set_msg_callback(ssl_.get(), OnMessage);
        SSL_set_msg_callback_arg(ssl_.get(), &seen_);
        if (security.kind == Security::TlsPinned) {
            pin_ = PinCheck{security.pin, std::nullopt};
            SSL_set_app_data(ssl_.get(), &*pin_);
        }
    }
    ~Handshake() override {
        ssl_.reset();
        TcpClose(sock_);
    }
    Handshake(const Handshake&) = delete;
    Handshake& operator=(const Handshake&) = delete;

    Status Step(std::string& error) override {
        using namespace std::chrono_literals;
        if (!ssl_) return Fail(error, "TLS handshake failed: TLS is shut down");  // freed at exit
        ERR_clear_error();
        if (!seen_.done) {
            const int r = SSL_connect(ssl_.get());
            if (r != 1) return Outcome(r, error);
            // The callback turned any other certificate away; this holds
            // whatever way OpenSSL came here.
            if (const std::optional<CertFingerprint> seen = pin_ ? ServerCertificate() : std::nullopt;
                pin_ && seen != pin_->pin)
                return Fail(error, seen ? PinMismatch(*seen) : "TLS handshake failed: the server showed no certificate");
            seen_.done = true;
            // In TLS 1.3 our side is done before the server has read our
            // certificate, or found it missing: its verdict (an alert, or
            // its first message after the handshake) comes a round trip
            // later. When it asked for one, that verdict is waited for, as
            // long as the handshake took twice over (within bounds), so a
            // refusal fails the connect rather than the link. A server that
            // sends nothing until the client speaks is taken after that.
            if (!seen_.asked || SSL_version(ssl_.get()) != TLS1_3_VERSION) return Status::Done;
            const Clock::time_point now = Opening::clock();
            verdict_by_ = now + std::clamp<Clock::duration>(2 * (now - started_), 250ms, 3s);
        }
        char byte;
        const int n = SSL_peek(ssl_.get(), &byte, 1);
        if (n > 0 || seen_.after) return Status::Done;
        const Status status = Outcome(n, error);
        return status == Status::Pending && Opening::clock() >= verdict_by_ ? Status::Done : status;
    }

    bool OnlyVerdictAwaited() const override { return seen_.done; }

    std::unique_ptr<Stream> TakeStream() override {
        SSL_set_msg_callback(ssl_.get(), nullptr);  // seen_ and pin_ go with this object
        SSL_set_msg_callback_arg(ssl_.get(), nullptr);
        SSL_set_app_data(ssl_.get(), nullptr);
        return std::make_unique<TlsStream>(std::exchange(sock_, kNoSocket), std::move(ssl_), seen_.asked, presented_);
    }

    SocketHandle Socket() const override { return sock_; }
    std::optional<CertFingerprint> ServerCertificate() const override {
        return ssl_ ? FingerprintOf(SSL_get0_peer_certificate(ssl_.get())) : std::nullopt;
    }

private:
    // The attempt's clock, which tests step by hand.
    using Clock = Opening::Clock;

    static Status Fail(std::string& error, std::string why) {
        error = std::move(why);
        return Status::Failed;
    }

    // Pending while OpenSSL waits for the socket; else why it failed.
    Status Outcome(int r, std::string& error) {
        const int why = SSL_get_error(ssl_.get(), r);
        if (why == SSL_ERROR_WANT_READ || why == SSL_ERROR_WANT_WRITE) return Status::Pending;
        if (pin_ && pin_->refused) {
            error = PinMismatch(*pin_->refused);
        } else if (const long result = SSL_get_verify_result(ssl_.get()); verify_ && result != X509_V_OK) {
            error = VerifyFailure(result);
        } else if (why == SSL_ERROR_ZERO_RETURN || (why == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)) {
            error = "TLS handshake failed: the server closed the connection";
            if (seen_.asked && !presented_) error += " after asking for a client certificate (irc.SetClientCert)";
        } else {
            const std::string reason = TakeError(seen_.asked, presented_);
            error = "TLS handshake failed: " + (reason.empty() ? std::string("protocol error") : reason);
        }
        ERR_clear_error();
        return Status::Failed;
    }

    SocketHandle sock_;
    SslPtr ssl_;
    bool verify_;
    bool presented_;
    Seen seen_;
    std::optional<PinCheck> pin_;  // set for a pinned link
    Clock::time_point started_ = Opening::clock();
    Clock::time_point verdict_by_{};
};

// Gives `ssl` our certificate, its key and its chain; false when OpenSSL
// will not take them (a key its security level holds too weak, say).
bool UseClientCert(SSL* ssl, const ClientCert::Native& n) {
    bool usable = n.cert && n.key && SSL_use_certificate(ssl, n.cert.get()) == 1 && SSL_use_PrivateKey(ssl, n.key.get()) == 1;
    for (const auto& link : n.chain) usable = usable && SSL_add1_chain_cert(ssl, link.get()) == 1;
    return usable;
}

}  // namespace

void PrepareTls() { Context(); }

void StartReadingTrustedRoots() {
    Context();
    Holder().StartRoots();
}

TrustedRootsStatus TrustedRoots(std::string& error) {
    Context();
    return Holder().Status(error);
}

std::string ClientCertUnusable(const ClientCert::Native& native) {
    ERR_clear_error();
    SSL_CTX* ctx = Context();
    SslPtr ssl(ctx != nullptr ? SSL_new(ctx) : nullptr);
    if (ssl && UseClientCert(ssl.get(), native)) return {};
    std::string why = TakeError();
    return why.empty() ? "TLS is not available" : why;
}

std::unique_ptr<TlsHandshake> StartTls(SocketHandle& sock, const std::string& host, const Security& security,
                                       std::shared_ptr<const ClientCert> cert, std::string& error) {
    SSL_CTX* ctx = Context();
    // A verified link's opening waits for the roots before it gets here.
    if (std::string why; security.kind == Security::Tls && TrustedRoots(why) != TrustedRootsStatus::Ready) {
        error = why.empty() ? "the system's trusted roots are not read yet" : why;
        TcpClose(sock);
        return nullptr;
    }
    SslPtr ssl(ctx != nullptr ? SSL_new(ctx) : nullptr);
    BIO* bio = ssl ? SocketBio(sock) : nullptr;
    if (bio == nullptr) {
        error = "TLS handshake failed: " + TakeError();
        TcpClose(sock);
        return nullptr;
    }
    SSL_set_bio(ssl.get(), bio, bio);
    // Ours, for a server that asks; the SSL keeps its own references.
    if (cert) {
        if (!UseClientCert(ssl.get(), cert->Handles())) {
            error = "TLS handshake failed: the client certificate cannot be used: " + TakeError();
            TcpClose(sock);
            return nullptr;
        }
    }
    const bool literal = IsAddressLiteral(host);
    // A name is sent (SNI) and checked; an address is only checked, against
    // the certificate's IP addresses.
    if (!literal) SSL_set_tlsext_host_name(ssl.get(), host.c_str());
    if (security.kind == Security::Tls) {
        SSL_set_verify(ssl.get(), SSL_VERIFY_PEER, nullptr);
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (literal ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1
                    : SSL_set1_host(ssl.get(), host.c_str()) != 1) {
            error = "TLS handshake failed: cannot check the name " + host;
            TcpClose(sock);
            return nullptr;
        }
    } else if (security.kind == Security::TlsPinned) {
        SSL_set_verify(ssl.get(), SSL_VERIFY_PEER, CheckPin);
        // A renegotiation would bring a certificate the pin was never held
        // to; servers do not ask clients for one.
        SSL_set_options(ssl.get(), SSL_OP_NO_RENEGOTIATION);
    } else {
        SSL_set_verify(ssl.get(), SSL_VERIFY_NONE, nullptr);
    }
    return std::make_unique<Handshake>(std::exchange(sock, kNoSocket), std::move(ssl), security, cert != nullptr);
}

}  // namespace platform
