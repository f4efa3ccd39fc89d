// The system's trusted roots for OpenSSL, read on a thread of their own:
// the bundle takes tens of milliseconds to parse, too long for irc.Connect
// or a tick. POSIX only.
#ifndef QV_PLATFORM_TRUSTED_ROOTS_OPENSSL_H
#define QV_PLATFORM_TRUSTED_ROOTS_OPENSSL_H

#include <openssl/x509.h>

#include <atomic>
#include <string>
#include <thread>

namespace platform {

// Where OpenSSL's default roots are: the bundle file and the folder of
// hashed names, as SSL_CERT_FILE and SSL_CERT_DIR name them or built in.
struct RootPaths {
    std::string file, dir;

    static RootPaths Current();  // read on the host's thread only
    bool operator==(const RootPaths&) const = default;
};

// One read at a time, into a store of its own. The thread touches nothing
// but that store, its paths and the result slots; the destructor waits for
// it, so the module's code cannot go away (unload, or the clean-up at exit,
// which destroys the owner before OpenSSL's own) while the thread runs it.
class RootsReader {
public:
    RootsReader() = default;
    ~RootsReader();
    RootsReader(const RootsReader&) = delete;
    RootsReader& operator=(const RootsReader&) = delete;

    // Whether a read has started whose result has not been taken.
    bool Busy() const { return started_; }
    // Starts reading `paths` (not Busy); false, with why, when no thread
    // could be had.
    bool Start(RootPaths paths, std::string& error);
    // Once the read is over (false while it runs, or none started): the
    // store, now the caller's, or null with why; and the paths it read.
    bool Take(X509_STORE*& store, RootPaths& paths, std::string& error);

private:
    std::thread worker_;
    bool started_ = false;
    RootPaths paths_;
    // Written by the thread before it sets done_.
    X509_STORE* store_ = nullptr;
    std::string error_;
    std::atomic<bool> done_{false};
};

// Run by the reading thread before it reads: tests hold the read there.
inline void (*before_reading_roots)() = nullptr;

}  // namespace platform

#endif
