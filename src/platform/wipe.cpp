#include "platform/secret.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <string.h>
#endif

namespace platform {

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
namespace {

// VZEROALL clears all of ymm0-15 (zmm0-15 too); the registers are named as
// clobbered so that the compiler keeps nothing of its own in them across it
// (Windows' ABI has the callee keep xmm6-15 for its caller).
__attribute__((target("avx"), noinline)) void ZeroAvx() noexcept {
    asm volatile("vzeroall" ::: "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7"
#ifdef __x86_64__
                 , "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15"
#endif
    );
}

// Before AVX, only the SSE registers exist (on 32-bit x86, not even they
// on every processor).
__attribute__((target("sse"), noinline)) void ZeroSse() noexcept {
    asm volatile(
        "xorps %%xmm0, %%xmm0\n xorps %%xmm1, %%xmm1\n xorps %%xmm2, %%xmm2\n xorps %%xmm3, %%xmm3\n"
        "xorps %%xmm4, %%xmm4\n xorps %%xmm5, %%xmm5\n xorps %%xmm6, %%xmm6\n xorps %%xmm7, %%xmm7\n"
#ifdef __x86_64__
        "xorps %%xmm8, %%xmm8\n xorps %%xmm9, %%xmm9\n xorps %%xmm10, %%xmm10\n xorps %%xmm11, %%xmm11\n"
        "xorps %%xmm12, %%xmm12\n xorps %%xmm13, %%xmm13\n xorps %%xmm14, %%xmm14\n xorps %%xmm15, %%xmm15\n"
#endif
        ::: "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7"
#ifdef __x86_64__
        , "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15"
#endif
    );
}

#ifdef __x86_64__
// glibc's memcpy on AVX-512 machines copies through zmm16-31, which
// VZEROALL leaves alone.
__attribute__((target("avx512f"), noinline)) void ZeroAvx512High() noexcept {
    asm volatile(
        "vpxord %%zmm16, %%zmm16, %%zmm16\n vpxord %%zmm17, %%zmm17, %%zmm17\n"
        "vpxord %%zmm18, %%zmm18, %%zmm18\n vpxord %%zmm19, %%zmm19, %%zmm19\n"
        "vpxord %%zmm20, %%zmm20, %%zmm20\n vpxord %%zmm21, %%zmm21, %%zmm21\n"
        "vpxord %%zmm22, %%zmm22, %%zmm22\n vpxord %%zmm23, %%zmm23, %%zmm23\n"
        "vpxord %%zmm24, %%zmm24, %%zmm24\n vpxord %%zmm25, %%zmm25, %%zmm25\n"
        "vpxord %%zmm26, %%zmm26, %%zmm26\n vpxord %%zmm27, %%zmm27, %%zmm27\n"
        "vpxord %%zmm28, %%zmm28, %%zmm28\n vpxord %%zmm29, %%zmm29, %%zmm29\n"
        "vpxord %%zmm30, %%zmm30, %%zmm30\n vpxord %%zmm31, %%zmm31, %%zmm31\n" ::
            : "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24", "xmm25", "xmm26",
              "xmm27", "xmm28", "xmm29", "xmm30", "xmm31");
}
#endif

}  // namespace

void WipeRegisters() noexcept {
    registers_noted = false;
    if (__builtin_cpu_supports("avx"))
        ZeroAvx();
    else if (__builtin_cpu_supports("sse"))
        ZeroSse();
#ifdef __x86_64__
    if (__builtin_cpu_supports("avx512f")) ZeroAvx512High();
#endif
}
#else
void WipeRegisters() noexcept { registers_noted = false; }
#endif

void Wipe(void* at, std::size_t size) noexcept {
    if (at == nullptr || size == 0) return;
#ifdef _WIN32
    SecureZeroMemory(at, size);
#else
    explicit_bzero(at, size);
#endif
}

}  // namespace platform
