// The members of the private extension module fenwa_host._native.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace fenwa {

extern PyMethodDef flood_metrics_def;

}  // namespace fenwa
