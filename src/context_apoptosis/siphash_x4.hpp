// Four SipHash-1-3 streams at once in the 64-bit lanes of one AVX2 register,
// for processors that have it (checked at run time; the build targets baseline
// x86-64). Each lane gives exactly what SipHash13::write_padded() + finish()
// gives for its string.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fenwa {

// Whether sip13_padded_x4() may be called on this machine.
bool sip13_x4_available() noexcept;

// Hashes the four strings p[k] (n[k] bytes, each readable for 8 bytes past its
// end) into out[k]. Call only when sip13_x4_available().
void sip13_padded_x4(const unsigned char* const* p, const std::size_t* n,
                     std::uint64_t* out) noexcept;

}  // namespace fenwa
