// Conversions that the entry points of fenwa_host._native share: buffers of the
// arrays fenwa_host passes, its coefficient and placeholder-cost tables, a
// format's framing, and the code units of a str as the kernels read them.
#pragma once

#include <cstdint>

#include "host_trim/token_estimate.hpp"
#include "host_trim/trim_walk.hpp"
#include "host_trim/view_tokens.hpp"
#include "module/boundary.hpp"
#include "module/estimate_cache.hpp"

namespace fenwa::py {

// The fields of fenwa_host's MessageView, in order. The entry points read views
// by these slots; read_messages checks MessageView's _fields against the names.
enum ViewSlot : Py_ssize_t {
    kViewPosition,
    kViewRole,
    kViewBits,
    kViewText,
    kViewExtra,
    kViewCalls,
    kViewAnswers,
    kViewThinking,
    kViewSlots,
};
inline constexpr const char* kViewFieldNames[kViewSlots] = {
    "position", "role", "bits", "text", "extra_tokens", "calls", "answers", "thinking"};

// Whether `v` is a tuple that reaches `slot` (a view the Python side built).
inline bool view_reaches(PyObject* v, ViewSlot slot) {
    return PyTuple_Check(v) && PyTuple_GET_SIZE(v) > slot;
}

// A new reference to `o` (Py_NewRef arrived in 3.10).
inline PyObject* new_ref(PyObject* o) {
    Py_INCREF(o);
    return o;
}

// A buffer of a Python object, released with its scope.
class Buffer {
  public:
    Buffer(PyObject* o, int flags);
    ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    // The buffer as `count` items of T; ValueError(`what`) when it is not.
    template <class T>
    T* as(std::size_t count, const char* what) const {
        if (view_.len < 0 || static_cast<std::size_t>(view_.len) != count * sizeof(T) ||
            (view_.itemsize != 1 && view_.itemsize != static_cast<Py_ssize_t>(sizeof(T)))) {
            raise(PyExc_ValueError, what);
        }
        return static_cast<T*>(view_.buf);
    }
    std::size_t bytes() const { return static_cast<std::size_t>(view_.len); }

  private:
    Py_buffer view_{};
};

// The coefficient table fenwa_host.tokens passes: the bytes of one int64 per
// feature, none negative.
host_trim::TokenCoefficients coefficients_of(PyObject* table);

// The placeholder costs fenwa_host.tokens passes: the bytes of 21 int64.
host_trim::PlaceholderCosts placeholder_costs_of(PyObject* costs);

// A Framing.native() tuple: (per_message, per_call, per_result, count_ids).
host_trim::Framing framing_of(PyObject* framing);

// The code units of a str (exact or a subclass), ready to read.
text::TextView str_units(PyObject* s);

// A new reference to the int `i`. Views and pairings hold a
// message's index; the ints of the indices a list has had are kept, so that
// reading the same history again allocates none. GIL held.
PyObject* index_int(Py_ssize_t i);

// Lets go of the kept ints.
void clear_index_ints() noexcept;

// Whether a str holds a lone surrogate (its UTF-8 form would not encode).
bool lone_surrogate(PyObject* s);

// The token estimate of a str by a table, read in its own code units (a long
// text's from the estimate cache when it holds it).
std::int64_t estimate_str(PyObject* s, const Estimator& estimator);

// How fenwa_host counts a text: the estimate of a coefficient table (the bytes
// fenwa_host.tokens passes), or a caller's counter through its cache, passed as
// (counts, count): the dict of the counts known so far, keyed by the text, and
// the callable count(text, index) that counts (and checks, and files) the rest.
class TextCounter {
  public:
    explicit TextCounter(PyObject* how);
    TextCounter(const TextCounter&) = delete;
    TextCounter& operator=(const TextCounter&) = delete;

    // The tokens of str `s`, for message `index` (named in a counter's errors).
    std::int64_t text(PyObject* s, Py_ssize_t index) const;
    // The sum over a tuple of ids (each must be a str).
    std::uint64_t ids(PyObject* ids, Py_ssize_t index) const;

  private:
    Estimator estimator_;
    Ref counts_, count_;  // both null for the estimate
};

}  // namespace fenwa::py
