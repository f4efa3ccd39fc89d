// Memory that held a password: cleared before it is freed or reused, with
// a clear the compiler may not drop as a dead store.
#ifndef QV_PLATFORM_SECRET_H
#define QV_PLATFORM_SECRET_H

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

// Zeroes `size` bytes at `at`, even when nothing reads them again.
void Wipe(void* at, std::size_t size) noexcept;

// Zeroes the vector registers. The bytes of a secret copied through them
// stay there until reused, and the next time something saves registers on
// the stack (a symbol bound lazily, a signal, an exception) they land in
// memory; called before control goes back to the host.
void WipeRegisters() noexcept;

// Whether the registers may hold a secret's bytes: set by work on a secret
// and by all that goes out to the server or through TLS, cleared by
// WipeRegisters. Set at load: nothing is known of what ran before.
inline bool registers_noted = true;

inline void NoteSecretWork() noexcept { registers_noted = true; }

// WipeRegisters, if anything was noted since the last wipe: the events of
// a tick that only reads lines off a plain link cost no wipe each.
inline void WipeRegistersIfNoted() noexcept {
    if (registers_noted) WipeRegisters();
}

// Clears every block before it goes back to the heap: a string that grows
// leaves no copy behind in the block it moved out of.
template <class T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        Wipe(p, n * sizeof(T));
        std::allocator<T>{}.deallocate(p, n);
    }
    friend bool operator==(const WipingAllocator&, const WipingAllocator&) { return true; }
};

using WipedString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

// Clears all of `s` that may hold bytes (its whole capacity, the inline
// buffer of a short one too), then empties it.
inline void WipeString(WipedString& s) noexcept {
    s.resize(s.capacity());
    Wipe(s.data(), s.size());
    s.clear();
}

// A password, or text made from one: cleared when replaced or destroyed.
// A move clears the source too: a short string's bytes are copied out of
// it, not taken, and would otherwise stay there.
class Secret {
public:
    Secret() = default;
    explicit Secret(std::string_view text) { Append(text); }
    Secret(const Secret& other) { Append(other.View()); }
    Secret(Secret&& other) noexcept : text_(std::move(other.text_)) {
        NoteSecretWork();
        other.Clear();
    }
    Secret& operator=(const Secret& other) {
        if (this != &other) Assign(other.View());
        return *this;
    }
    Secret& operator=(Secret&& other) noexcept {
        if (this != &other) {
            Clear();
            NoteSecretWork();
            text_ = std::move(other.text_);
            other.Clear();
        }
        return *this;
    }
    ~Secret() { Clear(); }

    // Allocates nothing: it stays within the capacity there is.
    void Clear() noexcept { WipeString(text_); }
    void Assign(std::string_view text) {
        Clear();
        Append(text);
    }
    // Callers that know the final size reserve it first, so nothing moves.
    void Reserve(std::size_t size) { text_.reserve(size); }
    void Append(std::string_view text) {
        NoteSecretWork();
        text_.append(text);
    }
    void Append(std::size_t count, char c) {
        NoteSecretWork();
        text_.append(count, c);
    }

    // Whoever reads the bytes may copy them.
    std::string_view View() const {
        NoteSecretWork();
        return {text_.data(), text_.size()};
    }
    bool Empty() const { return text_.empty(); }
    std::size_t Size() const { return text_.size(); }

private:
    WipedString text_;
};

}  // namespace platform

#endif
