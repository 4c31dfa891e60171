#include "platform/clock.hpp"

#if defined(_WIN32)
#include <windows.h>
#elif defined(__unix__) || defined(__APPLE__)
#include <time.h>
#else
#include <chrono>
#endif

namespace fenwa {

std::uint64_t monotonic_ns() noexcept {
#if defined(_WIN32)
    LARGE_INTEGER freq, now;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&now);
    const auto ticks = static_cast<std::uint64_t>(now.QuadPart);
    const auto hz = static_cast<std::uint64_t>(freq.QuadPart);
    return (ticks / hz) * 1000000000ULL + (ticks % hz) * 1000000000ULL / hz;
#elif defined(__unix__) || defined(__APPLE__)
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ULL +
           static_cast<std::uint64_t>(ts.tv_nsec);
#else
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
#endif
}

}  // namespace fenwa
