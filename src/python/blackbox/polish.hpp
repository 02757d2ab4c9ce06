// A local polish of a black-box result by a bounded quasi-Newton method.
#pragma once
#include <Python.h>

#include <cstdint>

#include "core/blackbox/bounds.hpp"
#include "core/blackbox/run.hpp"

namespace pelora::py::blackbox {

// Runs scipy.optimize.minimize(method="L-BFGS-B") on `func` from r.x within
// `bounds`, making at most `budget` calls of `func` (its finite-difference
// gradient calls included). Every call is counted into r.evaluations; the
// best point seen replaces r.x and r.objective when strictly better, and
// r.history gets one entry, the best value after the polish. Calls score
// as in `evaluate`; the first call scoring inf or NaN ends the polish (a
// quasi-Newton step cannot use it). Raises ImportError when scipy is missing; an error
// raised by scipy itself propagates.
void polish(PyObject* func, const pelora::blackbox::Bounds& bounds,
            pelora::blackbox::RunResult& r, uint64_t budget);

}  // namespace pelora::py::blackbox
