// How much memory the machine could ever back, to refuse reservations that can
// never be satisfied before they are attempted.
#pragma once

#include <cstdint>

namespace fenwa {

// True when `bytes` exceeds the machine's physical memory plus swap (always false
// where that cannot be read). Such a request would either fail inside the
// allocator or, with overcommitted memory, "succeed" and later kill the process
// page by page; refusing it up front turns both into a clean MemoryError.
bool exceeds_machine_memory(std::uint64_t bytes) noexcept;

}  // namespace fenwa
