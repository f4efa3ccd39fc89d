// Calling convention and symbol visibility of the module's boundary.
#ifndef QV_PLATFORM_ABI_H
#define QV_PLATFORM_ABI_H

// The host calls in with cdecl; only 32-bit x86 has another default.
#if defined(_WIN32) && defined(_M_IX86)
#define QV_CDECL __cdecl
#elif defined(__i386__)
#define QV_CDECL __attribute__((cdecl))
#else
#define QV_CDECL
#endif

// Everything is hidden but what is marked for the host to find.
#if defined(_WIN32)
#define QV_EXPORT __declspec(dllexport)
#else
#define QV_EXPORT __attribute__((visibility("default")))
#endif

#endif
