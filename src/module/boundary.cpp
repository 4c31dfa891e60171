#include "module/boundary.hpp"

#if defined(_WIN32)
#include <chrono>
#include <thread>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "module/messages.hpp"

namespace fenwa::py {

namespace {

constexpr const char* kPanicDoc =
    "The exception raised when native code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";

std::atomic<PyObject*> g_panic_type{nullptr};

}  // namespace

void raise(PyObject* exc, const char* msg) {
    PyErr_SetString(exc, msg);
    throw_error();
}

PyObject* panic_type() {
    PyObject* t = g_panic_type.load(std::memory_order_acquire);
    if (t) return t;
    // Callers catch this exception by its exact module and name; keep both as they are.
    PyObject* made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                               PyExc_BaseException, nullptr);
    if (!made) return nullptr;
    PyObject* expected = nullptr;
    if (!g_panic_type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);  // another thread published first
        return expected;
    }
    return made;
}

void set_panic(const char* msg) {
    PyObject* t = panic_type();
    if (t) PyErr_SetString(t, msg);
}

void set_type_mismatch(PyObject* obj, const char* target) noexcept {
    // Callers match on these exact texts (all three forms); keep them byte for byte.
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
        return;
    }
    Ref qualname = Ref::steal(interpreter_call([&] {
        return PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
    }));
    if (qualname && PyUnicode_Check(qualname.get())) {
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(),
                     target);
    } else {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'",
                     Py_TYPE(obj)->tp_name, target);
    }
}

void type_mismatch(PyObject* obj, const char* target) {
    set_type_mismatch(obj, target);
    throw_error();
}

void add_note(const char* param) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
#else
    PyObject *type, *exc, *tb;
    PyErr_Fetch(&type, &exc, &tb);
    PyErr_NormalizeException(&type, &exc, &tb);
    if (!exc) {
        PyErr_Restore(type, exc, tb);
        return;
    }
    if (tb) PyException_SetTraceback(exc, tb);
#endif
    // Interpreters without BaseException.add_note raise the exception as it is.
    Ref add = Ref::steal(PyObject_GetAttrString(exc, "add_note"));
    if (add) {
        Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", param));
        if (note)
            Ref::steal(
                interpreter_call([&] { return PyObject_CallOneArg(add.get(), note.get()); }));
    }
    PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(type, exc, tb);
#endif
}

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) set_panic("native failure without an exception");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A reservation whose byte size cannot be represented.
        // Callers match on this exact text; keep it byte for byte.
        set_panic("capacity overflow");
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown native failure");
    }
}

#if defined(FENWA_STATIC_TLS_RUNTIME)
namespace {
// Read with the initial-exec model, this puts the module's whole thread-local
// block into the static thread-local area, which the C library sets up for every
// thread when it creates it (and for the threads already running when the module
// is loaded). The C++ runtime is linked into the module, so its per-thread
// exception state is in that block: a first throw on any thread finds it made and
// needs no allocation, where a block of a loaded library is otherwise allocated
// on the thread's first access, and with memory exhausted that allocation aborts
// the process.
[[gnu::tls_model("initial-exec")]] thread_local unsigned char t_static_block = 1;
}  // namespace
#endif

void prepare_thread_for_errors() noexcept {
#if defined(FENWA_STATIC_TLS_RUNTIME)
    *static_cast<volatile unsigned char*>(&t_static_block);
#endif
#if defined(__GLIBCXX__)
    // libstdc++ declares __cxa_get_globals const, so a plain call whose result is
    // unused is dropped; through a volatile pointer it is made.
    abi::__cxa_eh_globals* (*volatile get_globals)() noexcept = &abi::__cxa_get_globals;
    (void)get_globals();
#else
    // The other runtimes read the same per-thread state to answer this; the
    // volatile store keeps the call.
    [[maybe_unused]] static volatile int in_flight;
    in_flight = std::uncaught_exceptions();
#endif
}

void park_thread() noexcept {
#if defined(_WIN32)
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
#else
    for (;;) pause();  // returns only after a signal handler ran
#endif
}

namespace {
// Set when the main interpreter runs its exit callbacks, just before it finalizes.
std::atomic<bool> g_exiting{false};

PyObject* note_exit(PyObject*, PyObject*) noexcept {
    g_exiting.store(true, std::memory_order_release);
    Py_RETURN_NONE;
}

PyMethodDef g_note_exit = {"_fenwa_micro_exit", note_exit, METH_NOARGS, nullptr};
}  // namespace

void require_main_interpreter(const char* module_name) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return;
    PyErr_Format(PyExc_ImportError,
                 "%s does not support subinterpreters: import it in the main interpreter",
                 module_name);
    throw_error();
}

void watch_interpreter_exit() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) return;
    static std::atomic<bool> registered{false};
    if (registered.exchange(true)) return;
    Ref fn = Ref::steal(PyCFunction_New(&g_note_exit, nullptr));
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    Ref done = fn && atexit
                   ? Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", fn.get()))
                   : Ref();
    if (!done) {
        registered.store(false);
        throw_error();
    }
}

void reacquire_gil(PyThreadState* state) noexcept {
    // Once the interpreter exits, the lock would never be given back. Worse, on
    // 3.10 a thread that asks for it after the teardown has freed the thread
    // states can be handed it with its own state gone, and crash. Don't ask.
#if PY_VERSION_HEX >= 0x030D0000
    if (g_exiting.load(std::memory_order_acquire) || Py_IsFinalizing()) park_thread();
#else
    if (g_exiting.load(std::memory_order_acquire) || _Py_IsFinalizing()) park_thread();
#endif
#if defined(__GLIBCXX__)
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        park_thread();
    }
#else
    interpreter_call([&] { PyEval_RestoreThread(state); });
#endif
}

Ref checked(PyObject* fresh) {
    if (fresh) return Ref::steal(fresh);
    if (PyErr_Occurred()) interpreter_call([] { PyErr_WriteUnraisable(nullptr); });
    // Callers match on this exact text; keep it byte for byte.
    set_panic("PyObject pointer is null");
    throw_error();
}

PyObject* Key::get() {
    if (!obj_) {
        PyObject* made = checked(PyUnicode_InternFromString(text_)).release();
        if (obj_)
            Py_DECREF(made);
        else
            obj_ = made;
    }
    return obj_;
}

DictBuilder& DictBuilder::set(Key& key, Ref value) {
    if (PyDict_SetItem(dict_.get(), key.get(), value.get()) < 0) throw_error();
    return *this;
}

// ---------------------------------------------------------------------------
// Conversions

bool to_text(PyObject* o, std::string_view& out) noexcept {
    if (!PyUnicode_Check(o)) {
        set_type_mismatch(o, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(o, &size);
    if (!data) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

namespace {
// The units of a ready str.
text::TextView units_of(PyObject* o) noexcept {
    text::Width width;
    switch (PyUnicode_KIND(o)) {
        case PyUnicode_1BYTE_KIND:
            width = PyUnicode_IS_ASCII(o) ? text::Width::ascii : text::Width::latin1;
            break;
        case PyUnicode_2BYTE_KIND:
            width = text::Width::ucs2;
            break;
        default:
            width = text::Width::ucs4;
            break;
    }
    return {PyUnicode_DATA(o), static_cast<std::size_t>(PyUnicode_GET_LENGTH(o)), width};
}
}  // namespace

bool to_str_text(PyObject* o, StrText& out) noexcept {
    if (!to_text(o, out.utf8)) return false;  // also readies a legacy str
    out.units = units_of(o);
    return true;
}

bool to_str_units(PyObject* o, StrUnits& out) noexcept {
    if (!PyUnicode_Check(o)) {
        set_type_mismatch(o, "str");
        return false;
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(o) < 0) return false;
#endif
    out.units = units_of(o);
    if (const auto bytes = text::utf8_length(out.units)) {
        out.utf8_bytes = *bytes;
        return true;
    }
    // A lone surrogate: the encoder raises its own error for it.
    std::string_view utf8;
    if (!to_text(o, utf8)) return false;
    out.utf8_bytes = utf8.size();
    return true;
}

namespace {

// `o` itself when it is an int, otherwise the int its __index__ returns (null,
// with the error set, when that fails).
Ref int_of(PyObject* o) noexcept {
    if (PyLong_Check(o)) return Ref::borrow(o);
    return Ref::steal(interpreter_call([&] { return PyNumber_Index(o); }));
}

}  // namespace

bool to_u32(PyObject* o, std::uint32_t& out) noexcept {
    // Read as a signed 64-bit value first.
    const Ref i = int_of(o);
    if (!i) return false;
    const long long v = PyLong_AsLongLong(i.get());
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || v > 0xFFFFFFFFLL) {
        // Callers match on this exact text; keep it byte for byte.
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint32_t>(v);
    return true;
}

bool to_u64(PyObject* o, std::uint64_t& out) noexcept {
    const Ref i = int_of(o);
    if (!i) return false;
    const unsigned long long v = PyLong_AsUnsignedLongLong(i.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = static_cast<std::uint64_t>(v);
    return true;
}

bool to_f64(PyObject* o, double& out) noexcept {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    const double v = interpreter_call([&] { return PyFloat_AsDouble(o); });
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool to_bool(PyObject* o, bool& out) noexcept {
    if (o == Py_True || o == Py_False) {
        out = o == Py_True;
        return true;
    }
    set_type_mismatch(o, "bool");
    return false;
}

PyObject* const* tuple_items(PyObject* o, Py_ssize_t n) {
    if (!PyTuple_Check(o)) type_mismatch(o, "tuple");
    Py_ssize_t actual = PyTuple_GET_SIZE(o);
    if (actual != n) {
        // Callers match on this exact text; keep it byte for byte.
        PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd",
                     n, actual);
        throw_error();
    }
    return &PyTuple_GET_ITEM(o, 0);
}

// ---------------------------------------------------------------------------
// Binding errors

namespace detail {

void too_many_positional(const char* display, std::size_t count, std::size_t required,
                         std::size_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (count == required) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given", display,
                     count, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zu to %zu positional arguments but %zu %s given", display,
                     required, count, given, verb);
    }
    throw_error();
}

void unexpected_keyword(const char* display, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", display, keyword);
    throw_error();
}

void multiple_values(const char* display, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%S'", display, keyword);
    throw_error();
}

void missing_required(const char* display, const char* const* names, const PyObject* const* slots,
                      std::size_t required) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < required; ++i) {
        if (!slots[i]) missing.emplace_back(names[i]);
    }
    const std::string list = messages::quoted_list(missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", display,
                 missing.size(), missing.size() == 1 ? "argument" : "arguments", list.c_str());
    throw_error();
}

std::ptrdiff_t match_keyword(PyObject* keyword, const char* const* names, PyObject** interned,
                             std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (!interned[i]) interned[i] = checked(PyUnicode_InternFromString(names[i])).release();
        if (interned[i] == keyword) return static_cast<std::ptrdiff_t>(i);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (PyUnicode_Check(keyword) && PyUnicode_Compare(keyword, interned[i]) == 0)
            return static_cast<std::ptrdiff_t>(i);
    }
    if (PyErr_Occurred()) throw_error();
    return -1;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Types

#if PY_VERSION_HEX < 0x030A0000
// Before 3.10 the interpreter drops the text-signature line when it copies a
// class docstring into tp_doc, and __text_signature__ is read from tp_doc; give
// tp_doc the whole text back (the visible __doc__ was already set without it).
static void keep_text_signature(PyTypeObject* type, const PyType_Spec* type_spec) {
    for (const PyType_Slot* s = type_spec->slots; s->slot; ++s) {
        if (s->slot != Py_tp_doc || !s->pfunc) continue;
        const char* doc = static_cast<const char*>(s->pfunc);
        const std::size_t size = std::strlen(doc) + 1;
        char* copy = static_cast<char*>(PyObject_Malloc(size));
        if (!copy) {
            PyErr_NoMemory();
            throw_error();
        }
        std::memcpy(copy, doc, size);
        PyObject_Free(const_cast<char*>(type->tp_doc));
        type->tp_doc = copy;
    }
}
#endif

PyTypeObject* cached_type(std::atomic<PyObject*>& slot, PyType_Spec* type_spec,
                          vectorcallfunc vectorcall) {
    if (PyObject* t = slot.load(std::memory_order_acquire))
        return reinterpret_cast<PyTypeObject*>(t);
    PyObject* made = PyType_FromSpec(type_spec);
    if (!made) throw_error();
    if (vectorcall) reinterpret_cast<PyTypeObject*>(made)->tp_vectorcall = vectorcall;
#if PY_VERSION_HEX < 0x030A0000
    try {
        keep_text_signature(reinterpret_cast<PyTypeObject*>(made), type_spec);
    } catch (const ErrorAlreadySet&) {
        Py_DECREF(made);
        throw;
    }
#endif
    PyObject* expected = nullptr;
    if (!slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
        Py_DECREF(made);  // another thread published first
        return reinterpret_cast<PyTypeObject*>(expected);
    }
    return reinterpret_cast<PyTypeObject*>(made);
}

}  // namespace fenwa::py
