// What the processor offers for the kernels' run-time choice of a vector form,
// read from the processor's own report (CPUID) rather than through the
// compiler's runtime, whose CPU model table some toolchains (clang-cl) would
// have to link.
#pragma once

namespace fenwa::platform {

struct X86Features {
    bool ssse3 = false;   // CPUID leaf 1, ECX bit 9
    bool popcnt = false;  // CPUID leaf 1, ECX bit 23
    // CPUID leaf 7, EBX bit 5, and the operating system saving the 256-bit
    // registers (OSXSAVE, then XCR0's SSE and AVX bits).
    bool avx2 = false;
};

// Read once; every field false on other processors.
const X86Features& x86_features() noexcept;

}  // namespace fenwa::platform
