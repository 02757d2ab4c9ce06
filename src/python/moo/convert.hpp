// Conversions shared by pareto_frontier and solve_admm.
#pragma once
#include <Python.h>

#include <optional>
#include <vector>

#include "python/runtime/error.hpp"
#include "python/runtime/ref.hpp"

namespace pelora::py::moo {

// A sequence (not a str) of arbitrary objects, as owned references in order.
// Raises TypeError without an argument prefix (callers add it).
std::vector<Ref> read_objects(PyObject* seq);

// Converts `obj` to a list of floats with the same sequence rule. Returns
// false, with the error cleared, when the conversion fails with an ordinary
// exception (one derived from Exception); any other failure
// (KeyboardInterrupt, SystemExit) stays set and throws ErrorAlreadySet.
bool read_floats_or_clear(PyObject* obj, std::vector<double>& out);

// Runs a keyword conversion and treats an ordinary failure as absent
// (error cleared, nullopt); KeyboardInterrupt and the like propagate.
template <class F>
auto lenient(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const PyError& e) {
    if (!PyErr_GivenExceptionMatches(e.type, PyExc_Exception)) throw;
    return std::nullopt;
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
    return std::nullopt;
  }
}

}  // namespace pelora::py::moo
