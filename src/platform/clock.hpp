// The monotonic clock, behind a small platform shim.
#pragma once

#include <cstdint>

namespace fenwa {

// Nanoseconds on a monotonic clock with an arbitrary origin.
std::uint64_t monotonic_ns() noexcept;

}  // namespace fenwa
