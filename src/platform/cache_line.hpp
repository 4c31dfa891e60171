// The cache line size that keeps two independently written values apart: 128
// bytes on Apple's arm64 processors, 64 on the other targets.
#pragma once

#include <cstddef>

namespace fenwa {

#if defined(__APPLE__) && (defined(__aarch64__) || defined(__arm64__))
inline constexpr std::size_t kCacheLine = 128;
#else
inline constexpr std::size_t kCacheLine = 64;
#endif

}  // namespace fenwa
