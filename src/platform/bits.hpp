// Reinterpreting an object's bytes as another trivially copyable type of the same
// size: std::bit_cast where the standard library has it (GCC 11, clang 14 and
// later), a byte copy, which compiles to the same move, before.
#pragma once

#include <cstring>
#include <type_traits>
#include <version>

#if defined(__cpp_lib_bit_cast)
#include <bit>
#endif

namespace fenwa {

template <class To, class From>
inline To bit_cast(const From& from) noexcept {
    static_assert(sizeof(To) == sizeof(From), "the two types have the same size");
    static_assert(std::is_trivially_copyable_v<To> && std::is_trivially_copyable_v<From>);
#if defined(__cpp_lib_bit_cast)
    return std::bit_cast<To>(from);
#else
    To to;
    std::memcpy(&to, &from, sizeof to);
    return to;
#endif
}

}  // namespace fenwa
