#include "platform/cpu.hpp"

#if defined(__x86_64__) || defined(_M_X64)
#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace fenwa::platform {

namespace {

X86Features read_features() noexcept {
    X86Features f;
#if defined(__x86_64__) || defined(_M_X64)
    unsigned leaf1[4] = {};
    unsigned leaf7[4] = {};
#if defined(_MSC_VER)
    int r[4];
    __cpuid(r, 0);
    const int top = r[0];
    __cpuidex(r, 1, 0);
    for (int k = 0; k < 4; ++k) leaf1[k] = static_cast<unsigned>(r[k]);
    if (top >= 7) {
        __cpuidex(r, 7, 0);
        for (int k = 0; k < 4; ++k) leaf7[k] = static_cast<unsigned>(r[k]);
    }
#else
    const unsigned top = __get_cpuid_max(0, nullptr);
    if (top < 1) return f;
    __cpuid_count(1, 0, leaf1[0], leaf1[1], leaf1[2], leaf1[3]);
    if (top >= 7) __cpuid_count(7, 0, leaf7[0], leaf7[1], leaf7[2], leaf7[3]);
#endif
    f.ssse3 = (leaf1[2] >> 9) & 1;
    f.popcnt = (leaf1[2] >> 23) & 1;
    const bool osxsave = (leaf1[2] >> 27) & 1;
    const bool avx = (leaf1[2] >> 28) & 1;
    const bool avx2 = (leaf7[1] >> 5) & 1;
    if (osxsave && avx && avx2) {
#if defined(_MSC_VER)
        const unsigned long long xcr0 = _xgetbv(0);
#else
        unsigned lo = 0, hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        const unsigned long long xcr0 = (static_cast<unsigned long long>(hi) << 32) | lo;
#endif
        f.avx2 = (xcr0 & 0x6) == 0x6;
    }
#endif
    return f;
}

}  // namespace

const X86Features& x86_features() noexcept {
    static const X86Features features = read_features();
    return features;
}

}  // namespace fenwa::platform
