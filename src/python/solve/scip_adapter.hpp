// SCIP through the `pyscipopt` package: the adapter for mixed-integer
// quadratic and mixed-integer nonlinear models, and for any model on request
// (solver="scip"). Display name "SCIP".
#pragma once
#include <Python.h>

#include "python/solve/adapter.hpp"

namespace pelora::py {

AdapterOutcome solve_with_scip(const StandardForm& form, const ModelData& model,
                               const Options& options);

}  // namespace pelora::py
