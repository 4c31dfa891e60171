#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "hormonal_bus/signal.hpp"

namespace fenwa {

// A copy of the fields of the HormonalSignal `obj` (taken under a shared claim),
// or the type mismatch naming HormonalSignal.
bus::Signal copy_signal(PyObject* obj);

}  // namespace fenwa
