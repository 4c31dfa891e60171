// The members that registration adds to the module, each defined by its subsystem.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace fenwa {

// Class objects, created on first use and shared for the life of the process.
// Each throws py::ErrorAlreadySet when the class cannot be created.
PyTypeObject* hormonal_bus_type();
PyTypeObject* hormonal_signal_type();
PyTypeObject* context_apoptosis_type();

// Module functions (built-in function objects are made from these at registration).
extern PyMethodDef dehydrate_def;
extern PyMethodDef saturation_scan_def;
extern PyMethodDef consolidation_gain_def;
extern PyMethodDef effort_gauge_def;

}  // namespace fenwa
