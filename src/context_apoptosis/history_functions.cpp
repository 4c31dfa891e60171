// Python function dehydrate(): one-pass dehydration of a message history.
#include <vector>

#include "context_apoptosis/blocks.hpp"
#include "context_apoptosis/history.hpp"
#include "module/boundary.hpp"
#include "module/registry.hpp"
#include "platform/clock.hpp"

namespace fenwa {
namespace {

using py::Ref;

constexpr auto kDehydrate = py::function_decl(
    "dehydrate",
    {{"messages"}, {"half_life", "6.0"}, {"safe_threshold", "0.35"}, {"stable_prefix", "0"}},
    "Dehydrate a whole message history in a single pass (oldest \xE2\x86\x92 newest).\n\n"
    "`messages` is a list of `(content, signal_flags)`. Older, lower-value blocks\n"
    "are decayed by recency-weighted half-life and purged below `safe_threshold`;\n"
    "durable classes (SYSTEM, FACT) always survive. Returns the surviving blocks\n"
    "plus audited savings and the pure-kernel latency in microseconds.\n\n"
    "`stable_prefix` is the cache-aware zone: the first N messages are kept\n"
    "verbatim no matter their class, so a provider prompt-cache prefix stays\n"
    "byte-identical between calls. Apoptosis only acts on the mobile suffix.");

// The converted history. Each content stays in its str (held by a strong
// reference, so a caller mutating the list cannot free it); the kernel sees only
// the flag words, so nothing Python is touched while the lock is released.
struct History {
    std::vector<Ref> contents;
    std::vector<std::size_t> bytes;  // UTF-8 length of each content
    std::vector<std::uint32_t> flags;

    void reserve(std::size_t n) {
        contents.reserve(n);
        bytes.reserve(n);
        flags.reserve(n);
    }
};

// One `(content, signal_flags)` record.
void add_message(History& history, PyObject* item) {
    PyObject* const* pair = py::tuple_items(item, 2);
    const std::string_view text = py::convert<py::to_text>(pair[0]);
    const std::uint32_t flags = py::convert<py::to_u32>(pair[1]);
    history.contents.push_back(Ref::borrow(pair[0]));
    history.bytes.push_back(text.size());
    history.flags.push_back(flags);
}

History convert_history(PyObject* messages) {
    History history;
    py::convert_records(messages, history, [&](PyObject* item) { add_message(history, item); });
    return history;
}

// The kept content as a str: the caller's own object when it is an exact str
// (immutable, so sharing it is indistinguishable from a copy), else a new str.
Ref kept_str(PyObject* content) {
    if (PyUnicode_CheckExact(content)) return Ref::borrow(content);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(content, &size);
    if (!data) py::throw_error();
    return py::new_str(std::string_view(data, static_cast<std::size_t>(size)));
}

py::Key kKept{"kept"}, kBlocksIn{"blocks_in"}, kBlocksKept{"blocks_kept"},
    kBlocksPurged{"blocks_purged"}, kTokensBefore{"tokens_before"}, kTokensAfter{"tokens_after"},
    kReduction{"reduction"}, kStablePrefixTokens{"stable_prefix_tokens"},
    kKernelLatency{"kernel_latency_us"};

Ref dehydrate(const py::Bound<4>& a) {
    History history = py::convert_arg<convert_history>(a[0], "messages");
    const float half_life = blocks::floor_half_life(a.get<py::to_f32>(1));
    const float safe_threshold = a.get<py::to_f32>(2);
    const std::uint64_t stable_prefix = a.get<py::to_u64>(3);

    const std::size_t n = history.flags.size();
    std::vector<std::uint8_t> keep(n);
    const history::Params params{half_life, safe_threshold, stable_prefix};

    const std::uint64_t start = monotonic_ns();
    {
        py::GilRelease unlocked;
        history::decide(history.flags.data(), n, params, keep.data());
    }
    const std::uint64_t end = monotonic_ns();
    const double latency_us = end >= start ? static_cast<double>(end - start) / 1000.0 : 0.0;

    const history::Accounting acc =
        history::account(history.bytes.data(), keep.data(), n, stable_prefix);
    std::size_t next = 0;
    Ref kept_list = py::build_list(acc.kept, [&](std::size_t) {
        while (!keep[next]) ++next;
        return kept_str(history.contents[next++].get());
    });

    return py::DictBuilder()
        .set(kKept, std::move(kept_list))
        .set(kBlocksIn, py::new_int(n))
        .set(kBlocksKept, py::new_int(acc.kept))
        .set(kBlocksPurged, py::new_int(n - acc.kept))
        .set(kTokensBefore, py::new_int(acc.tokens_before))
        .set(kTokensAfter, py::new_int(acc.tokens_after))
        .set(kReduction, py::new_float(acc.reduction))
        .set(kStablePrefixTokens, py::new_int(acc.stable_prefix_tokens))
        .set(kKernelLatency, py::new_float(latency_us))
        .finish();
}

}  // namespace

PyMethodDef dehydrate_def = py::function_def<kDehydrate, dehydrate>();

}  // namespace fenwa
