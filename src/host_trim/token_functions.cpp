// Python entry points of the token estimate (host_trim/token_estimate.hpp): one
// text, and the views of a message list with their framing.
#include "flood_report/registry.hpp"
#include "host_trim/token_estimate.hpp"
#include "module/host_values.hpp"

namespace fenwa {
namespace {

using py::Ref;
namespace ht = host_trim;
using py::estimate_str;

constexpr auto kEstimateSig =
    py::function_decl("estimate_tokens", {{"text"}, {"table"}},
                      "The token estimate of text by a coefficient table. Private to fenwa_host.");

Ref estimate_tokens(const py::Bound<2>& a) {
    const py::Estimator table = py::estimator_of(a[1]);
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
    "estimate_views", {{"views"}, {"table"}, {"framing"}, {"start"}},
    "Per view, as int64 bytes: the count of its text (by a coefficient table, or a\n"
    "caller's (counts, count) pair), its extra tokens, and its framing (per message,\n"
    "per call, per result, ids). A caller's counter is told start + the view's index.\n"
    "Private to fenwa_host.");

// The tokens of one message view (ht::view_tokens over its estimated parts).
std::int64_t view_count(PyObject* v, Py_ssize_t index, const py::TextCounter& counter,
                        const ht::Framing& framing) {
    if (!py::view_reaches(v, py::kViewAnswers))
        py::raise(PyExc_TypeError, "views must hold message views");
    PyObject* calls = PyTuple_GET_ITEM(v, py::kViewCalls);
    PyObject* answers = PyTuple_GET_ITEM(v, py::kViewAnswers);
    if (!PyTuple_Check(calls) || !PyTuple_Check(answers))
        py::raise(PyExc_TypeError, "view ids must be tuples");
    const std::uint64_t extra = py::convert<py::to_u64>(PyTuple_GET_ITEM(v, py::kViewExtra));
    if (extra > ht::kMostExtra) py::raise(PyExc_OverflowError, "extra tokens beyond 2**53");
    const std::int64_t text = counter.text(PyTuple_GET_ITEM(v, py::kViewText), index);
    std::uint64_t ids = 0;
    if (framing.count_ids) {
        ids = counter.ids(calls, index);
        ids += counter.ids(answers, index);
    }
    return ht::view_tokens(text, extra, static_cast<std::uint64_t>(PyTuple_GET_SIZE(calls)),
                           static_cast<std::uint64_t>(PyTuple_GET_SIZE(answers)), ids, framing);
}

Ref estimate_views(const py::Bound<4>& a) {
    PyObject* views = a[0];
    if (!PyList_CheckExact(views)) py::type_mismatch(views, "list");
    const py::TextCounter counter(a[1]);
    const ht::Framing framing = py::framing_of(a[2]);
    const std::uint64_t start = a.get<py::to_u64>(3);
    if (start > static_cast<std::uint64_t>(PY_SSIZE_T_MAX / 2))
        py::raise(PyExc_OverflowError, "start is too large");
    const Py_ssize_t n = PyList_GET_SIZE(views);
    Ref out = py::owned(PyBytes_FromStringAndSize(nullptr, n * 8));
    auto* tokens = reinterpret_cast<std::int64_t*>(PyBytes_AS_STRING(out.get()));
    for (Py_ssize_t i = 0; i < n; ++i) {
        // A view's __index__ could change the list: its length is asked every time.
        if (i >= PyList_GET_SIZE(views)) py::raise(PyExc_ValueError, "views changed while read");
        Ref v = Ref::borrow(PyList_GET_ITEM(views, i));
        tokens[i] = view_count(v.get(), static_cast<Py_ssize_t>(start) + i, counter, framing);
    }
    return out;
}

constexpr auto kCacheSig = py::function_decl(
    "estimate_cache", {{"clear"}},
    "The estimate cache's (entries, bytes of text held); with clear true, emptied\n"
    "first. Private to fenwa_host.");

Ref estimate_cache(const py::Bound<1>& a) {
    if (a.get<py::to_bool>(0)) py::clear_estimate_cache();
    const py::EstimateCacheStats stats = py::estimate_cache_stats();
    return py::owned(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(stats.entries),
                                   static_cast<Py_ssize_t>(stats.bytes)));
}

}  // namespace

PyMethodDef estimate_cache_def = py::function_def<kCacheSig, estimate_cache>();
PyMethodDef estimate_tokens_def = py::function_def<kEstimateSig, estimate_tokens>();
PyMethodDef token_features_def = py::function_def<kFeaturesSig, token_features>();
PyMethodDef estimate_views_def = py::function_def<kViewsSig, estimate_views>();

}  // namespace fenwa
