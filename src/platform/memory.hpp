// How much memory a reservation needs and whether it can be had, checked before
// anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fenwa {

// True when `bytes` exceeds the machine's physical memory plus swap (on macOS
// hw.memsize plus the swap in use, on Windows the commit limit: memory and page
// files), always false where that cannot be read. Such a request would either
// fail inside the allocator or, with overcommitted memory, "succeed" and later
// kill the process page by page; refusing it up front turns both into a clean
// MemoryError.
bool exceeds_machine_memory(std::uint64_t bytes) noexcept;

// The one capacity rule of every up-front reservation: `count` elements of
// `bytes_each` bytes (every per-element column together), plus `fixed` bytes
// of bookkeeping. Returns the total byte size. Throws std::length_error
// ("capacity overflow") when the elements' byte size cannot be represented (it
// exceeds the largest object size, PTRDIFF_MAX), and std::bad_alloc when the
// whole is representable but more than the machine could ever back.
std::size_t check_reservation(std::uint64_t count, std::uint64_t bytes_each,
                              std::uint64_t fixed = 0);

}  // namespace fenwa
