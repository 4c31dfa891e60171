// The token estimates of long texts, kept per coefficient table and keyed by the
// str object itself. An agent host trims the same history again before every
// model call: its texts are the same str objects each time, so a text already
// estimated costs one lookup instead of a pass over its characters.
//
// The cache holds a reference to every text it keeps, so a key's address cannot
// be reused by another object while the entry lives, and a str's characters
// never change once it is shared: a hit is exact. It is bounded in entries and in
// the bytes of text it keeps alive; every access holds the GIL.
#pragma once

#include <cstdint>

#include "host_trim/token_estimate.hpp"
#include "module/boundary.hpp"

namespace fenwa::py {

// A coefficient table and the number the cache knows it by (-1: not cached, when
// more distinct tables were seen than the cache keeps apart).
struct Estimator {
    host_trim::TokenCoefficients table;
    int slot = -1;
};

// The estimator of a table fenwa_host.tokens passes (the bytes of one int64 per
// feature, none negative).
Estimator estimator_of(PyObject* table);

// Texts shorter than this many code points are estimated every time: a pass over
// them costs about what a lookup does.
inline constexpr Py_ssize_t kCachedLength = 64;
// At most this many bytes of text are kept alive; past it the cache starts afresh.
inline constexpr std::size_t kCachedBytes = std::size_t{32} << 20;

// The estimate of `s` (a str) by `e`, from the cache when it holds it.
// `estimate` computes it otherwise; the result is kept for long texts.
std::int64_t cached_estimate(PyObject* s, const Estimator& e,
                             std::int64_t (*estimate)(PyObject*,
                                                      const host_trim::TokenCoefficients&));

// Drops every entry (their references included).
void clear_estimate_cache() noexcept;

// Entries and bytes of text held, for tests and benchmarks.
struct EstimateCacheStats {
    std::size_t entries = 0;
    std::size_t bytes = 0;
};
EstimateCacheStats estimate_cache_stats() noexcept;

}  // namespace fenwa::py
