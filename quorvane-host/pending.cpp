#include "pending.h"

#include <new>

namespace qvhost::pending {

Store g_store;

bool GrowEntries() {
    std::size_t capacity = g_store.capacity == 0 ? 64 : 2 * g_store.capacity;
    std::unique_ptr<Entry[]> entries(new (std::nothrow) Entry[capacity]);
    if (!entries) return false;
    std::copy(g_store.entries.get(), g_store.entries.get() + g_store.size, entries.get());
    g_store.entries = std::move(entries);
    g_store.capacity = capacity;
    return true;
}

bool GrowText(std::size_t more) {
    std::size_t capacity = g_store.text_capacity == 0 ? 4096 : 2 * g_store.text_capacity;
    while (capacity - g_store.text_size < more) capacity *= 2;
    std::unique_ptr<char[]> text(new (std::nothrow) char[capacity]);
    if (!text) return false;
    if (g_store.text_size > 0) std::memcpy(text.get(), g_store.text.get(), g_store.text_size);
    g_store.text = std::move(text);
    g_store.text_capacity = capacity;
    return true;
}

void Materialize(lua_State* L, std::size_t from, std::size_t count) {
    if (g_store.unrecorded > 0) luaL_error(L, "not enough memory for the module's arguments");
    for (std::size_t i = from; i < from + count; ++i) {
        const Entry& e = g_store.entries[i];
        switch (e.kind) {
            case Kind::Nil:
                lua_pushnil(L);
                break;
            case Kind::Text:
                lua_pushlstring(L, g_store.text.get() + e.offset, e.size);
                break;
            case Kind::Value:
                lua_rawgeti(L, LUA_REGISTRYINDEX, e.key);
                break;
            case Kind::Lost:
                luaL_error(L, "not enough memory for the module's arguments");
        }
    }
}

void DropFrom(std::size_t from) {
    if (from >= g_store.size) return;
    // Texts are stored in push order, so the first text dropped marks
    // where the kept ones end.
    for (std::size_t i = from; i < g_store.size; ++i) {
        if (g_store.entries[i].kind == Kind::Text) {
            g_store.text_size = g_store.entries[i].offset;
            break;
        }
    }
    g_store.size = from;
    if (from == 0) g_store.unrecorded = 0;
}

}  // namespace qvhost::pending
