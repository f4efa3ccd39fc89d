// OpenSSL objects the module keeps beyond one call: a link's SSL, a client
// certificate and its key. OpenSSL cleans itself up at process exit from a
// handler registered when it was first readied, and a host that exits
// without unloading the module runs that handler before the module's own
// static objects (the link among them) are destroyed. So each such object is
// held by an Owned, which lists it; the process-wide context's holder, which
// is made after OpenSSL has readied itself and so destroyed before OpenSSL's
// clean-up, frees whatever is still listed then (FreeAllOwned), and each
// Owned it emptied goes on as a null pointer. POSIX only.
#ifndef QV_PLATFORM_OPENSSL_OWNED_H
#define QV_PLATFORM_OPENSSL_OWNED_H

#include <memory>

namespace platform {

// One listed object and how to free it.
class OwnedEntry {
public:
    OwnedEntry(void* object, void (*free)(void*));  // lists it
    ~OwnedEntry();                                  // frees it, unless FreeAllOwned has
    OwnedEntry(const OwnedEntry&) = delete;
    OwnedEntry& operator=(const OwnedEntry&) = delete;

    void* object() const { return object_; }

private:
    friend void FreeAllOwned();
    void* object_;
    void (*free_)(void*);
    OwnedEntry* prev_ = nullptr;
    OwnedEntry* next_ = nullptr;
};

// Frees every listed object now and empties its Owned.
void FreeAllOwned();

// A unique pointer to an OpenSSL object whose owner may outlive OpenSSL.
template <class T, void (*Free)(T*)>
class Owned {
public:
    Owned() = default;
    explicit Owned(T* object) { reset(object); }

    T* get() const { return entry_ ? static_cast<T*>(entry_->object()) : nullptr; }
    explicit operator bool() const { return get() != nullptr; }
    void reset(T* object = nullptr) {
        entry_.reset();
        if (object != nullptr)
            entry_ = std::make_unique<OwnedEntry>(object, [](void* p) { Free(static_cast<T*>(p)); });
    }

private:
    // On the heap, so that moving an Owned leaves the list as it is.
    std::unique_ptr<OwnedEntry> entry_;
};

}  // namespace platform

#endif
