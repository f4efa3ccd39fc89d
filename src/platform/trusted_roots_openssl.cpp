#include "platform/trusted_roots_openssl.h"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include <pthread.h>
#include <signal.h>

#include <cstdlib>
#include <system_error>
#include <utility>

namespace platform {
namespace {

std::string EnvOr(const char* name, const char* built_in) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : built_in;
}

// What OpenSSL's default paths give, from paths read before: the thread
// reads no environment, which the host's thread may change meanwhile.
X509_STORE* ReadStore(const RootPaths& paths, std::string& error) {
    ERR_clear_error();
    X509_STORE* store = X509_STORE_new();
    X509_LOOKUP* file = store != nullptr ? X509_STORE_add_lookup(store, X509_LOOKUP_file()) : nullptr;
    X509_LOOKUP* dir = file != nullptr ? X509_STORE_add_lookup(store, X509_LOOKUP_hash_dir()) : nullptr;
    if (dir == nullptr) {
        const char* reason = ERR_reason_error_string(ERR_peek_error());
        error = std::string("the system's trusted roots could not be read: ") + (reason != nullptr ? reason : "out of memory");
        X509_STORE_free(store);
        ERR_clear_error();
        return nullptr;
    }
    // A file or folder that is missing leaves fewer roots, as with
    // OpenSSL's own default paths: a server they do not vouch for is then
    // "not trusted".
    X509_LOOKUP_load_file(file, paths.file.c_str(), X509_FILETYPE_PEM);
    X509_LOOKUP_add_dir(dir, paths.dir.c_str(), X509_FILETYPE_PEM);
    ERR_clear_error();
    return store;
}

}  // namespace

RootPaths RootPaths::Current() {
    return {EnvOr(X509_get_default_cert_file_env(), X509_get_default_cert_file()),
            EnvOr(X509_get_default_cert_dir_env(), X509_get_default_cert_dir())};
}

RootsReader::~RootsReader() {
    if (worker_.joinable()) worker_.join();
    X509_STORE_free(store_);
}

bool RootsReader::Start(RootPaths paths, std::string& error) {
    // A thread whose result was taken has at most its return left.
    if (worker_.joinable()) worker_.join();
    X509_STORE_free(std::exchange(store_, nullptr));
    error_.clear();
    done_.store(false, std::memory_order_relaxed);
    paths_ = std::move(paths);
    // Signals go to the host's thread, never to this one: a host that
    // waits for SIGINT or SIGTERM in its loop hears them as before.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    try {
        worker_ = std::thread([this] {
            if (before_reading_roots != nullptr) before_reading_roots();
            store_ = ReadStore(paths_, error_);
            done_.store(true, std::memory_order_release);
        });
    } catch (const std::system_error& e) {
        error = std::string("the system's trusted roots could not be read: no thread for it (") + e.what() + ")";
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    started_ = worker_.joinable();
    return started_;
}

bool RootsReader::Take(X509_STORE*& store, RootPaths& paths, std::string& error) {
    if (!started_ || !done_.load(std::memory_order_acquire)) return false;
    started_ = false;
    store = std::exchange(store_, nullptr);
    paths = paths_;
    error = error_;
    return true;
}

}  // namespace platform
