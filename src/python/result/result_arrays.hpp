// Result.primal_array() and Result.dual_array(): the solution vectors as
// numpy float64 arrays, copied in one block.
#pragma once
#include <Python.h>

namespace pelora::py {

PyObject* result_primal_array(PyObject* self, PyObject*);
PyObject* result_dual_array(PyObject* self, PyObject*);

extern const char kPrimalArrayDoc[];
extern const char kDualArrayDoc[];

}  // namespace pelora::py
