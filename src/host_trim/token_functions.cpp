// Python entry points of the token estimate (host_trim/token_estimate.hpp): one
// text, and the views of a message list with their framing.
#include <cstring>

#include "flood_report/registry.hpp"
#include "host_trim/token_estimate.hpp"
#include "module/boundary.hpp"

namespace fenwa {
namespace {

using py::Ref;
namespace ht = host_trim;

// The coefficient table fenwa_host.tokens passes: bytes of one int64 per feature.
ht::TokenCoefficients coefficients_of(PyObject* table) {
    if (!PyBytes_CheckExact(table) ||
        PyBytes_GET_SIZE(table) != static_cast<Py_ssize_t>(sizeof(ht::TokenCoefficients)))
        py::raise(PyExc_ValueError, "table must be the bytes of one int64 per feature");
    ht::TokenCoefficients out;
    std::memcpy(out.data(), PyBytes_AS_STRING(table), sizeof out);
    for (std::int64_t w : out)
        if (w < 0) py::raise(PyExc_ValueError, "table coefficients must not be negative");
    return out;
}

// The estimate of an exact or subclassed str, read in its own code units.
std::int64_t estimate_str(PyObject* s, const ht::TokenCoefficients& table) {
    if (!PyUnicode_Check(s)) py::type_mismatch(s, "str");
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) py::throw_error();
#endif
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    const void* data = PyUnicode_DATA(s);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND:
            return ht::token_estimate(
                ht::token_features_latin1(static_cast<const std::uint8_t*>(data), n), table);
        case PyUnicode_2BYTE_KIND:
            return ht::token_estimate(
                ht::token_features_ucs2(static_cast<const std::uint16_t*>(data), n), table);
        default:
            return ht::token_estimate(
                ht::token_features_ucs4(static_cast<const std::uint32_t*>(data), n), table);
    }
}

constexpr auto kEstimateSig =
    py::function_decl("estimate_tokens", {{"text"}, {"table"}},
                      "The token estimate of text by a coefficient table. Private to fenwa_host.");

Ref estimate_tokens(const py::Bound<2>& a) {
    const ht::TokenCoefficients table = coefficients_of(a[1]);
    return py::owned(PyLong_FromLongLong(estimate_str(a[0], table)));
}

constexpr auto kFeaturesSig =
    py::function_decl("token_features", {{"text"}},
                      "The estimate's feature counts of text, a tuple. Private to fenwa_host.");

Ref token_features(const py::Bound<1>& a) {
    PyObject* s = a[0];
    if (!PyUnicode_Check(s)) py::type_mismatch(s, "str");
    // Through UTF-8, the route the native tests take, so that both readings of a
    // text are compared against the same reference.
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(s, &size);
    if (!utf8) py::throw_error();
    const ht::TokenFeatures f = ht::token_features_utf8(
        reinterpret_cast<const unsigned char*>(utf8), static_cast<std::size_t>(size));
    Ref out = py::owned(PyTuple_New(static_cast<Py_ssize_t>(f.size())));
    for (std::size_t k = 0; k < f.size(); ++k)
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k),
                         py::owned(PyLong_FromUnsignedLongLong(f[k])).release());
    return out;
}

constexpr auto kViewsSig = py::function_decl(
    "estimate_views", {{"views"}, {"table"}, {"framing"}},
    "Per view, as int64 bytes: the estimate of its text, its extra tokens, and its\n"
    "framing (per message, per call, per result, ids). Private to fenwa_host.");

// framing = (per_message, per_call, per_result, count_ids)
Ref estimate_views(const py::Bound<3>& a) {
    PyObject* views = a[0];
    if (!PyList_CheckExact(views)) py::type_mismatch(views, "list");
    const ht::TokenCoefficients table = coefficients_of(a[1]);
    PyObject* framing = a[2];
    if (!PyTuple_CheckExact(framing) || PyTuple_GET_SIZE(framing) != 4)
        py::raise(PyExc_ValueError, "framing must be a 4-tuple");
    std::uint64_t frame[3];
    for (Py_ssize_t k = 0; k < 3; ++k)
        frame[k] = py::convert<py::to_u64>(PyTuple_GET_ITEM(framing, k));
    const bool ids = py::convert<py::to_bool>(PyTuple_GET_ITEM(framing, 3));
    for (std::uint64_t f : frame)
        if (f > (1u << 20)) py::raise(PyExc_ValueError, "framing counts must be small");
    const Py_ssize_t n = PyList_GET_SIZE(views);
    Ref out = py::owned(PyBytes_FromStringAndSize(nullptr, n * 8));
    auto* tokens = reinterpret_cast<std::int64_t*>(PyBytes_AS_STRING(out.get()));
    for (Py_ssize_t i = 0; i < n; ++i) {
        // A view's __index__ could change the list: its length is asked every time.
        if (i >= PyList_GET_SIZE(views)) py::raise(PyExc_ValueError, "views changed while read");
        Ref v = Ref::borrow(PyList_GET_ITEM(views, i));
        if (!PyTuple_Check(v.get()) || PyTuple_GET_SIZE(v.get()) < 7)
            py::raise(PyExc_TypeError, "views must hold message views");
        PyObject* calls = PyTuple_GET_ITEM(v.get(), 5);
        PyObject* answers = PyTuple_GET_ITEM(v.get(), 6);
        if (!PyTuple_Check(calls) || !PyTuple_Check(answers))
            py::raise(PyExc_TypeError, "view ids must be tuples");
        const std::uint64_t extra = py::convert<py::to_u64>(PyTuple_GET_ITEM(v.get(), 4));
        std::int64_t sum = estimate_str(PyTuple_GET_ITEM(v.get(), 3), table);
        const auto n_calls = static_cast<std::uint64_t>(PyTuple_GET_SIZE(calls));
        const auto n_answers = static_cast<std::uint64_t>(PyTuple_GET_SIZE(answers));
        if (extra > (std::uint64_t{1} << 53))
            py::raise(PyExc_OverflowError, "extra tokens beyond 2**53");
        std::uint64_t framed = frame[0] + frame[1] * n_calls + frame[2] * n_answers + extra;
        if (ids) {
            for (PyObject* group : {calls, answers})
                for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(group); ++j)
                    framed +=
                        static_cast<std::uint64_t>(estimate_str(PyTuple_GET_ITEM(group, j), table));
        }
        const auto room = static_cast<std::uint64_t>(INT64_MAX - sum);
        tokens[i] = framed > room ? INT64_MAX : sum + static_cast<std::int64_t>(framed);
    }
    return out;
}

}  // namespace

PyMethodDef estimate_tokens_def = py::function_def<kEstimateSig, estimate_tokens>();
PyMethodDef token_features_def = py::function_def<kFeaturesSig, token_features>();
PyMethodDef estimate_views_def = py::function_def<kViewsSig, estimate_views>();

}  // namespace fenwa
