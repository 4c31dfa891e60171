// Python entry points behind fenwa_host.trim's hot loops: the removal order, the
// budget walk, pairing, pins and the filing of sent messages (the readers are in
// read_functions.cpp).
#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "flood_report/registry.hpp"
#include "host_trim/pairing.hpp"
#include "host_trim/trim_walk.hpp"
#include "host_trim/views_type.hpp"
#include "module/host_values.hpp"

namespace fenwa {
namespace {

using py::Ref;
namespace ht = host_trim;

using py::Buffer;
using py::new_ref;

// `o`, which must be an exact list (the views the Python side built).
PyObject* exact_list(PyObject* o) {
    if (!PyList_CheckExact(o)) py::type_mismatch(o, "list");
    return o;
}

// A new tuple of the given objects; it takes their references once it exists.
template <class... Refs>
Ref tuple_of(Refs&... items) {
    Ref out = py::owned(PyTuple_New(sizeof...(items)));
    Py_ssize_t k = 0;
    (PyTuple_SET_ITEM(out.get(), k++, items.release()), ...);
    return out;
}

// A list of ints, one per index.
Ref index_list(const std::vector<std::uint32_t>& indices) {
    Ref out = py::owned(PyList_New(static_cast<Py_ssize_t>(indices.size())));
    for (std::size_t k = 0; k < indices.size(); ++k)
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k),
                        py::owned(PyLong_FromUnsignedLong(indices[k])).release());
    return out;
}

// --- the removal order --------------------------------------------------------------

constexpr auto kOrderSig = py::function_decl(
    "removal_order", {{"views"}, {"pinned"}, {"half_life"}},
    "The unpinned indices in removal order, as uint32 bytes. Private to fenwa_host.");

// The class bits of `n` views.
std::vector<std::uint32_t> view_bits(PyObject* views, std::size_t n) {
    const py::ViewSource source(views);
    std::vector<std::uint32_t> bits(n);
    for (std::size_t i = 0; i < n; ++i) {
        // An int's __index__ could change the list: its length is asked every time.
        if (static_cast<std::size_t>(source.size()) != n)
            py::raise(PyExc_ValueError, "views must be a list as long as pinned");
        const py::ViewFields v = source.at(static_cast<Py_ssize_t>(i));
        bits[i] = py::convert<py::to_u32>(v.bits);
    }
    if (n == 0 && source.size() != 0)
        py::raise(PyExc_ValueError, "views must be a list as long as pinned");
    return bits;
}

Ref removal_order(const py::Bound<3>& a) {
    Buffer pinned(a[1], PyBUF_SIMPLE);
    const std::size_t n = pinned.bytes();
    const double half_life = a.get<py::to_f64>(2);
    const std::vector<std::uint32_t> bits = view_bits(a[0], n);
    const std::uint8_t* p = pinned.as<std::uint8_t>(n, "pinned must hold one byte per view");
    std::vector<std::uint32_t> order = ht::removal_order(bits.data(), p, n, half_life);
    return py::owned(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(order.data()),
                                               static_cast<Py_ssize_t>(order.size() * 4)));
}

// --- the walk -----------------------------------------------------------------------

// The per-message arrays of a walk, in the buffers fenwa_host passes (their
// lengths checked against the actions'), held for the call.
class WalkArrays {
  public:
    WalkArrays(PyObject* action, PyObject* current, PyObject* tokens, PyObject* shape)
        : action_(action, PyBUF_WRITABLE),
          current_(current, PyBUF_WRITABLE | PyBUF_FORMAT),
          tokens_(tokens, PyBUF_FORMAT),
          shape_(shape, PyBUF_SIMPLE) {}
    std::size_t size() const { return action_.bytes(); }
    ht::WalkState state(std::uint64_t total, bool inline_results,
                        const ht::PlaceholderCosts& costs) const {
        const std::size_t n = size();
        return {action_.as<std::uint8_t>(n, "action must hold one byte per message"),
                current_.as<std::int64_t>(n, "current must hold one int64 per message"),
                tokens_.as<std::int64_t>(n, "tokens must hold one int64 per message"),
                shape_.as<std::uint8_t>(n, "shape must hold one byte per message"),
                n,
                static_cast<std::int64_t>(total),
                inline_results,
                &costs};
    }

  private:
    Buffer action_, current_, tokens_, shape_;
};

// The reasons list of a walk over `n` messages, and the pair of reason texts.
void check_reasons(PyObject* reasons, PyObject* texts, std::size_t n) {
    if (!PyList_CheckExact(reasons) || static_cast<std::size_t>(PyList_GET_SIZE(reasons)) != n)
        py::raise(PyExc_ValueError, "reasons must be a list with one item per message");
    if (!PyTuple_CheckExact(texts) || PyTuple_GET_SIZE(texts) != 2)
        py::raise(PyExc_ValueError, "reason_texts must be a pair of str");
}

// Stores the reason text of every change the walk made.
void store_reasons(PyObject* reasons, PyObject* texts, const std::vector<ht::Change>& changes) {
    for (const ht::Change& c : changes) {
        PyObject* text = PyTuple_GET_ITEM(texts, c.reason == ht::kCallLeft ? 1 : 0);
        // The slot's old reason is released only after the new one is stored.
        PyObject* old = PyList_GET_ITEM(reasons, c.index);
        PyList_SET_ITEM(reasons, c.index, new_ref(text));
        Py_DECREF(old);
    }
}

// (position, total, needs_caller, elided indices) of a walk.
Ref walk_result(const ht::WalkStop& stop, std::int64_t total,
                const std::vector<std::uint32_t>& elided) {
    Ref at = py::owned(PyLong_FromSize_t(stop.position));
    Ref sum = py::owned(PyLong_FromLongLong(total));
    Ref stopped = Ref::borrow(stop.needs_caller ? Py_True : Py_False);
    Ref pending = index_list(elided);
    return tuple_of(at, sum, stopped, pending);
}

constexpr auto kWalkSig =
    py::function_decl("budget_walk",
                      {{"candidates"},
                       {"position"},
                       {"max_tokens"},
                       {"total"},
                       {"action"},
                       {"current"},
                       {"tokens"},
                       {"shape"},
                       {"inline_results"},
                       {"reasons"},
                       {"reason_texts"},
                       {"placeholder_costs"}},
                      "Removes candidates until the total fits. Private to fenwa_host.");

Ref budget_walk(const py::Bound<12>& a) {
    Buffer candidates(a[0], PyBUF_SIMPLE);
    const std::uint64_t position = a.get<py::to_u64>(1);
    const std::uint64_t max_tokens = a.get<py::to_u64>(2);
    const std::uint64_t total = a.get<py::to_u64>(3);
    const WalkArrays arrays(a[4], a[5], a[6], a[7]);
    const bool inline_results = a.get<py::to_bool>(8);
    check_reasons(a[9], a[10], arrays.size());
    if (max_tokens > INT64_MAX || total > INT64_MAX)
        py::raise(PyExc_OverflowError, "token counts beyond 2**63");
    const ht::PlaceholderCosts costs = py::placeholder_costs_of(a[11]);
    ht::WalkState state = arrays.state(total, inline_results, costs);
    const std::size_t count = candidates.bytes() / sizeof(std::uint32_t);
    const auto* order = candidates.as<std::uint32_t>(count, "candidates must be uint32 indices");
    std::vector<ht::Change> changes;
    std::vector<std::uint32_t> elided;
    const ht::WalkStop stop = ht::walk(state, order, count, position,
                                       static_cast<std::int64_t>(max_tokens), changes, elided);
    store_reasons(a[9], a[10], changes);
    return walk_result(stop, state.total, elided);
}

// --- pairing ----------------------------------------------------------------------

// View ids (its calls or its answers), which must be a tuple.
PyObject* view_ids(PyObject* ids) {
    if (!PyTuple_Check(ids)) py::raise(PyExc_TypeError, "view ids must be tuples");
    return ids;
}

// Exact str ids interned to codes: equal ids, one code, as a dict keyed by them
// would give (an exact str's hash is cached in it, and comparing two runs no
// Python code).
class StrCodes {
  public:
    // The code of `id`, or `next` (then filed as its code) when it is new.
    std::uint32_t code(PyObject* id, std::uint32_t next) {
        const Py_hash_t hash = PyObject_Hash(id);
        if (hash == -1) py::throw_error();
        if (2 * (used_ + 1) > slots_.size()) grow();
        std::size_t at = static_cast<std::size_t>(hash) & (slots_.size() - 1);
        for (;; at = (at + 1) & (slots_.size() - 1)) {
            Slot& slot = slots_[at];
            if (!slot.id) {
                slot = {id, hash, next};
                ++used_;
                return next;
            }
            if (slot.id == id || (slot.hash == hash && PyUnicode_Compare(slot.id, id) == 0))
                return slot.code;
        }
    }

  private:
    struct Slot {
        PyObject* id;  // borrowed: PairArrays::ids holds every id filed
        Py_hash_t hash;
        std::uint32_t code;
    };
    void grow() {
        std::vector<Slot> old(std::max<std::size_t>(64, 2 * slots_.size()), Slot{nullptr, 0, 0});
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (!slot.id) continue;
            std::size_t at = static_cast<std::size_t>(slot.hash) & (slots_.size() - 1);
            while (slots_[at].id) at = (at + 1) & (slots_.size() - 1);
            slots_[at] = slot;
        }
    }
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

// Views as the pairing kernel's plain arrays: the ids interned to codes (equal
// ids, one code) and the per-message offsets.
struct PairArrays {
    std::vector<std::uint32_t> call_start, calls, answer_start, answers;
    std::vector<std::uint8_t> may_wait, follower;
    std::optional<StrCodes> str_codes;  // while every id is an exact str
    Ref codes;                          // id -> code, otherwise
    Ref ids;                            // code -> id

    // The code of `id`; nullopt when it is not an exact str while they are
    // interned as such.
    std::optional<std::uint32_t> code(PyObject* id, bool waits) {
        const auto next = static_cast<std::uint32_t>(PyList_GET_SIZE(ids.get()));
        if (str_codes) {
            if (!PyUnicode_CheckExact(id)) return std::nullopt;
            const std::uint32_t known = str_codes->code(id, next);
            if (known != next) return known;
        } else {
            PyObject* known = PyDict_GetItemWithError(codes.get(), id);
            if (!known && PyErr_Occurred()) py::throw_error();
            if (known) return py::convert<py::to_u32>(known);
            Ref value = py::owned(PyLong_FromUnsignedLong(next));
            if (PyDict_SetItem(codes.get(), id, value.get()) < 0) py::throw_error();
        }
        if (PyList_Append(ids.get(), id) < 0) py::throw_error();
        may_wait.push_back(waits ? 1 : 0);
        return next;
    }

    PairArrays(PyObject* list, bool reasoning) {
        const py::ViewSource views(list);
        str_codes.emplace();
        if (fill(views, reasoning)) return;
        // An id of a str subclass (or no str at all): again, with Python's own
        // equality.
        str_codes.reset();
        codes = py::owned(PyDict_New());
        fill(views, reasoning);
    }

    // Reads every view; false when an id cannot be interned as an exact str.
    bool fill(const py::ViewSource& views, bool reasoning) {
        call_start.assign(1, 0);
        answer_start.assign(1, 0);
        calls.clear();
        answers.clear();
        may_wait.clear();
        follower.clear();
        ids = py::owned(PyList_New(0));
        for (Py_ssize_t k = 0; k < views.size(); ++k) {
            const py::ViewFields v = views.at(k);
            Ref made = Ref::borrow(view_ids(v.calls));
            Ref answered = Ref::borrow(view_ids(v.answers));
            // A calls tuple of a subclass holds calls the provider takes unanswered.
            const bool waits = !PyTuple_CheckExact(made.get());
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(made.get()); ++j) {
                const auto c = code(PyTuple_GET_ITEM(made.get(), j), waits);
                if (!c) return false;
                calls.push_back(*c);
            }
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(answered.get()); ++j) {
                const auto c = code(PyTuple_GET_ITEM(answered.get(), j), false);
                if (!c) return false;
                answers.push_back(*c);
            }
            call_start.push_back(static_cast<std::uint32_t>(calls.size()));
            answer_start.push_back(static_cast<std::uint32_t>(answers.size()));
            if (reasoning) follower.push_back(follower_of(v.role));
        }
        return true;
    }

    // What a view of `role` is to a reasoning item before it. A list holds a
    // few role objects many times over: each is compared once, and held, so
    // that its address stands for it while the pairing lasts.
    std::uint8_t follower_of(PyObject* role) {
        for (const auto& [known, kind] : roles)
            if (known.get() == role) return kind;
        const bool str = PyUnicode_Check(role);
        const std::uint8_t kind =
            str && PyUnicode_CompareWithASCIIString(role, "reasoning") == 0 ? ht::kReasoningItem
            : str && (PyUnicode_CompareWithASCIIString(role, "assistant") == 0 ||
                      PyUnicode_CompareWithASCIIString(role, "other") == 0)
                ? ht::kOutputItem
                : ht::kOtherItem;
        if (roles.size() < 8) roles.emplace_back(Ref::borrow(role), kind);
        return kind;
    }
    std::vector<std::pair<Ref, std::uint8_t>> roles;

    ht::PairInput input() const {
        return {call_start.size() - 1, may_wait.size(),
                call_start.data(),     calls.data(),
                answer_start.data(),   answers.data(),
                may_wait.data(),       follower.empty() ? nullptr : follower.data()};
    }
};

// The kernel's error as the ValueError its rule names (message texts of the
// formats' Python references), or (owner, results) dicts in call order.
Ref pairing_result(const PairArrays& in, const ht::PairOutcome& out, std::uint64_t offset,
                   bool anywhere) {
    const auto at = [&](std::size_t k) { return static_cast<Py_ssize_t>(offset + k); };
    // Message k's index as the result dicts hold it (the entry points checked
    // that every index is a Py_ssize_t).
    const auto index_of = [&](std::size_t k) { return py::index_int(at(k)); };
    PyObject* id = out.error == ht::PairError::none || out.error == ht::PairError::reasoning_alone
                       ? nullptr
                       : PyList_GET_ITEM(in.ids.get(), out.id);
    switch (out.error) {
        case ht::PairError::none:
            break;
        case ht::PairError::id_used_twice:
            PyErr_Format(PyExc_ValueError,
                         anywhere ? "message %zd: call id %R is used twice"
                                  : "message %zd: tool call id %R is used twice",
                         at(out.message), id);
            py::throw_error();
        case ht::PairError::orphan:
            PyErr_Format(PyExc_ValueError,
                         anywhere
                             ? "message %zd: the output for call %R has no earlier function_call "
                               "or other call item (orphan tool result)"
                             : "message %zd: tool result for call %R does not answer a call "
                               "of the message right before it (orphan tool result)",
                         at(out.message), id);
            py::throw_error();
        case ht::PairError::answered_twice:
            PyErr_Format(PyExc_ValueError,
                         "message %zd: call %R is answered twice (orphan tool result)",
                         at(out.message), id);
            py::throw_error();
        case ht::PairError::unanswered_before:
            PyErr_Format(PyExc_ValueError,
                         "message %zd: tool call %R has no result before message %zd "
                         "(call without its result)",
                         at(out.message), id, at(out.other));
            py::throw_error();
        case ht::PairError::unanswered:
            PyErr_Format(PyExc_ValueError,
                         anywhere
                             ? "message %zd: function call %R has no function_call_output "
                               "or other output item (call without its result)"
                             : "message %zd: tool call %R has no result (call without its result)",
                         at(out.message), id);
            py::throw_error();
        case ht::PairError::reasoning_alone: {
            const std::size_t n = in.call_start.size() - 1;
            if (out.other >= n)
                PyErr_Format(
                    PyExc_ValueError,
                    "message %zd: a reasoning item must be followed by the output item it "
                    "produced, not at the end of the list (reasoning without its following item)",
                    at(out.message));
            else
                PyErr_Format(
                    PyExc_ValueError,
                    "message %zd: a reasoning item must be followed by the output item it "
                    "produced, not followed by message %zd (reasoning without its following item)",
                    at(out.message), at(out.other));
            py::throw_error();
        }
    }
    // Per call, the messages that carry its results, in order: the lists are made
    // at their final size and filled (each answered id is a call: the kernel
    // checked).
    const std::size_t n = in.call_start.size() - 1;
    const std::size_t codes = static_cast<std::size_t>(PyList_GET_SIZE(in.ids.get()));
    std::vector<Py_ssize_t> carried(codes, 0);
    for (std::uint32_t c : in.answers) ++carried[c];
    std::vector<PyObject*> carriers(codes, nullptr);  // borrowed from `results`
    Ref owner = py::owned(PyDict_New());
    Ref results = py::owned(PyDict_New());
    for (std::uint32_t c : in.calls) {
        PyObject* cid = PyList_GET_ITEM(in.ids.get(), c);
        Ref list = py::owned(PyList_New(carried[c]));
        // Filled below; until then its items are NULL, which a list allows.
        Ref index = Ref::steal(index_of(static_cast<std::size_t>(out.owner[c])));
        if (PyDict_SetItem(owner.get(), cid, index.get()) < 0 ||
            PyDict_SetItem(results.get(), cid, list.get()) < 0)
            py::throw_error();
        carriers[c] = list.get();
        carried[c] = 0;
    }
    for (std::size_t i = 0; i < n; ++i)
        for (std::uint32_t k = in.answer_start[i]; k < in.answer_start[i + 1]; ++k) {
            const std::uint32_t c = in.answers[k];
            if (!carriers[c]) py::raise(PyExc_KeyError, "answered id");
            PyList_SET_ITEM(carriers[c], carried[c]++, index_of(i));
        }
    Ref pair = py::owned(PyTuple_New(2));
    PyTuple_SET_ITEM(pair.get(), 0, owner.release());
    PyTuple_SET_ITEM(pair.get(), 1, results.release());
    return pair;
}

// The views' indices from `offset` on must be Py_ssize_t.
void check_offset(std::uint64_t offset, const PairArrays& arrays) {
    const auto n = static_cast<std::uint64_t>(arrays.call_start.size() - 1);
    if (offset > static_cast<std::uint64_t>(PY_SSIZE_T_MAX) - n)
        py::raise(PyExc_OverflowError, "offset is too large");
}

constexpr auto kPairSig = py::function_decl(
    "pair_adjacent", {{"views"}, {"offset"}},
    "(owner, results) of views whose tool results follow their call directly; raises\n"
    "ValueError naming the message and the rule broken. Private to fenwa_host.");

Ref pair_adjacent(const py::Bound<2>& a) {
    const std::uint64_t offset = a.get<py::to_u64>(1);
    const PairArrays arrays(a[0], false);
    check_offset(offset, arrays);
    return pairing_result(arrays, ht::pair_adjacent(arrays.input()), offset, false);
}

constexpr auto kAnywhereSig = py::function_decl(
    "pair_anywhere", {{"views"}, {"offset"}},
    "(owner, results) of Responses views: an output anywhere after its call, a reasoning\n"
    "item followed by an output item; raises ValueError naming the message and the\n"
    "rule broken. Private to fenwa_host.");

Ref pair_anywhere(const py::Bound<2>& a) {
    const std::uint64_t offset = a.get<py::to_u64>(1);
    const PairArrays arrays(a[0], true);
    check_offset(offset, arrays);
    return pairing_result(arrays, ht::pair_anywhere(arrays.input()), offset, true);
}

// --- pins -----------------------------------------------------------------------

constexpr auto kDurableSig = py::function_decl(
    "durable_views", {{"views"}, {"mask"}, {"role"}},
    "Indices of the views whose bits meet mask or whose role is role. Private to\n"
    "fenwa_host.");

// Whether view `v` has class bits that meet `mask` or the role `role`.
bool durable(const py::ViewFields& v, std::uint32_t mask, PyObject* role) {
    if ((py::convert<py::to_u32>(v.bits) & mask) != 0) return true;
    const int eq = PyObject_RichCompareBool(v.role, role, Py_EQ);
    if (eq < 0) py::throw_error();
    return eq == 1;
}

// The indices of the views whose class bits meet `mask` or whose role is `role`.
Ref durable_views(const py::Bound<3>& a) {
    const py::ViewSource views(a[0]);
    const std::uint32_t mask = a.get<py::to_u32>(1);
    Ref out = py::owned(PyList_New(0));
    for (Py_ssize_t i = 0; i < views.size(); ++i) {
        if (!durable(views.at(i), mask, a[2])) continue;
        Ref index = Ref::steal(py::index_int(i));
        if (PyList_Append(out.get(), index.get()) < 0) py::throw_error();
    }
    return out;
}

// --- the cached prefix's decay tables ----------------------------------------------

constexpr auto kFileSig = py::function_decl(
    "file_sent",
    {{"views"}, {"tokens"}, {"sizes"}, {"start"}, {"end"}, {"elide"}, {"placeholder_costs"}},
    "Token and byte sums of the views from start to end and, per decay class, the\n"
    "(position, saving) pairs of those a purge would shorten. Private to fenwa_host.");

// views[start:end] with their tokens and sizes, as the filing kernel reads them.
std::vector<ht::SentMessage> sent_messages(PyObject* views, PyObject* tokens, PyObject* sizes,
                                           std::uint64_t start, std::uint64_t end) {
    std::vector<ht::SentMessage> out;
    for (std::uint64_t i = start; i < end; ++i) {
        // The lengths are asked every time: an int's __index__ could change a list.
        const auto at = static_cast<Py_ssize_t>(i);
        if (i > PY_SSIZE_T_MAX || at >= PyList_GET_SIZE(views) || at >= PyList_GET_SIZE(tokens) ||
            at >= PyList_GET_SIZE(sizes))
            py::raise(PyExc_ValueError, "start and end must lie within views, tokens and sizes");
        Ref v = Ref::borrow(PyList_GET_ITEM(views, at));
        Ref t = Ref::borrow(PyList_GET_ITEM(tokens, at));
        Ref b = Ref::borrow(PyList_GET_ITEM(sizes, at));
        if (!py::view_reaches(v.get(), py::kViewAnswers) ||
            !PyTuple_Check(PyTuple_GET_ITEM(v.get(), py::kViewAnswers)))
            py::raise(PyExc_TypeError, "views must hold message views");
        const std::uint64_t n_tokens = py::convert<py::to_u64>(t.get());
        const std::uint64_t n_bytes = py::convert<py::to_u64>(b.get());
        const std::uint32_t bits =
            py::convert<py::to_u32>(PyTuple_GET_ITEM(v.get(), py::kViewBits));
        if (n_tokens > INT64_MAX || n_bytes > INT64_MAX)
            py::raise(PyExc_OverflowError, "token or byte counts beyond 2**63");
        PyObject* role = PyTuple_GET_ITEM(v.get(), py::kViewRole);
        const bool system =
            PyUnicode_Check(role) && PyUnicode_CompareWithASCIIString(role, "system") == 0;
        const auto answers = static_cast<std::uint64_t>(
            PyTuple_GET_SIZE(PyTuple_GET_ITEM(v.get(), py::kViewAnswers)));
        out.push_back({bits, system, answers, static_cast<std::int64_t>(n_tokens),
                       static_cast<std::int64_t>(n_bytes)});
    }
    return out;
}

// (tokens, bytes, [[(position, saving), ...] per decay class]) of a filed range
// that starts at `start`.
Ref filed_result(const ht::FiledRange& filed, std::uint64_t start) {
    Ref classes = py::owned(PyList_New(4));
    for (std::size_t k = 0; k < 4; ++k) {
        Ref pairs = py::owned(PyList_New(0));
        for (const auto& [offset, saving] : filed.by_class[k]) {
            Ref position = py::owned(PyLong_FromUnsignedLongLong(start + offset));
            Ref amount = py::owned(PyLong_FromLongLong(saving));
            Ref pair = tuple_of(position, amount);
            if (PyList_Append(pairs.get(), pair.get()) < 0) py::throw_error();
        }
        PyList_SET_ITEM(classes.get(), static_cast<Py_ssize_t>(k), pairs.release());
    }
    Ref tokens = py::owned(PyLong_FromLongLong(filed.tokens));
    Ref bytes = py::owned(PyLong_FromLongLong(filed.bytes));
    return tuple_of(tokens, bytes, classes);
}

// The messages views[start:end] join the cached prefix: their token and byte sums,
// and the (position, saving) pairs filed per decay class (host_trim::file_range).
Ref file_sent(const py::Bound<7>& a) {
    PyObject* const views = exact_list(a[0]);
    PyObject* const tokens = exact_list(a[1]);
    PyObject* const sizes = exact_list(a[2]);
    const std::uint64_t start = a.get<py::to_u64>(3);
    const std::uint64_t end = a.get<py::to_u64>(4);
    const bool elide = a.get<py::to_bool>(5);
    const ht::PlaceholderCosts costs = py::placeholder_costs_of(a[6]);
    const std::vector<ht::SentMessage> sent = sent_messages(views, tokens, sizes, start, end);
    const ht::FiledRange filed = ht::file_range(sent.data(), sent.size(), elide, costs);
    if (filed.overflow) py::raise(PyExc_OverflowError, "token or byte counts beyond 2**63");
    return filed_result(filed, start);
}

}  // namespace

PyMethodDef removal_order_def = py::function_def<kOrderSig, removal_order>();
PyMethodDef budget_walk_def = py::function_def<kWalkSig, budget_walk>();
PyMethodDef pair_adjacent_def = py::function_def<kPairSig, pair_adjacent>();
PyMethodDef pair_anywhere_def = py::function_def<kAnywhereSig, pair_anywhere>();
PyMethodDef durable_views_def = py::function_def<kDurableSig, durable_views>();
PyMethodDef file_sent_def = py::function_def<kFileSig, file_sent>();

}  // namespace fenwa
