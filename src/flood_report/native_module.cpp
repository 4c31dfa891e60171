// Entry point of fenwa_host._native, the private extension module behind
// fenwa_host's native hot loops.
#include "flood_report/registry.hpp"
#include "host_trim/views_type.hpp"
#include "module/boundary.hpp"
#include "module/estimate_cache.hpp"
#include "module/host_values.hpp"

namespace fenwa {
namespace {

int exec_native(PyObject* module) noexcept {
    return py::guarded_status([&] {
        py::require_main_interpreter("fenwa_host._native");
        py::Ref name = py::Ref::steal(PyModule_GetNameObject(module));
        if (!name) py::throw_error();
        for (PyMethodDef* def : {&flood_metrics_def, &read_messages_def, &removal_order_def,
                                 &budget_walk_def, &pair_adjacent_def, &pair_anywhere_def,
                                 &durable_views_def, &file_sent_def, &estimate_tokens_def,
                                 &token_features_def, &estimate_views_def, &estimate_cache_def}) {
            py::Ref fn = py::Ref::steal(PyCFunction_NewEx(def, module, name.get()));
            if (!fn) py::throw_error();
            // PyModule_AddObject takes the reference only when it succeeds.
            if (PyModule_AddObject(module, def->ml_name, fn.get()) < 0) py::throw_error();
            fn.release();
        }
        PyObject* views = reinterpret_cast<PyObject*>(py::views_type());
        Py_INCREF(views);
        if (PyModule_AddObject(module, "Views", views) < 0) {
            Py_DECREF(views);
            py::throw_error();
        }
    });
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_native)},
    FENWA_SINGLE_INTERPRETER_SLOT{0, nullptr},
};

// The module's end releases the texts the estimate cache holds.
void free_native(void*) noexcept {
    py::clear_estimate_cache();
    py::clear_index_ints();
}

PyModuleDef g_module = py::module_def(
    "fenwa_host._native", "Native kernels of fenwa_host (private: use the fenwa_host functions).",
    g_slots, free_native);

}  // namespace
}  // namespace fenwa

PyMODINIT_FUNC PyInit__native(void) {
    return PyModuleDef_Init(&fenwa::g_module);
}
