// Python entry points of the token estimate (host_trim/token_estimate.hpp): one
// text, and the views of a message list with their framing.
#include "flood_report/registry.hpp"
#include "host_trim/token_estimate.hpp"
#include "module/host_values.hpp"

namespace fenwa {
namespace {

using py::Ref;
namespace ht = host_trim;
using py::coefficients_of;
using py::estimate_str;

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

// The tokens of one message view (ht::view_tokens over its estimated parts).
std::int64_t view_count(PyObject* v, const ht::TokenCoefficients& table,
                        const ht::Framing& framing) {
    if (!py::view_reaches(v, py::kViewAnswers))
        py::raise(PyExc_TypeError, "views must hold message views");
    PyObject* calls = PyTuple_GET_ITEM(v, py::kViewCalls);
    PyObject* answers = PyTuple_GET_ITEM(v, py::kViewAnswers);
    if (!PyTuple_Check(calls) || !PyTuple_Check(answers))
        py::raise(PyExc_TypeError, "view ids must be tuples");
    const std::uint64_t extra = py::convert<py::to_u64>(PyTuple_GET_ITEM(v, py::kViewExtra));
    if (extra > ht::kMostExtra) py::raise(PyExc_OverflowError, "extra tokens beyond 2**53");
    const std::int64_t text = estimate_str(PyTuple_GET_ITEM(v, py::kViewText), table);
    const std::uint64_t ids =
        framing.count_ids ? py::estimate_ids(calls, table) + py::estimate_ids(answers, table) : 0;
    return ht::view_tokens(text, extra, static_cast<std::uint64_t>(PyTuple_GET_SIZE(calls)),
                           static_cast<std::uint64_t>(PyTuple_GET_SIZE(answers)), ids, framing);
}

Ref estimate_views(const py::Bound<3>& a) {
    PyObject* views = a[0];
    if (!PyList_CheckExact(views)) py::type_mismatch(views, "list");
    const ht::TokenCoefficients table = coefficients_of(a[1]);
    const ht::Framing framing = py::framing_of(a[2]);
    const Py_ssize_t n = PyList_GET_SIZE(views);
    Ref out = py::owned(PyBytes_FromStringAndSize(nullptr, n * 8));
    auto* tokens = reinterpret_cast<std::int64_t*>(PyBytes_AS_STRING(out.get()));
    for (Py_ssize_t i = 0; i < n; ++i) {
        // A view's __index__ could change the list: its length is asked every time.
        if (i >= PyList_GET_SIZE(views)) py::raise(PyExc_ValueError, "views changed while read");
        Ref v = Ref::borrow(PyList_GET_ITEM(views, i));
        tokens[i] = view_count(v.get(), table, framing);
    }
    return out;
}

}  // namespace

PyMethodDef estimate_tokens_def = py::function_def<kEstimateSig, estimate_tokens>();
PyMethodDef token_features_def = py::function_def<kFeaturesSig, token_features>();
PyMethodDef estimate_views_def = py::function_def<kViewsSig, estimate_views>();

}  // namespace fenwa
