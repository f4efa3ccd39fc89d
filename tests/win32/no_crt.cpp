// What the compiler expects of a C runtime, for the test host built with
// none (clang for Microsoft's C++ ABI, linked against system DLLs only, as
// a host built by Microsoft's compiler brings its own runtime, not ours).
// Compiled -ffreestanding, so these loops stay loops.
#include <stddef.h>

extern "C" {

// Marks floating-point use; the runtime would define it.
int _fltused = 0;

void* __cdecl memset(void* dest, int c, size_t n) {
    unsigned char* d = static_cast<unsigned char*>(dest);
    while (n-- > 0) *d++ = static_cast<unsigned char>(c);
    return dest;
}

void* __cdecl memcpy(void* dest, const void* src, size_t n) {
    unsigned char* d = static_cast<unsigned char*>(dest);
    const unsigned char* s = static_cast<const unsigned char*>(src);
    while (n-- > 0) *d++ = *s++;
    return dest;
}

void* __cdecl memmove(void* dest, const void* src, size_t n) {
    unsigned char* d = static_cast<unsigned char*>(dest);
    const unsigned char* s = static_cast<const unsigned char*>(src);
    if (d < s) {
        while (n-- > 0) *d++ = *s++;
    } else {
        while (n-- > 0) d[n] = s[n];
    }
    return dest;
}

int __cdecl memcmp(const void* a, const void* b, size_t n) {
    const unsigned char* x = static_cast<const unsigned char*>(a);
    const unsigned char* y = static_cast<const unsigned char*>(b);
    for (; n > 0; --n, ++x, ++y)
        if (*x != *y) return *x < *y ? -1 : 1;
    return 0;
}

// The slot of a pure virtual function in an abstract interface's vtable.
int __cdecl _purecall() { __builtin_trap(); }

__declspec(dllimport) void __stdcall ExitProcess(unsigned code);

}  // extern "C"

int HostMain();

// The process starts here: no runtime start-up, no static constructors (the
// host has none that need running).
extern "C" void __stdcall HostEntry() { ExitProcess(static_cast<unsigned>(HostMain())); }
