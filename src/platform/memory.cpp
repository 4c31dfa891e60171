#include "platform/memory.hpp"

#include <new>
#include <stdexcept>

#if defined(__linux__)
#include <sys/sysinfo.h>
#endif

namespace fenwa {

bool exceeds_machine_memory(std::uint64_t bytes) noexcept {
#if defined(__linux__)
    struct sysinfo info{};
    if (sysinfo(&info) != 0) return false;
    const long double total =
        (static_cast<long double>(info.totalram) + static_cast<long double>(info.totalswap)) *
        static_cast<long double>(info.mem_unit);
    return static_cast<long double>(bytes) > total;
#else
    (void)bytes;
    return false;
#endif
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
