// Model.solve: the entry point that turns a model into a Result, and the
// pieces other solve entry points share (result packing, model snapshot).
//
// The Model class registers the method with the entry below in its method
// table:  PELORA_MODEL_SOLVE_METHOD,
#pragma once
#include <Python.h>

#include <memory>

#include "core/model/model_data.hpp"
#include "core/model/solve_result.hpp"
#include "python/solve/adapter.hpp"

namespace pelora::py {

// Model.solve(**kwargs); `self` is a Model.
PyObject* model_solve(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char kModelSolveDoc[];

#define PELORA_MODEL_SOLVE_METHOD                                                              \
  {                                                                                            \
    "solve",                                                                                   \
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(::pelora::py::model_solve)), \
        METH_VARARGS | METH_KEYWORDS, ::pelora::py::kModelSolveDoc                             \
  }

// Copy of the model's variables (with their names) and linear constraints,
// for the diagnostics of a Result.
std::shared_ptr<const ModelSnapshot> snapshot_of(const ModelData& model);

// A new Result from an adapter outcome and a snapshot (may be null).
PyObject* pack_result(AdapterOutcome outcome, std::shared_ptr<const ModelSnapshot> snapshot);

// The standard form of `model`; a variable index outside the model raises
// ValueError naming it.
StandardForm standard_form_of(const ModelData& model);

}  // namespace pelora::py
