// What the module has pushed and not yet used.
//
// Pushes are kept here, in C++, instead of on the Lua stack: interning a
// string allocates, and an allocation may raise, so a push made directly
// from module code could raise through it. The values reach the Lua stack
// only inside a protected step (the call that takes them, or the results
// of a script function), one step per call however many were pushed.
// Pushes form one stack across nested calls; each call into the module
// owns the part above where it started.
//
// Both stores grow to the high-water mark of the busiest call and are then
// reused, so a push allocates nothing; the fast paths are inline.
#ifndef QV_HOST_PENDING_H
#define QV_HOST_PENDING_H

#include <lua.hpp>

#include <cstddef>
#include <cstring>
#include <memory>

namespace qvhost::pending {

enum class Kind : unsigned char { Nil, Text, Value, Lost };

struct Entry {
    Kind kind;
    int key;             // Value: the registry key of a live handle's pin slot
    std::size_t offset;  // Text: where its bytes start in the text store
    std::size_t size;
};

struct Store {
    std::unique_ptr<Entry[]> entries;
    std::size_t size = 0, capacity = 0;
    std::unique_ptr<char[]> text;
    std::size_t text_size = 0, text_capacity = 0;
    // Pushes that could not even be recorded (no memory for an entry):
    // every call over them fails rather than take the wrong values.
    std::size_t unrecorded = 0;
};

extern Store g_store;

// Slow paths: grow the stores; false when out of memory.
bool GrowEntries();
bool GrowText(std::size_t more);

inline void Record(const Entry& e) {
    if (g_store.size == g_store.capacity && !GrowEntries()) {
        ++g_store.unrecorded;
        return;
    }
    g_store.entries[g_store.size++] = e;
}

inline void PushNil() { Record({Kind::Nil, 0, 0, 0}); }

inline void PushValue(int key) { Record({Kind::Value, key, 0, 0}); }

inline void PushText(const char* text) {
    std::size_t size = std::strlen(text);
    if (g_store.text_capacity - g_store.text_size < size && !GrowText(size)) {
        Record({Kind::Lost, 0, 0, 0});
        return;
    }
    std::memcpy(g_store.text.get() + g_store.text_size, text, size);
    Record({Kind::Text, 0, g_store.text_size, size});
    g_store.text_size += size;
}

inline std::size_t Size() { return g_store.size; }

// Pushes entries [from, from + count) on L's stack, which has room for
// them. Raises (memory, or a push that was lost to it): protected only.
void Materialize(lua_State* L, std::size_t from, std::size_t count);

// Forgets entries from `from` on.
void DropFrom(std::size_t from);

}  // namespace qvhost::pending

#endif
