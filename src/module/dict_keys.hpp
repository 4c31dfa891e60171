// Result-dict keys named where they are used: `py::key<"score">()` is the one
// `Key` of that text in the whole process, so the str is interned once and each
// later lookup is a load of a cached pointer, exactly as with a `Key` declared
// at namespace scope, without a separate list of key declarations to keep in
// step with the code that fills the dict.
#pragma once

#include <algorithm>
#include <cstddef>

#include "module/boundary.hpp"

namespace fenwa::py {

// A key's text as a template argument; implicit, so that `key<"score">` reads as
// it is written.
template <std::size_t N>
struct KeyText {
    char text[N];
    constexpr KeyText(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// Constant-initialised, so no guard runs on the call path.
template <KeyText T>
Key& key() {
    static constinit Key k{T.text};
    return k;
}

}  // namespace fenwa::py
