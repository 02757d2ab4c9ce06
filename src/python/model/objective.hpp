// Reading a Python value as a model objective.
#pragma once
#include <Python.h>

#include "core/model/model_data.hpp"

namespace pelora::py {

// A Var or Expr gives a linear objective, a QuadExpr a quadratic one, an
// NlExpr a nonlinear one (its linear part when it has no nonlinear term), a
// number a constant; anything else raises ValueError "Expected Var, Expr,
// QuadExpr, NlExpr, or numeric value".
Objective to_objective(PyObject* o);

}  // namespace pelora::py
