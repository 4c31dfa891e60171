#include "platform/memory.hpp"

#if defined(__linux__)
#include <sys/sysinfo.h>
#endif

namespace fenwa {

bool exceeds_machine_memory(std::uint64_t bytes) noexcept {
#if defined(__linux__)
    struct sysinfo info {};
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

}  // namespace fenwa
