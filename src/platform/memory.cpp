#include "platform/memory.hpp"

#include <new>
#include <stdexcept>

#if defined(__linux__)
#include <sys/sysinfo.h>
#elif defined(__APPLE__)
#include <sys/sysctl.h>
#include <sys/types.h>
#elif defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace fenwa {

namespace {

// Physical memory plus swap (or, on Windows, the commit limit: memory plus page
// file) in bytes; false where it cannot be read.
bool machine_memory(long double& total) noexcept {
#if defined(__linux__)
    struct sysinfo info{};
    if (sysinfo(&info) != 0) return false;
    total = (static_cast<long double>(info.totalram) + static_cast<long double>(info.totalswap)) *
            static_cast<long double>(info.mem_unit);
    return true;
#elif defined(__APPLE__)
    std::uint64_t memsize = 0;
    std::size_t size = sizeof memsize;
    if (sysctlbyname("hw.memsize", &memsize, &size, nullptr, 0) != 0) return false;
    total = static_cast<long double>(memsize);
    // The swap files grow on demand; what they hold now is the best bound known.
    struct xsw_usage swap{};
    size = sizeof swap;
    if (sysctlbyname("vm.swapusage", &swap, &size, nullptr, 0) == 0)
        total += static_cast<long double>(swap.xsu_total);
    return true;
#elif defined(_WIN32)
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return false;
    // ullTotalPageFile is the commit limit: physical memory and page files together.
    const auto limit = status.ullTotalPageFile > status.ullTotalPhys ? status.ullTotalPageFile
                                                                     : status.ullTotalPhys;
    total = static_cast<long double>(limit);
    return true;
#else
    (void)total;
    return false;
#endif
}

}  // namespace

bool exceeds_machine_memory(std::uint64_t bytes) noexcept {
    long double total = 0;
    if (!machine_memory(total)) return false;
    return static_cast<long double>(bytes) > total;
}

std::size_t check_reservation(std::uint64_t count, std::uint64_t bytes_each, std::uint64_t fixed) {
    constexpr std::uint64_t kLargest = static_cast<std::uint64_t>(PTRDIFF_MAX);
    if (bytes_each != 0 && count > kLargest / bytes_each)
        throw std::length_error("capacity overflow");
    const std::uint64_t elements = count * bytes_each;
    if (fixed > kLargest - elements) throw std::bad_alloc();  // representable, never backed
    const std::uint64_t total = elements + fixed;
    if (exceeds_machine_memory(total)) throw std::bad_alloc();
    return static_cast<std::size_t>(total);
}

}  // namespace fenwa
