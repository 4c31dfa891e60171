// The call boundary: the one toolkit every Python entry point of the module goes
// through. Binding of vectorcall arguments, conversions with their fixed messages,
// borrow claims, release of the interpreter lock, result building, and the guard
// that turns C++ exceptions into Python ones.
//
// Inside an entry point a failure is reported by setting a Python exception and
// throwing `ErrorAlreadySet`; the entry wrappers at the bottom of this file catch
// it (and every other C++ exception) so that nothing ever unwinds into the
// interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "context_apoptosis/native_text.hpp"
#include "module/claim.hpp"
#include "module/declaration.hpp"

namespace fenwa::py {

// ---------------------------------------------------------------------------
// Errors

// A Python exception is set; unwind to the entry wrapper, which returns NULL.
struct ErrorAlreadySet {};

[[noreturn]] inline void throw_error() {
    throw ErrorAlreadySet{};
}

// Sets `exc` with `msg` and throws.
[[noreturn]] void raise(PyObject* exc, const char* msg);

// The lazily created PanicException type (nullptr with an error set on failure).
PyObject* panic_type();
// Sets PanicException(msg) as the current exception.
void set_panic(const char* msg);

// "'{type}' object is not an instance of '{target}'" (the None form for None).
[[noreturn]] void type_mismatch(PyObject* obj, const char* target);
// The same error, set without throwing.
void set_type_mismatch(PyObject* obj, const char* target) noexcept;

// Attaches "while processing '{param}'" to the pending exception, if it has add_note.
void add_note(const char* param) noexcept;

// Maps the exception currently being handled to a Python exception. Must be
// called from inside a catch block.
void translate_current_exception() noexcept;

// ---------------------------------------------------------------------------
// Interpreter exit

// Takes the interpreter lock back for `state`. A daemon thread that asks for it
// while the interpreter finalizes never gets it: the interpreter ends such a
// thread with pthread_exit, whose forced unwinding would have to pass through
// this noexcept destructor (std::terminate) and then through frames that own
// Python references (released without the lock). Instead the thread is parked
// here for good, holding nothing, until the process exits.
void reacquire_gil(PyThreadState* state) noexcept;

// Lets reacquire_gil know when the main interpreter starts to exit (registers an
// exit callback once per process).
void watch_interpreter_exit();

// The modules keep their class objects, exception class and interned keys once
// per process, so they run in the main interpreter only. Raises ImportError in
// any other: the isolated interpreters of 3.12 and later refuse the import
// already through the module's Py_mod_multiple_interpreters slot (below), the
// legacy ones, which share the main interpreter's lock, get here.
void require_main_interpreter(const char* module_name);

// Blocks the calling thread until the process ends.
[[noreturn]] void park_thread() noexcept;

// A forced unwinding (the interpreter ending a daemon thread at exit while it runs
// Python code called from inside an entry point) must neither be swallowed by
// the catch-all nor reach the noexcept boundary: either ends in std::terminate.
// The thread is parked instead, as at the lock re-acquisition.
//
// libstdc++ hands the unwinding to catch clauses as abi::__forced_unwind, which
// is caught by type. libc++abi runs only cleanups during a forced unwinding (its
// catch clauses, the catch-all and the noexcept boundary included, are passed
// over), so there the parking is a destructor: `UnwindPark` parks the thread
// when its frame is left neither by a return nor by a C++ exception (which, unlike
// the foreign unwinding, counts in std::uncaught_exceptions).
#if defined(__GLIBCXX__)
#define FENWA_PARK_ON_FORCED_UNWIND \
    catch (abi::__forced_unwind&) { \
        park_thread();              \
    }
#else
#define FENWA_PARK_ON_FORCED_UNWIND
#endif

#if defined(_LIBCPP_VERSION) && !defined(_WIN32) && !defined(__GLIBCXX__)
#define FENWA_PARK_BY_CLEANUP 1
#else
#define FENWA_PARK_BY_CLEANUP 0
#endif

class UnwindPark {
  public:
    UnwindPark() noexcept : in_flight_(std::uncaught_exceptions()) {}
    UnwindPark(const UnwindPark&) = delete;
    UnwindPark& operator=(const UnwindPark&) = delete;
    ~UnwindPark() {
        if (armed_ && std::uncaught_exceptions() == in_flight_) park_thread();
    }
    void disarm() noexcept { armed_ = false; }

  private:
    int in_flight_;
    bool armed_ = true;
};

namespace detail {
// Not noexcept, so that the compiler keeps the cleanup that runs the parking
// destructor (a noexcept frame may go straight to std::terminate).
template <class Call>
decltype(auto) call_parked_on_unwind(Call& call) {
    UnwindPark park;
    if constexpr (std::is_void_v<decltype(call())>) {
        call();
        park.disarm();
    } else {
        decltype(auto) result = call();
        park.disarm();
        return result;
    }
}
}  // namespace detail

// Runs `call`, a call into the interpreter that may run Python code (`__index__`,
// `__float__`, `__len__`, `__iter__`, a hook), from code that must not pass a
// forced unwinding on: the thread is parked as above.
template <class Call>
decltype(auto) interpreter_call(Call&& call) noexcept {
#if defined(__GLIBCXX__)
    try {
        return call();
    }
    FENWA_PARK_ON_FORCED_UNWIND
#elif FENWA_PARK_BY_CLEANUP
    return detail::call_parked_on_unwind(call);
#else
    return call();
#endif
}

// Makes the C++ runtime's per-thread exception state for the calling thread
// (through a call the compiler cannot drop), so that a first throw on it needs no
// allocation. Where the runtime is linked into the module (glibc builds), that
// state lives in the static thread-local area every thread gets when it is
// created, and this only confirms it.
void prepare_thread_for_errors() noexcept;

// ---------------------------------------------------------------------------
// Owning references

class Ref {
  public:
    Ref() noexcept = default;
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A freshly created result object. NULL means the interpreter could not build it:
// the pending error goes to the unraisable hook and the call fails with
// PanicException("PyObject pointer is null").
Ref checked(PyObject* fresh);

// ---------------------------------------------------------------------------
// Result builders

inline Ref none() {
    return Ref::borrow(Py_None);
}
inline Ref new_bool(bool v) {
    return Ref::borrow(v ? Py_True : Py_False);
}
inline Ref new_int(std::uint64_t v) {
    return checked(PyLong_FromUnsignedLongLong(v));
}
inline Ref new_float(double v) {
    return checked(PyFloat_FromDouble(v));
}
// `text` must be valid UTF-8 (every native text came from a Python str).
inline Ref new_str(std::string_view text) {
    return checked(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// A new str from fixed-width units: allocated at its final width and copied.
inline Ref new_str(text::TextView text) {
    Ref s = checked(PyUnicode_New(static_cast<Py_ssize_t>(text.length),
                                  static_cast<Py_UCS4>(max_char(text.width))));
    if (text.length) std::memcpy(PyUnicode_DATA(s.get()), text.data, text.bytes());
    return s;
}

// A new str of `length` code points at `width`, its units written by
// `fill(char* units, text::Width width)`, which cannot fail.
template <class Fill>
Ref new_str(std::size_t length, text::Width width, Fill&& fill) {
    if (length > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    Ref s = checked(PyUnicode_New(static_cast<Py_ssize_t>(length),
                                  static_cast<Py_UCS4>(text::max_char(width))));
    fill(static_cast<char*>(PyUnicode_DATA(s.get())), width);
    return s;
}

// A str key created once per process and kept (interned) for the dict builders.
class Key {
  public:
    constexpr explicit Key(const char* text) : text_(text) {}
    PyObject* get();

  private:
    const char* text_;
    PyObject* obj_ = nullptr;
};

// Builds a dict in insertion order. A failing insertion raises its own exception.
class DictBuilder {
  public:
    DictBuilder() : dict_(checked(PyDict_New())) {}
    DictBuilder& set(Key& key, Ref value);
    Ref finish() { return std::move(dict_); }

  private:
    Ref dict_;
};

// A freshly created object whose failure (NULL) is the call's own error, as it
// stands: for results that must report MemoryError rather than a panic.
inline Ref owned(PyObject* fresh) {
    if (!fresh) throw_error();
    return Ref::steal(fresh);
}

// Fills the `n` slots of a new list by index; `make(i)` returns the Ref of item i.
template <class Make>
Ref fill_list(Ref list, std::size_t n, Make&& make) {
    for (std::size_t i = 0; i < n; ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), make(i).release());
    }
    return list;
}

// A list of `n` items filled by index (a failure to make the list is a panic).
template <class Make>
Ref build_list(std::size_t n, Make&& make) {
    return fill_list(checked(PyList_New(static_cast<Py_ssize_t>(n))), n, make);
}

// build_list with the list itself made through `owned`.
template <class Make>
Ref build_list_or_raise(std::size_t n, Make&& make) {
    return fill_list(owned(PyList_New(static_cast<Py_ssize_t>(n))), n, make);
}

// A new list of new strs, one per text, each built at its final width.
inline Ref new_str_list(const text::TextSnapshot& texts) {
    return build_list(texts.size(), [&](std::size_t i) { return new_str(texts[i].view()); });
}

inline Ref new_pair(Ref a, Ref b) {
    Ref t = checked(PyTuple_New(2));
    PyTuple_SET_ITEM(t.get(), 0, a.release());
    PyTuple_SET_ITEM(t.get(), 1, b.release());
    return t;
}

// ---------------------------------------------------------------------------
// Conversions. Each kind is a fallible function `bool to_x(PyObject*, T& out)`:
// on failure it sets the described Python error and returns false, so the common
// path costs no exception machinery at all. `convert<to_x>(o)` is the throwing
// form for conversions nested inside other converters.

bool to_text(PyObject* o, std::string_view& out) noexcept;  // view into the str's UTF-8
// A str in both its forms: the UTF-8 (whose encoding also refuses lone
// surrogates, as to_text does) and the interpreter's own fixed-width units.
struct StrText {
    std::string_view utf8;
    text::TextView units;
};
bool to_str_text(PyObject* o, StrText& out) noexcept;
// A str's fixed-width units and the length of its UTF-8 form, without encoding
// it (a str with a lone surrogate is refused as to_text refuses it).
struct StrUnits {
    text::TextView units;
    std::size_t utf8_bytes;
};
bool to_str_units(PyObject* o, StrUnits& out) noexcept;
bool to_u32(PyObject* o, std::uint32_t& out) noexcept;
bool to_u64(PyObject* o, std::uint64_t& out) noexcept;
bool to_f64(PyObject* o, double& out) noexcept;
inline bool to_f32(PyObject* o, float& out) noexcept {
    double d;
    if (!to_f64(o, d)) return false;
    out = static_cast<float>(d);
    return true;
}
bool to_bool(PyObject* o, bool& out) noexcept;

namespace detail {
template <class F>
struct converter_traits {
    static constexpr bool fallible = false;
};
template <class T>
struct converter_traits<bool (*)(PyObject*, T&) noexcept> {
    static constexpr bool fallible = true;
    using type = T;
};
}  // namespace detail

// The value of a fallible conversion, or its error thrown.
template <auto Conv>
auto convert(PyObject* o) {
    typename detail::converter_traits<decltype(Conv)>::type value{};
    if (!Conv(o, value)) throw_error();
    return value;
}

// Converts `o` with `Conv`, attaching the "while processing '{param}'" note on
// failure. `Conv` is a fallible conversion or a throwing function `T f(PyObject*)`
// (for composite arguments such as a message history).
template <auto Conv>
auto convert_arg(PyObject* o, const char* param) {
    if constexpr (detail::converter_traits<decltype(Conv)>::fallible) {
        typename detail::converter_traits<decltype(Conv)>::type value{};
        if (!Conv(o, value)) {
            add_note(param);
            throw_error();
        }
        return value;
    } else {
        try {
            return Conv(o);
        } catch (const ErrorAlreadySet&) {
            add_note(param);
            throw;
        }
    }
}

// Sequence of records: a non-str sequence, iterated with the iterator protocol,
// each item handed to `record(item)`. The length is asked only to size the
// result; its failure is cleared. It is a hint, which a `__len__` may get wrong
// either way: the reservation is capped, and beyond it the result grows with
// the items the iteration actually yields.
inline constexpr Py_ssize_t kMaxReserveHint = Py_ssize_t{1} << 16;

template <class Record, class Out>
void convert_records(PyObject* o, Out& out, Record&& record) {
    // Callers match on this exact text; keep it byte for byte.
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) type_mismatch(o, "Sequence");
    Py_ssize_t hint = interpreter_call([&] { return PySequence_Size(o); });
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    if (hint > kMaxReserveHint) hint = kMaxReserveHint;
    out.reserve(static_cast<std::size_t>(hint));
    Ref it = Ref::steal(interpreter_call([&] { return PyObject_GetIter(o); }));
    if (!it) throw_error();
    while (PyObject* raw = interpreter_call([&] { return PyIter_Next(it.get()); })) {
        Ref item = Ref::steal(raw);
        record(item.get());
    }
    if (PyErr_Occurred()) throw_error();
}

// A tuple of exactly `n` items; returns its item array.
PyObject* const* tuple_items(PyObject* o, Py_ssize_t n);

// ---------------------------------------------------------------------------
// Declarations (module/declaration.hpp): every callable's parameters, defaults
// and docstring in one constexpr `Callable`.

namespace detail {
// The parameter names of `C` as interned str objects, made on the first keyword
// call (with the interpreter lock held) and kept for the life of the process.
template <auto& C>
inline std::array<PyObject*, C.params.size()> interned_names{};
}  // namespace detail

// ---------------------------------------------------------------------------
// Binding

namespace detail {
// Binding errors; each sets the TypeError and throws.
[[noreturn]] void too_many_positional(const char* display, std::size_t count, std::size_t required,
                                      std::size_t given);
[[noreturn]] void unexpected_keyword(const char* display, PyObject* keyword);
[[noreturn]] void multiple_values(const char* display, PyObject* keyword);
[[noreturn]] void missing_required(const char* display, const char* const* names,
                                   const PyObject* const* slots, std::size_t required);
// Index of `keyword` among `names`, or -1. Interns the names on first use.
std::ptrdiff_t match_keyword(PyObject* keyword, const char* const* names, PyObject** interned,
                             std::size_t n);
}  // namespace detail

// Arguments bound to their parameters (borrowed; nullptr when absent).
template <std::size_t N>
class Bound {
  public:
    explicit Bound(const Callable<N>& decl) : decl_(&decl) {}

    PyObject* operator[](std::size_t i) const { return slots_[i]; }
    PyObject*& slot(std::size_t i) { return slots_[i]; }
    const PyObject* const* data() const { return slots_.data(); }

    // The converted value of parameter i, or its declared default when it was
    // not passed.
    template <auto Conv>
    auto get(std::size_t i) const {
        using T = decltype(convert_arg<Conv>(nullptr, nullptr));
        if (slots_[i]) return convert_arg<Conv>(slots_[i], decl_->names[i]);
        if constexpr (std::is_arithmetic_v<T>) {
            return decl_->params[i].template value<T>();
        } else {
            throw std::logic_error("a required parameter was not bound");
        }
    }
    const char* name(std::size_t i) const { return decl_->names[i]; }

  private:
    const Callable<N>* decl_;
    std::array<PyObject*, N> slots_{};
};

template <auto& C, std::size_t N>
void bind_keyword(Bound<N>& out, PyObject* keyword, PyObject* value) {
    std::ptrdiff_t idx =
        detail::match_keyword(keyword, C.names.data(), detail::interned_names<C>.data(), N);
    if (idx < 0) detail::unexpected_keyword(display_name<C>(), keyword);
    PyObject*& slot = out.slot(static_cast<std::size_t>(idx));
    if (slot) detail::multiple_values(display_name<C>(), keyword);
    slot = value;
}

template <auto& C, std::size_t N>
void bind_finish(const Bound<N>& out, std::size_t npos) {
    if (npos < C.required) {
        for (std::size_t i = npos; i < C.required; ++i) {
            if (!out[i])
                detail::missing_required(display_name<C>(), C.names.data(), out.data(), C.required);
        }
    }
}

// Vectorcall arguments into the parameters of `C`.
template <auto& C>
auto bind(PyObject* const* args, std::size_t nargs, PyObject* kwnames) {
    constexpr std::size_t N = C.params.size();
    Bound<N> out(C);
    if (nargs > N) detail::too_many_positional(display_name<C>(), N, C.required, nargs);
    for (std::size_t i = 0; i < nargs; ++i) out.slot(i) = args[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            bind_keyword<C>(out, PyTuple_GET_ITEM(kwnames, k),
                            args[nargs + static_cast<std::size_t>(k)]);
        }
    }
    bind_finish<C>(out, nargs);
    return out;
}

// Tuple-and-dict arguments (the tp_new path) into the parameters of `C`.
template <auto& C>
auto bind(PyObject* args, PyObject* kwargs) {
    constexpr std::size_t N = C.params.size();
    Bound<N> out(C);
    std::size_t nargs = args ? static_cast<std::size_t>(PyTuple_GET_SIZE(args)) : 0;
    if (nargs > N) detail::too_many_positional(display_name<C>(), N, C.required, nargs);
    for (std::size_t i = 0; i < nargs; ++i)
        out.slot(i) = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword<C>(out, key, value);
    }
    bind_finish<C>(out, nargs);
    return out;
}

// ---------------------------------------------------------------------------
// Objects of the module's classes: the header, the borrow claim and the native
// kernel constructed in place.

// Flags of every class: no base-type flag, so the classes are final.
#ifdef Py_TPFLAGS_IMMUTABLETYPE
inline constexpr unsigned int kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
#else
inline constexpr unsigned int kClassFlags = Py_TPFLAGS_DEFAULT;
#endif

template <class Kernel>
struct Object {
    PyObject_HEAD ClaimCounter claim;
    bool alive;  // the kernel was constructed and must be destroyed
    Kernel kernel;
};

template <class Kernel>
Object<Kernel>& object_of(PyObject* self) {
    return *reinterpret_cast<Object<Kernel>*>(self);
}

// Allocates an instance of `type` and constructs its kernel from `args`. If the
// kernel's constructor throws, the half-made object is released and the
// exception propagates.
template <class Kernel, class... Args>
Ref make_object(PyTypeObject* type, Args&&... args) {
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    if (!obj) throw_error();
    auto& o = object_of<Kernel>(obj.get());
    new (&o.claim) ClaimCounter();
    o.alive = false;
    new (&o.kernel) Kernel(std::forward<Args>(args)...);
    o.alive = true;
    return obj;
}

template <class Kernel>
void dealloc_object(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto& o = object_of<Kernel>(self);
    if (o.alive) o.kernel.~Kernel();
    type->tp_free(self);
    Py_DECREF(type);
}

// A class object created once per process from its PyType_Spec and shared by every
// module object. Thread races publish only one object.
PyTypeObject* cached_type(std::atomic<PyObject*>& slot, PyType_Spec* type_spec,
                          vectorcallfunc vectorcall);

// The argument as an instance of `type`, else the type mismatch with its name.
template <class Kernel>
Object<Kernel>& to_instance(PyObject* o, PyTypeObject* type, const char* name) {
    if (Py_TYPE(o) != type) type_mismatch(o, name);
    return object_of<Kernel>(o);
}

// ---------------------------------------------------------------------------
// Modules

// The definition of a module initialised in phases: its name, its docstring and
// its slots (ended by {0, nullptr}; static storage). No per-module state.

// The slot saying the module cannot be loaded into a second interpreter, on the
// interpreters that read it (3.12 and later); put it before the terminator.
#if PY_VERSION_HEX >= 0x030C0000
#define FENWA_SINGLE_INTERPRETER_SLOT \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define FENWA_SINGLE_INTERPRETER_SLOT
#endif
inline PyModuleDef module_def(const char* name, const char* doc, PyModuleDef_Slot* slots,
                              freefunc free = nullptr) noexcept {
    return PyModuleDef{PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots, nullptr, nullptr, free};
}

// ---------------------------------------------------------------------------
// Claims

// The two claim failures' texts ("Already mutably borrowed", "Already borrowed")
// are matched on by callers; keep them byte for byte.
template <bool Exclusive>
class Claim {
  public:
    explicit Claim(ClaimCounter& c) : c_(c) {
        const auto taken = Exclusive ? c_.acquire_exclusive() : c_.acquire_shared();
        if (taken != ClaimCounter::Result::ok)
            raise(PyExc_RuntimeError, Exclusive ? "Already borrowed" : "Already mutably borrowed");
    }
    ~Claim() {
        if constexpr (Exclusive) {
            c_.release_exclusive();
        } else {
            c_.release_shared();
        }
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

  private:
    ClaimCounter& c_;
};
using SharedClaim = Claim<false>;
using ExclusiveClaim = Claim<true>;

// Whether calls on objects of a class take borrow claims. A shared claim can only
// fail against an exclusive one; a class whose kernel synchronizes itself and
// never takes an exclusive claim opts out (specialize to false before use), so
// that concurrent callers don't all write one shared counter on every call.
template <class Kernel>
inline constexpr bool kTakesClaims = true;

// Declares, at namespace scope, that calls on objects of `Kernel` take no claims.
#define FENWA_NO_BORROW_CLAIMS(Kernel) \
    template <>                        \
    inline constexpr bool fenwa::py::kTakesClaims<Kernel> = false

// Runs `body` under a shared claim on `obj` (when its class takes claims).
template <class Kernel, class Body>
decltype(auto) with_shared_claim(Object<Kernel>& obj, Body&& body) {
    if constexpr (kTakesClaims<Kernel>) {
        SharedClaim claim(obj.claim);
        return body();
    } else {
        return body();
    }
}

// ---------------------------------------------------------------------------
// Release of the interpreter lock around a kernel. Nothing inside the scope may
// touch a Python object.

class GilRelease {
  public:
    GilRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~GilRelease() { reacquire_gil(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

  private:
    PyThreadState* state_;
};

// The interpreter lock handed over in two explicit steps, for a kernel that
// releases it part-way through and takes it back before it finishes.
class GilHandoff {
  public:
    void release() noexcept { state_ = PyEval_SaveThread(); }
    void reacquire() noexcept { reacquire_gil(state_); }

  private:
    PyThreadState* state_ = nullptr;
};

// ---------------------------------------------------------------------------
// Entry wrappers: the only functions handed to the interpreter. Each runs its body
// under `guarded`, which catches every C++ exception.

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
#if FENWA_PARK_BY_CLEANUP
        return detail::call_parked_on_unwind(body);
#else
        return body();
#endif
    }
    FENWA_PARK_ON_FORCED_UNWIND
    catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

template <class Body>
int guarded_status(Body&& body) noexcept {
    try {
#if FENWA_PARK_BY_CLEANUP
        detail::call_parked_on_unwind(body);
#else
        body();
#endif
        return 0;
    }
    FENWA_PARK_ON_FORCED_UNWIND
    catch (...) {
        translate_current_exception();
        return -1;
    }
}

namespace detail {
template <class F>
struct method_traits;
template <class K, std::size_t N>
struct method_traits<Ref (*)(Object<K>&, const Bound<N>&)> {
    using Kernel = K;
};
template <class K>
struct method_traits<Ref (*)(Object<K>&)> {
    using Kernel = K;
};
}  // namespace detail

// Module function: bind, then the body.
template <auto& C, auto Fn>
PyObject* function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&] { return Fn(bind<C>(args, static_cast<std::size_t>(nargs), kwnames)).release(); });
}

// Method with arguments: bind, take the shared claim, then the body.
template <auto& C, auto Fn>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) noexcept {
    using Kernel = typename detail::method_traits<decltype(Fn)>::Kernel;
    return guarded([&] {
        auto bound = bind<C>(args, static_cast<std::size_t>(nargs), kwnames);
        auto& obj = object_of<Kernel>(self);
        return with_shared_claim(obj, [&] { return Fn(obj, bound).release(); });
    });
}

// Method without arguments (METH_NOARGS), also used for getters and repr.
template <auto Fn>
PyObject* method_noargs(PyObject* self, PyObject* = nullptr) noexcept {
    using Kernel = typename detail::method_traits<decltype(Fn)>::Kernel;
    return guarded([&] {
        auto& obj = object_of<Kernel>(self);
        return with_shared_claim(obj, [&] { return Fn(obj).release(); });
    });
}

template <auto Fn>
PyObject* getter(PyObject* self, void*) noexcept {
    return method_noargs<Fn>(self);
}

// Attribute setter: refuses deletion, converts the value, then takes the
// exclusive claim and stores.
template <class Kernel, auto Conv, auto Store>
int setter(PyObject* self, PyObject* value, void*) noexcept {
    return guarded_status([&] {
        if (!value) raise(PyExc_AttributeError, "property has no deleter");
        auto converted = convert<Conv>(value);
        auto& obj = object_of<Kernel>(self);
        ExclusiveClaim claim(obj.claim);
        Store(obj.kernel, converted);
    });
}

// Length slot (shared claim).
template <class Kernel, std::size_t (*Fn)(Kernel&)>
Py_ssize_t length(PyObject* self) noexcept {
    Py_ssize_t result = -1;
    guarded_status([&] {
        auto& obj = object_of<Kernel>(self);
        result = with_shared_claim(obj, [&] { return static_cast<Py_ssize_t>(Fn(obj.kernel)); });
    });
    return result;
}

// Constructor: the type's vectorcall and its tp_new share one body, which
// receives the type and the bound arguments.
template <auto& C, auto Fn>
PyObject* constructor_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf,
                                 PyObject* kwnames) noexcept {
    return guarded([&] {
        auto bound = bind<C>(args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), kwnames);
        return Fn(reinterpret_cast<PyTypeObject*>(type), bound).release();
    });
}

template <auto& C, auto Fn>
PyObject* constructor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] { return Fn(type, bind<C>(args, kwargs)).release(); });
}

// ---------------------------------------------------------------------------
// Method-table entries. The interpreter stores every entry point as a
// PyCFunction; the flags tell it the real signature.

template <class F>
PyCFunction as_cfunction(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Each takes its name and docstring from the callable's declaration `C`.
template <auto& C, auto Fn>
PyMethodDef function_def() {
    static_assert(C.kind == CallableKind::function);
    return {C.name, as_cfunction(function<C, Fn>), METH_FASTCALL | METH_KEYWORDS, docstring<C>()};
}

template <auto& C, auto Fn>
PyMethodDef method_def() {
    static_assert(C.kind == CallableKind::method);
    return {C.name, as_cfunction(method<C, Fn>), METH_FASTCALL | METH_KEYWORDS, docstring<C>()};
}

template <auto& C, auto Fn>
PyMethodDef noargs_def() {
    static_assert(C.kind == CallableKind::method && C.params.size() == 0);
    return {C.name, method_noargs<Fn>, METH_NOARGS, docstring<C>()};
}

// ---------------------------------------------------------------------------
// Classes

// One class of the module: its docstring, constructor and deallocation (the slots
// every class has) plus its own slots, made into a class object on first use.
// `New` declares the constructor, whose docstring is the class docstring;
// `Construct` receives the class and the arguments bound to it. The class is
// called through vectorcall, and `__new__` binds the same way.
template <class Kernel, auto& New, auto Construct>
class ClassDef {
    static_assert(New.kind == CallableKind::constructor);

  public:
    ClassDef(const char* qualified_name, std::initializer_list<PyType_Slot> own)
        : slots_{{Py_tp_doc, const_cast<char*>(docstring<New>())},
                 {Py_tp_new, reinterpret_cast<void*>(constructor_new<New, Construct>)},
                 {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<Kernel>)}} {
        slots_.insert(slots_.end(), own);
        slots_.push_back({0, nullptr});
        spec_ = {qualified_name, static_cast<int>(sizeof(Object<Kernel>)), 0, kClassFlags,
                 slots_.data()};
    }

    PyTypeObject* type() {
        return cached_type(type_, &spec_, constructor_vectorcall<New, Construct>);
    }

  private:
    std::vector<PyType_Slot> slots_;
    PyType_Spec spec_{};
    std::atomic<PyObject*> type_{nullptr};
};

}  // namespace fenwa::py
