// Asking the processor and the operating system for AVX2, once.
#include "platform/cpu_features.h"

#include <atomic>

#if defined(_MSC_VER)
#include <immintrin.h>
#include <intrin.h>
#else
#include <cpuid.h>
#endif

namespace cellprox {

namespace {

struct Registers {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
};

Registers cpuid(unsigned leaf) {
    Registers r;
#if defined(_MSC_VER)
    int out[4];
    __cpuidex(out, static_cast<int>(leaf), 0);
    r = {static_cast<unsigned>(out[0]), static_cast<unsigned>(out[1]), static_cast<unsigned>(out[2]),
         static_cast<unsigned>(out[3])};
#else
    __cpuid_count(leaf, 0, r.eax, r.ebx, r.ecx, r.edx);
#endif
    return r;
}

// The register state the operating system has enabled (XCR0); only asked when OSXSAVE is set.
unsigned long long enabled_state() {
#if defined(_MSC_VER)
    return _xgetbv(0);
#else
    unsigned low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<unsigned long long>(high) << 32) | low;
#endif
}

bool ask_processor() {
    if (cpuid(0).eax < 7) return false;
    const Registers features = cpuid(1);
    const bool osxsave = (features.ecx >> 27) & 1u;
    const bool avx = (features.ecx >> 28) & 1u;
    if (!osxsave || !avx) return false;
    const unsigned long long sse_and_avx_state = 0x6;   // XMM and the upper halves of YMM
    if ((enabled_state() & sse_and_avx_state) != sse_and_avx_state) return false;
    return (cpuid(7).ebx >> 5) & 1u;
}

}  // namespace

bool processor_has_avx2() {
    // Asked once and kept without a guarded static, whose guard would come from the C++ runtime
    // (the package's private modules need none); threads that ask at once all find the same.
    static std::atomic<int> known{-1};
    int has = known.load(std::memory_order_relaxed);
    if (has < 0) {
        has = ask_processor() ? 1 : 0;
        known.store(has, std::memory_order_relaxed);
    }
    return has == 1;
}

}  // namespace cellprox
