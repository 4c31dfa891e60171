#include "module/estimate_cache.hpp"

#include <array>
#include <new>

#include "module/host_values.hpp"

namespace fenwa::py {

namespace ht = host_trim;

namespace {

// Per table, a set-associative array: a text's address picks one set of four
// entries; a new entry goes first and the set's last one leaves.
constexpr int kTables = 4;
constexpr std::size_t kWays = 4;
constexpr unsigned kSetBits = 13;  // 16,384 sets: 65,536 entries per table
constexpr std::size_t kSets = std::size_t{1} << kSetBits;

struct Entry {
    PyObject* text;  // a reference, or nullptr
    std::int64_t tokens;
};
struct Set {
    Entry way[kWays];
};

struct Cache {
    std::array<ht::TokenCoefficients, kTables> tables{};
    int table_count = 0;
    std::array<Set*, kTables> sets{};  // made at the table's first long text
    std::size_t entries = 0;
    std::size_t bytes = 0;
};
Cache g_cache;

std::size_t text_bytes(PyObject* s) noexcept {
    return static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)) *
           static_cast<std::size_t>(PyUnicode_KIND(s));
}

Set& set_of(Set* sets, PyObject* s) noexcept {
    const auto h =
        static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(s)) * 0x9E3779B97F4A7C15ull;
    return sets[h >> (64 - kSetBits)];
}

}  // namespace

Estimator estimator_of(PyObject* table) {
    Estimator e{coefficients_of(table), -1};
    for (int k = 0; k < g_cache.table_count; ++k)
        if (g_cache.tables[static_cast<std::size_t>(k)] == e.table) {
            e.slot = k;
            return e;
        }
    if (g_cache.table_count < kTables) {
        e.slot = g_cache.table_count++;
        g_cache.tables[static_cast<std::size_t>(e.slot)] = e.table;
    }
    return e;
}

std::int64_t cached_estimate(PyObject* s, const Estimator& e,
                             std::int64_t (*estimate)(PyObject*, const ht::TokenCoefficients&)) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) throw_error();
#endif
    // Only exact str: releasing one runs no Python code, so evicting an entry
    // cannot reach back into the cache.
    if (e.slot < 0 || !PyUnicode_CheckExact(s) || PyUnicode_GET_LENGTH(s) < kCachedLength)
        return estimate(s, e.table);
    Set*& sets = g_cache.sets[static_cast<std::size_t>(e.slot)];
    if (!sets) {
        sets = new (std::nothrow) Set[kSets]();
        if (!sets) return estimate(s, e.table);  // no room: estimate every time
    }
    Set& set = set_of(sets, s);
    for (const Entry& entry : set.way)
        if (entry.text == s) return entry.tokens;
    const std::int64_t tokens = estimate(s, e.table);
    const std::size_t bytes = text_bytes(s);
    if (bytes > kCachedBytes) return tokens;
    if (g_cache.bytes + bytes > kCachedBytes) clear_estimate_cache();
    Entry leaving = set.way[kWays - 1];
    for (std::size_t w = kWays - 1; w > 0; --w) set.way[w] = set.way[w - 1];
    set.way[0] = {new_ref(s), tokens};
    g_cache.bytes += bytes;
    ++g_cache.entries;
    if (leaving.text) {
        g_cache.bytes -= text_bytes(leaving.text);
        --g_cache.entries;
        Py_DECREF(leaving.text);
    }
    return tokens;
}

void clear_estimate_cache() noexcept {
    for (Set*& sets : g_cache.sets) {
        if (!sets) continue;
        for (std::size_t k = 0; k < kSets; ++k)
            for (Entry& entry : sets[k].way) {
                PyObject* text = entry.text;
                entry = {nullptr, 0};
                Py_XDECREF(text);
            }
    }
    g_cache.entries = 0;
    g_cache.bytes = 0;
}

EstimateCacheStats estimate_cache_stats() noexcept {
    return {g_cache.entries, g_cache.bytes};
}

}  // namespace fenwa::py
