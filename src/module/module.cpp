// Entry point and registration of the module's members.
#include "context_apoptosis/blocks.hpp"
#include "module/boundary.hpp"
#include "module/registry.hpp"

namespace fenwa {
namespace {

using py::Ref;

constexpr const char* kModuleDoc =
    "F.E.N.W.A. Micro-Kernel \xE2\x80\x94 lock-free hormonal bus + context apoptosis.";
constexpr const char* kVersion = "1.1.0";

// Appends `name` to the module's `__all__` (creating the list when absent), then
// sets the attribute.
void add(PyObject* module, const char* name, Ref value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::throw_error();
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) py::throw_error();
    }
    if (!PyList_Check(all.get())) py::type_mismatch(all.get(), "list");
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0) py::throw_error();
    if (PyObject_SetAttr(module, key.get(), value.get()) < 0) py::throw_error();
}

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
    add(module, name, Ref::borrow(reinterpret_cast<PyObject*>(type)));
}

void add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) py::throw_error();
    Ref fn = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!fn) py::throw_error();
    add(module, def->ml_name, std::move(fn));
}

void add_constant(PyObject* module, const char* name, std::uint32_t value) {
    Ref v = Ref::steal(PyLong_FromUnsignedLong(value));
    if (!v) py::throw_error();
    add(module, name, std::move(v));
}

void add_text(PyObject* module, const char* name, const char* text) {
    Ref v = Ref::steal(PyUnicode_FromString(text));
    if (!v) py::throw_error();
    add(module, name, std::move(v));
}

int exec_module(PyObject* module) noexcept {
    // Every failure is reported by a C++ exception, whose per-thread state the
    // C++ runtime may allocate lazily on the first throw in a thread; with no
    // memory left that allocation aborts the process. Make it now, while memory
    // is there, for the thread that loads the module (the one most calls come from).
    py::prepare_thread_for_errors();
    return py::guarded_status([&] {
        if (!PyModule_Check(module)) py::type_mismatch(module, "module");
        py::require_main_interpreter("fenwa_micro");
        py::watch_interpreter_exit();
        add_class(module, "HormonalBus", hormonal_bus_type());
        add_class(module, "HormonalSignal", hormonal_signal_type());
        add_class(module, "ContextApoptosis", context_apoptosis_type());
        add_function(module, &dehydrate_def);
        add_function(module, &saturation_scan_def);
        add_function(module, &consolidation_gain_def);
        add_function(module, &effort_gauge_def);
        add_constant(module, "SYSTEM", blocks::SYSTEM);
        add_constant(module, "USER", blocks::USER);
        add_constant(module, "ASSISTANT", blocks::ASSISTANT);
        add_constant(module, "FACT", blocks::FACT);
        add_constant(module, "TOOL", blocks::TOOL);
        add_constant(module, "THINKING", blocks::THINKING);
        add_text(module, "__doc__", kModuleDoc);
        add_text(module, "__version__", kVersion);
    });
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    FENWA_SINGLE_INTERPRETER_SLOT{0, nullptr},
};

PyModuleDef g_module =
    py::module_def("fenwa_micro", "The native module \xE2\x80\x94 `import fenwa_micro`.", g_slots);

}  // namespace
}  // namespace fenwa

PyMODINIT_FUNC PyInit_fenwa_micro(void) {
    return PyModuleDef_Init(&fenwa::g_module);
}
