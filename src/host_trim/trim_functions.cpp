// Python entry points behind fenwa_host.trim's hot loops: the removal order, the
// budget walk, pairing, pins and the filing of sent messages (the readers are in
// read_functions.cpp).
#include <cstring>
#include <vector>

#include "flood_report/registry.hpp"
#include "host_trim/trim_walk.hpp"
#include "module/boundary.hpp"

namespace fenwa {
namespace {

using py::Ref;
namespace ht = host_trim;

// A new reference to `o` (Py_NewRef arrived in 3.10).
PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
}

// `o`, which must be an exact list (the views the Python side built).
PyObject* exact_list(PyObject* o) {
    if (!PyList_CheckExact(o)) py::type_mismatch(o, "list");
    return o;
}

// A buffer of a Python object, released with its scope.
class Buffer {
  public:
    Buffer(PyObject* o, int flags) {
        if (PyObject_GetBuffer(o, &view_, flags) < 0) py::throw_error();
        held_ = true;
    }
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    template <class T>
    T* as(std::size_t count, const char* what) const {
        if (view_.len < 0 || static_cast<std::size_t>(view_.len) != count * sizeof(T) ||
            (view_.itemsize != 1 && view_.itemsize != static_cast<Py_ssize_t>(sizeof(T)))) {
            py::raise(PyExc_ValueError, what);
        }
        return static_cast<T*>(view_.buf);
    }
    std::size_t bytes() const { return static_cast<std::size_t>(view_.len); }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

// --- the removal order --------------------------------------------------------------

constexpr auto kOrderSig = py::function_decl(
    "removal_order", {{"views"}, {"pinned"}, {"half_life"}},
    "The unpinned indices in removal order, as uint32 bytes. Private to fenwa_host.");

Ref removal_order(const py::Bound<3>& a) {
    Buffer pinned(a[1], PyBUF_SIMPLE);
    const std::size_t n = pinned.bytes();
    const double half_life = a.get<py::to_f64>(2);
    std::vector<std::uint32_t> bits(n);
    PyObject* list = a[0];
    if (!PyList_CheckExact(list) || static_cast<std::size_t>(PyList_GET_SIZE(list)) != n)
        py::raise(PyExc_ValueError, "views must be a list as long as pinned");
    // The class bits are item 2 of every view.
    for (std::size_t i = 0; i < n; ++i) {
        // An int's __index__ could change the list: its length is asked every time.
        if (static_cast<std::size_t>(PyList_GET_SIZE(list)) != n)
            py::raise(PyExc_ValueError, "views must be a list as long as pinned");
        Ref v = Ref::borrow(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i)));
        if (!PyTuple_Check(v.get()) || PyTuple_GET_SIZE(v.get()) < 3)
            py::raise(PyExc_TypeError, "views must hold message views");
        bits[i] = py::convert<py::to_u32>(PyTuple_GET_ITEM(v.get(), 2));
    }
    const std::uint8_t* p = pinned.as<std::uint8_t>(n, "pinned must hold one byte per view");
    std::vector<std::uint32_t> order = ht::removal_order(bits.data(), p, n, half_life);
    return py::owned(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(order.data()),
                                               static_cast<Py_ssize_t>(order.size() * 4)));
}

// --- the walk -----------------------------------------------------------------------

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
                       {"reason_texts"}},
                      "Removes candidates until the total fits. Private to fenwa_host.");

Ref budget_walk(const py::Bound<11>& a) {
    Buffer candidates(a[0], PyBUF_SIMPLE);
    const std::uint64_t position = a.get<py::to_u64>(1);
    const std::uint64_t max_tokens = a.get<py::to_u64>(2);
    const std::uint64_t total = a.get<py::to_u64>(3);
    Buffer action(a[4], PyBUF_WRITABLE);
    Buffer current(a[5], PyBUF_WRITABLE | PyBUF_FORMAT);
    Buffer tokens(a[6], PyBUF_FORMAT);
    Buffer shape(a[7], PyBUF_SIMPLE);
    const bool inline_results = a.get<py::to_bool>(8);
    PyObject* reasons = a[9];
    PyObject* texts = a[10];
    const std::size_t n = action.bytes();
    if (!PyList_CheckExact(reasons) || static_cast<std::size_t>(PyList_GET_SIZE(reasons)) != n)
        py::raise(PyExc_ValueError, "reasons must be a list with one item per message");
    if (!PyTuple_CheckExact(texts) || PyTuple_GET_SIZE(texts) != 2)
        py::raise(PyExc_ValueError, "reason_texts must be a pair of str");
    if (max_tokens > INT64_MAX || total > INT64_MAX)
        py::raise(PyExc_OverflowError, "token counts beyond 2**63");
    ht::WalkState state{action.as<std::uint8_t>(n, "action must hold one byte per message"),
                        current.as<std::int64_t>(n, "current must hold one int64 per message"),
                        tokens.as<std::int64_t>(n, "tokens must hold one int64 per message"),
                        shape.as<std::uint8_t>(n, "shape must hold one byte per message"),
                        n,
                        static_cast<std::int64_t>(total),
                        inline_results};
    const std::size_t count = candidates.bytes() / sizeof(std::uint32_t);
    const auto* order = candidates.as<std::uint32_t>(count, "candidates must be uint32 indices");
    std::vector<ht::Change> changes;
    std::vector<std::uint32_t> elided;
    const ht::WalkStop stop = ht::walk(state, order, count, position,
                                       static_cast<std::int64_t>(max_tokens), changes, elided);
    for (const ht::Change& c : changes) {
        PyObject* text = PyTuple_GET_ITEM(texts, c.reason == ht::kCallLeft ? 1 : 0);
        // The slot's old reason is released only after the new one is stored.
        PyObject* old = PyList_GET_ITEM(reasons, c.index);
        PyList_SET_ITEM(reasons, c.index, new_ref(text));
        Py_DECREF(old);
    }
    Ref pending = py::owned(PyList_New(static_cast<Py_ssize_t>(elided.size())));
    for (std::size_t k = 0; k < elided.size(); ++k)
        PyList_SET_ITEM(pending.get(), static_cast<Py_ssize_t>(k),
                        py::owned(PyLong_FromUnsignedLong(elided[k])).release());
    Ref out = py::owned(PyTuple_New(4));
    PyTuple_SET_ITEM(out.get(), 0, py::owned(PyLong_FromSize_t(stop.position)).release());
    PyTuple_SET_ITEM(out.get(), 1, py::owned(PyLong_FromLongLong(state.total)).release());
    PyTuple_SET_ITEM(out.get(), 2, new_ref(stop.needs_caller ? Py_True : Py_False));
    PyTuple_SET_ITEM(out.get(), 3, pending.release());
    return out;
}

// --- pairing of results with the calls right before them ----------------------------

// The ids a view holds at `slot` (5: calls, 6: answers), a tuple.
PyObject* view_ids(PyObject* v, Py_ssize_t slot) {
    PyObject* ids = PyTuple_GET_ITEM(v, slot);
    if (!PyTuple_Check(ids)) py::raise(PyExc_TypeError, "view ids must be tuples");
    return ids;
}

[[noreturn]] void pairing_error(const char* format, Py_ssize_t index, PyObject* cid) {
    PyErr_Format(PyExc_ValueError, format, index, cid);
    py::throw_error();
}

constexpr auto kPairSig = py::function_decl(
    "pair_adjacent", {{"views"}, {"offset"}},
    "(owner, results) of views whose tool results follow their call directly; raises\n"
    "ValueError naming the message and the rule broken. Private to fenwa_host.");

// Who makes each call and which messages answer it, for formats whose results
// directly follow the message that made the calls. Every answered id must be a
// call of the nearest earlier message that made calls, with only results
// between them; every call must be answered before the next message that is
// not a result.
Ref pair_adjacent(const py::Bound<2>& a) {
    PyObject* const views = exact_list(a[0]);
    const std::uint64_t offset = a.get<py::to_u64>(1);
    Ref owner = py::owned(PyDict_New());
    Ref results = py::owned(PyDict_New());
    Ref pending = py::owned(PyDict_New());  // insertion-ordered: the oldest open call first
    Py_ssize_t open_owner = -1;
    Ref open_index;  // open_owner as an int, for the comparisons
    // Message `i` arrives while a call is still pending: that call has no result.
    auto require_answered = [&](Py_ssize_t i) {
        if (!PyDict_GET_SIZE(pending.get())) return;
        Py_ssize_t pos = 0;
        PyObject *cid, *unused;
        PyDict_Next(pending.get(), &pos, &cid, &unused);
        PyErr_Format(PyExc_ValueError,
                     "message %zd: tool call %R has no result before message %zd "
                     "(call without its result)",
                     open_owner, cid, i);
        py::throw_error();
    };
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(views); ++k) {
        const Py_ssize_t i = static_cast<Py_ssize_t>(offset) + k;
        Ref v = Ref::borrow(PyList_GET_ITEM(views, k));
        if (!PyTuple_Check(v.get()) || PyTuple_GET_SIZE(v.get()) < 7)
            py::raise(PyExc_TypeError, "views must hold message views");
        PyObject* calls = view_ids(v.get(), 5);
        PyObject* answers = view_ids(v.get(), 6);
        if (!PyTuple_GET_SIZE(answers) && !PyTuple_GET_SIZE(calls)) {
            // A message that neither calls nor answers closes the open call.
            require_answered(i);
            open_owner = -1;
            continue;
        }
        // The view's own position is this index wherever the views came from one
        // list (always, from the adapters): it serves as the dict value as it is.
        PyObject* position = PyTuple_GET_ITEM(v.get(), 0);
        Py_ssize_t at = -1;
        if (PyLong_CheckExact(position)) {
            at = PyLong_AsSsize_t(position);
            if (at == -1 && PyErr_Occurred()) PyErr_Clear();  // too large: not this index
        }
        Ref index = at == i ? Ref::borrow(position) : py::owned(PyLong_FromSsize_t(i));
        if (PyTuple_GET_SIZE(answers)) {
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(answers); ++j) {
                PyObject* cid = PyTuple_GET_ITEM(answers, j);
                bool matches = false;
                if (open_owner >= 0) {
                    PyObject* o = PyDict_GetItemWithError(owner.get(), cid);
                    if (!o && PyErr_Occurred()) py::throw_error();
                    if (o) {
                        const int eq = PyObject_RichCompareBool(o, open_index.get(), Py_EQ);
                        if (eq < 0) py::throw_error();
                        matches = eq == 1;
                    }
                }
                if (!matches)
                    pairing_error(
                        "message %zd: tool result for call %R does not answer a call "
                        "of the message right before it (orphan tool result)",
                        i, cid);
                const int open = PyDict_Contains(pending.get(), cid);
                if (open < 0) py::throw_error();
                if (!open)
                    pairing_error("message %zd: call %R is answered twice (orphan tool result)", i,
                                  cid);
                if (PyDict_DelItem(pending.get(), cid) < 0) py::throw_error();
                PyObject* carriers = PyDict_GetItemWithError(results.get(), cid);
                if (!carriers) {
                    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, cid);
                    py::throw_error();
                }
                if (PyList_Append(carriers, index.get()) < 0) py::throw_error();
            }
            if (!PyTuple_GET_SIZE(calls)) continue;
        }
        require_answered(i);
        open_owner = -1;
        if (PyTuple_GET_SIZE(calls)) {
            open_owner = i;
            open_index = Ref::borrow(index.get());
            for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(calls); ++j) {
                PyObject* cid = PyTuple_GET_ITEM(calls, j);
                const int used = PyDict_Contains(owner.get(), cid);
                if (used < 0) py::throw_error();
                if (used) pairing_error("message %zd: tool call id %R is used twice", i, cid);
                Ref carriers = py::owned(PyList_New(0));
                if (PyDict_SetItem(owner.get(), cid, index.get()) < 0 ||
                    PyDict_SetItem(results.get(), cid, carriers.get()) < 0 ||
                    PyDict_SetItem(pending.get(), cid, Py_None) < 0)
                    py::throw_error();
            }
        }
    }
    if (PyDict_GET_SIZE(pending.get())) {
        Py_ssize_t pos = 0;
        PyObject *cid, *unused;
        PyDict_Next(pending.get(), &pos, &cid, &unused);
        pairing_error("message %zd: tool call %R has no result (call without its result)",
                      open_owner, cid);
    }
    Ref out = py::owned(PyTuple_New(2));
    PyTuple_SET_ITEM(out.get(), 0, owner.release());
    PyTuple_SET_ITEM(out.get(), 1, results.release());
    return out;
}

// --- pins -----------------------------------------------------------------------

constexpr auto kDurableSig = py::function_decl(
    "durable_views", {{"views"}, {"mask"}, {"role"}},
    "Indices of the views whose bits meet mask or whose role is role. Private to\n"
    "fenwa_host.");

// The indices of the views whose class bits meet `mask` or whose role is `role`.
Ref durable_views(const py::Bound<3>& a) {
    PyObject* const views = exact_list(a[0]);
    const std::uint32_t mask = a.get<py::to_u32>(1);
    Ref out = py::owned(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(views); ++i) {
        Ref v = Ref::borrow(PyList_GET_ITEM(views, i));
        if (!PyTuple_Check(v.get()) || PyTuple_GET_SIZE(v.get()) < 3)
            py::raise(PyExc_TypeError, "views must hold message views");
        bool hit = (py::convert<py::to_u32>(PyTuple_GET_ITEM(v.get(), 2)) & mask) != 0;
        if (!hit) {
            const int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(v.get(), 1), a[2], Py_EQ);
            if (eq < 0) py::throw_error();
            hit = eq == 1;
        }
        if (hit) {
            Ref index = py::owned(PyLong_FromSsize_t(i));
            if (PyList_Append(out.get(), index.get()) < 0) py::throw_error();
        }
    }
    return out;
}

// --- the cached prefix's decay tables ----------------------------------------------

constexpr auto kFileSig = py::function_decl(
    "file_sent", {{"views"}, {"tokens"}, {"sizes"}, {"start"}, {"end"}, {"elide"}},
    "Token and byte sums of the views from start to end and, per decay class, the\n"
    "(position, saving) pairs of those a purge would shorten. Private to fenwa_host.");

// A new tuple of the given objects; it takes their references once it exists.
template <class... Refs>
Ref tuple_of(Refs&... items) {
    Ref out = py::owned(PyTuple_New(sizeof...(items)));
    Py_ssize_t k = 0;
    (PyTuple_SET_ITEM(out.get(), k++, items.release()), ...);
    return out;
}

// The messages views[start:end] join the cached prefix: their token and byte sums,
// and the (position, saving) pairs filed per decay class (host_trim::file_sent).
Ref file_sent(const py::Bound<6>& a) {
    PyObject* const views = exact_list(a[0]);
    PyObject* const tokens = exact_list(a[1]);
    PyObject* const sizes = exact_list(a[2]);
    const std::uint64_t start = a.get<py::to_u64>(3);
    const std::uint64_t end = a.get<py::to_u64>(4);
    const bool elide = a.get<py::to_bool>(5);
    Ref parts[4] = {py::owned(PyList_New(0)), py::owned(PyList_New(0)), py::owned(PyList_New(0)),
                    py::owned(PyList_New(0))};
    std::uint64_t token_sum = 0;
    std::uint64_t byte_sum = 0;
    for (std::uint64_t i = start; i < end; ++i) {
        // The lengths are asked every time: an int's __index__ could change a list.
        const auto at = static_cast<Py_ssize_t>(i);
        if (i > PY_SSIZE_T_MAX || at >= PyList_GET_SIZE(views) || at >= PyList_GET_SIZE(tokens) ||
            at >= PyList_GET_SIZE(sizes))
            py::raise(PyExc_ValueError, "start and end must lie within views, tokens and sizes");
        Ref v = Ref::borrow(PyList_GET_ITEM(views, at));
        Ref t = Ref::borrow(PyList_GET_ITEM(tokens, at));
        Ref b = Ref::borrow(PyList_GET_ITEM(sizes, at));
        if (!PyTuple_Check(v.get()) || PyTuple_GET_SIZE(v.get()) < 7 ||
            !PyTuple_Check(PyTuple_GET_ITEM(v.get(), 6)))
            py::raise(PyExc_TypeError, "views must hold message views");
        const std::uint64_t n_tokens = py::convert<py::to_u64>(t.get());
        const std::uint64_t n_bytes = py::convert<py::to_u64>(b.get());
        const std::uint32_t bits = py::convert<py::to_u32>(PyTuple_GET_ITEM(v.get(), 2));
        if (n_tokens > INT64_MAX || n_bytes > INT64_MAX || token_sum + n_tokens > INT64_MAX ||
            byte_sum + n_bytes > INT64_MAX)
            py::raise(PyExc_OverflowError, "token or byte counts beyond 2**63");
        token_sum += n_tokens;
        byte_sum += n_bytes;
        PyObject* role = PyTuple_GET_ITEM(v.get(), 1);
        const bool system =
            PyUnicode_Check(role) && PyUnicode_CompareWithASCIIString(role, "system") == 0;
        const auto answers =
            static_cast<std::uint64_t>(PyTuple_GET_SIZE(PyTuple_GET_ITEM(v.get(), 6)));
        const ht::Filing filing =
            ht::file_sent(bits, system, answers, static_cast<std::int64_t>(n_tokens),
                          static_cast<std::int64_t>(n_bytes), elide);
        if (filing.decay_class < 0 || filing.saving <= 0) continue;
        Ref position = py::owned(PyLong_FromSsize_t(at));
        Ref saving = py::owned(PyLong_FromLongLong(filing.saving));
        Ref pair = tuple_of(position, saving);
        if (PyList_Append(parts[filing.decay_class].get(), pair.get()) < 0) py::throw_error();
    }
    Ref classes = py::owned(PyList_New(4));
    for (Py_ssize_t k = 0; k < 4; ++k) PyList_SET_ITEM(classes.get(), k, parts[k].release());
    Ref token_total = py::owned(PyLong_FromUnsignedLongLong(token_sum));
    Ref byte_total = py::owned(PyLong_FromUnsignedLongLong(byte_sum));
    return tuple_of(token_total, byte_total, classes);
}

}  // namespace

PyMethodDef removal_order_def = py::function_def<kOrderSig, removal_order>();
PyMethodDef budget_walk_def = py::function_def<kWalkSig, budget_walk>();
PyMethodDef pair_adjacent_def = py::function_def<kPairSig, pair_adjacent>();
PyMethodDef durable_views_def = py::function_def<kDurableSig, durable_views>();
PyMethodDef file_sent_def = py::function_def<kFileSig, file_sent>();

}  // namespace fenwa
