#include "python/solve/options_reader.hpp"

#include <limits>

#include "python/result/result_object.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/error.hpp"
#include "python/solve/arrays.hpp"
#include "python/solve/solver_settings.hpp"

namespace pelora::py {

namespace {

long long option_integer(PyObject* o, long long lo, long long hi) {
  Ref index = check(PyNumber_Index(o));  // "'str' object cannot be interpreted as an integer"
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) throw_already_set();
  if (overflow != 0 || v < lo || v > hi) {
    throw_error(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return v;
}

// A Result gives its primal values (or nothing); a sequence of floats gives
// the floats; anything else is ignored.
std::optional<std::vector<double>> read_warm_start(PyObject* o) {
  if (is_result(o)) return result_value(o).data.primals;
  if (o == Py_None || PyUnicode_Check(o) || PyBytes_Check(o) || !PySequence_Check(o)) {
    return std::nullopt;
  }
  try {
    return read_floats(o);
  } catch (const ErrorAlreadySet&) {
    // A value that does not convert is ignored; an interrupt or exit raised
    // while converting is not a conversion failure and goes on up.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
  } catch (const PyError&) {
  }
  return std::nullopt;
}

}  // namespace

double option_float(PyObject* o) { return as_double(o); }

bool option_bool(PyObject* o) {
  if (!PyBool_Check(o)) throw_cannot_convert(o, "PyBool");
  return o == Py_True;
}

uint32_t option_u32(PyObject* o) {
  return static_cast<uint32_t>(option_integer(o, 0, std::numeric_limits<uint32_t>::max()));
}

int32_t option_i32(PyObject* o) {
  return static_cast<int32_t>(option_integer(o, std::numeric_limits<int32_t>::min(),
                                             std::numeric_limits<int32_t>::max()));
}

std::string option_text(PyObject* o) { return as_string(o); }

PyObject* option_item(PyObject* kwargs, const char* key) {
  if (!kwargs) return nullptr;
  PyObject* v = PyDict_GetItemString(kwargs, key);  // borrowed; never raises
  return v;
}

Options read_solve_options(PyObject* kw) {
  Options out;
  SolveOptions& o = out.core;
  if (PyObject* v = option_item(kw, "time_limit")) o.time_limit = option_float(v);
  if (PyObject* v = option_item(kw, "gap")) o.gap = option_float(v);
  if (PyObject* v = option_item(kw, "verbose")) o.verbose = option_bool(v);
  if (PyObject* v = option_item(kw, "threads")) o.threads = option_u32(v);
  if (PyObject* v = option_item(kw, "solver")) out.solver = option_text(v);
  if (PyObject* v = option_item(kw, "warm_start")) o.warm_start = read_warm_start(v);
  if (PyObject* v = option_item(kw, "presolve")) o.presolve = option_bool(v);
  if (PyObject* v = option_item(kw, "solver_method")) o.solver_method = option_text(v);
  if (PyObject* v = option_item(kw, "run_crossover")) o.run_crossover = option_text(v);
  if (PyObject* v = option_item(kw, "parallel")) o.parallel = option_text(v);
  if (PyObject* v = option_item(kw, "scale_cleanup")) o.scale_cleanup = option_bool(v);
  if (PyObject* v = option_item(kw, "simplex_scale_strategy")) {
    o.simplex_scale_strategy = option_i32(v);
  }
  if (PyObject* v = option_item(kw, "eliminate_redundant")) o.eliminate_redundant = option_bool(v);
  if (PyObject* v = option_item(kw, "ranging")) o.ranging = option_bool(v);
  if (PyObject* v = option_item(kw, "basis")) {
    out.basis = Ref::borrow(v);
    o.basis_given = true;
  }
  if (PyObject* v = option_item(kw, "solver_options")) out.solver_settings = read_solver_settings(v);
  return out;
}

}  // namespace pelora::py
