#include "module/host_values.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace fenwa::py {

namespace ht = host_trim;

Buffer::Buffer(PyObject* o, int flags) {
    if (PyObject_GetBuffer(o, &view_, flags) < 0) throw_error();
}

Buffer::~Buffer() {
    PyBuffer_Release(&view_);
}

namespace {

// A table fenwa_host passes as the bytes of N non-negative int64s.
template <class Table>
Table nonnegative_table(PyObject* bytes, const char* size_error, const char* sign_error) {
    if (!PyBytes_CheckExact(bytes) ||
        PyBytes_GET_SIZE(bytes) != static_cast<Py_ssize_t>(sizeof(Table)))
        raise(PyExc_ValueError, size_error);
    Table out;
    std::memcpy(out.data(), PyBytes_AS_STRING(bytes), sizeof out);
    for (std::int64_t v : out)
        if (v < 0) raise(PyExc_ValueError, sign_error);
    return out;
}

}  // namespace

ht::TokenCoefficients coefficients_of(PyObject* table) {
    return nonnegative_table<ht::TokenCoefficients>(
        table, "table must be the bytes of one int64 per feature",
        "table coefficients must not be negative");
}

ht::PlaceholderCosts placeholder_costs_of(PyObject* costs) {
    return nonnegative_table<ht::PlaceholderCosts>(
        costs, "placeholder_costs must be the bytes of 21 int64",
        "placeholder costs must not be negative");
}

ht::Framing framing_of(PyObject* framing) {
    if (!PyTuple_CheckExact(framing) || PyTuple_GET_SIZE(framing) != 4)
        raise(PyExc_ValueError, "framing must be a 4-tuple");
    ht::Framing out;
    out.per_message = convert<to_u64>(PyTuple_GET_ITEM(framing, 0));
    out.per_call = convert<to_u64>(PyTuple_GET_ITEM(framing, 1));
    out.per_result = convert<to_u64>(PyTuple_GET_ITEM(framing, 2));
    out.count_ids = convert<to_bool>(PyTuple_GET_ITEM(framing, 3));
    for (std::uint64_t f : {out.per_message, out.per_call, out.per_result})
        if (f > ht::kMostFraming) raise(PyExc_ValueError, "framing counts must be small");
    return out;
}

text::TextView str_units(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) throw_error();
#endif
    const int kind = PyUnicode_KIND(s);
    return {PyUnicode_DATA(s), static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)),
            PyUnicode_IS_ASCII(s)          ? text::Width::ascii
            : kind == PyUnicode_1BYTE_KIND ? text::Width::latin1
            : kind == PyUnicode_2BYTE_KIND ? text::Width::ucs2
                                           : text::Width::ucs4};
}

namespace {
// The ints 0..size-1, made as lists of that length were read (at most
// kIndexInts of them: 32 bytes each). The vector is never destroyed: at exit
// the ints may outlive the module, and a destructor would drop the only
// pointer to them.
constexpr Py_ssize_t kIndexInts = Py_ssize_t{1} << 17;
std::vector<PyObject*>& g_index_ints = *new std::vector<PyObject*>();
}  // namespace

PyObject* index_int(Py_ssize_t i) {
    if (i < 0 || i >= kIndexInts) return owned(PyLong_FromSsize_t(i)).release();
    const auto at = static_cast<std::size_t>(i);
    std::vector<PyObject*>& ints = g_index_ints;
    if (at >= ints.size()) {
        const std::size_t want = std::min<std::size_t>(
            std::max<std::size_t>(at + 1, 2 * ints.size()), static_cast<std::size_t>(kIndexInts));
        ints.reserve(want);
        while (ints.size() < want)
            ints.push_back(
                owned(PyLong_FromSsize_t(static_cast<Py_ssize_t>(ints.size()))).release());
    }
    return new_ref(ints[at]);
}

void clear_index_ints() noexcept {
    std::vector<PyObject*> ints;
    ints.swap(g_index_ints);
    for (PyObject* o : ints) Py_DECREF(o);
}

bool lone_surrogate(PyObject* s) {
    const text::TextView units = str_units(s);
    // One-byte units hold no surrogate.
    if (units.width == text::Width::ascii || units.width == text::Width::latin1) return false;
    return !text::utf8_length(units);
}

namespace {

std::int64_t estimate_units(PyObject* s, const ht::TokenCoefficients& table) {
    const text::TextView units = str_units(s);
    switch (units.width) {
        case text::Width::ascii:
        case text::Width::latin1:
            return ht::token_estimate(
                ht::token_features_latin1(static_cast<const std::uint8_t*>(units.data),
                                          units.length),
                table);
        case text::Width::ucs2:
            return ht::token_estimate(
                ht::token_features_ucs2(static_cast<const std::uint16_t*>(units.data),
                                        units.length),
                table);
        default:
            return ht::token_estimate(
                ht::token_features_ucs4(static_cast<const std::uint32_t*>(units.data),
                                        units.length),
                table);
    }
}

}  // namespace

std::int64_t estimate_str(PyObject* s, const Estimator& estimator) {
    if (!PyUnicode_Check(s)) type_mismatch(s, "str");
    return cached_estimate(s, estimator, estimate_units);
}

namespace {

// A caller's count, as its cache stored or returned it: an int from 0 to 2**53
// (the cache checks what the counter returns; this keeps the kernel's sums sound
// whatever the dict holds).
std::int64_t count_value(PyObject* n) {
    if (!PyLong_Check(n) || PyBool_Check(n)) raise(PyExc_TypeError, "a token count must be an int");
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
    if (v == -1 && PyErr_Occurred()) throw_error();
    if (overflow || v < 0 || v > (1LL << 53))
        raise(PyExc_ValueError, "a token count must be from 0 to 2**53");
    return static_cast<std::int64_t>(v);
}

}  // namespace

TextCounter::TextCounter(PyObject* how) {
    if (PyBytes_Check(how)) {
        estimator_ = estimator_of(how);
        return;
    }
    if (!PyTuple_CheckExact(how) || PyTuple_GET_SIZE(how) != 2 ||
        !PyDict_CheckExact(PyTuple_GET_ITEM(how, 0)) || !PyCallable_Check(PyTuple_GET_ITEM(how, 1)))
        raise(PyExc_TypeError, "a counter must be a coefficient table or a (dict, callable) pair");
    counts_ = Ref::borrow(PyTuple_GET_ITEM(how, 0));
    count_ = Ref::borrow(PyTuple_GET_ITEM(how, 1));
}

std::int64_t TextCounter::text(PyObject* s, Py_ssize_t index) const {
    if (!counts_) return estimate_str(s, estimator_);
    if (!PyUnicode_Check(s)) type_mismatch(s, "str");
    // The lookup may run a str subclass's __eq__; the counter, any code.
    Ref known =
        Ref::borrow(interpreter_call([&] { return PyDict_GetItemWithError(counts_.get(), s); }));
    if (!known) {
        if (PyErr_Occurred()) throw_error();
        Ref at = owned(PyLong_FromSsize_t(index));
        known = Ref::steal(interpreter_call(
            [&] { return PyObject_CallFunctionObjArgs(count_.get(), s, at.get(), nullptr); }));
        if (!known) throw_error();
    }
    return count_value(known.get());
}

std::uint64_t TextCounter::ids(PyObject* ids, Py_ssize_t index) const {
    std::uint64_t sum = 0;
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(ids); ++j)
        sum += static_cast<std::uint64_t>(text(PyTuple_GET_ITEM(ids, j), index));
    return sum;
}

}  // namespace fenwa::py
