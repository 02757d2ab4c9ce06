#include "python/solve/options_reader.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "python/result/result_object.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/messages.hpp"
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

// Every keyword Model.solve reads. "solver_options" and "ranging" are read
// by the adapters that take them.
constexpr const char* kKnownOptions[] = {
    "time_limit",    "gap",           "verbose",        "threads",
    "solver",        "warm_start",    "presolve",       "solver_method",
    "run_crossover", "parallel",      "scale_cleanup",  "simplex_scale_strategy",
    "eliminate_redundant", "basis",   "solver_options", "ranging",
};

size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The known option closest to `key`, when it is close enough to be a typo
// (at most a third of the known name's letters changed, one at the least).
const char* closest_option(const std::string& key) {
  const char* best = nullptr;
  size_t best_distance = 0;
  for (const char* known : kKnownOptions) {
    const std::string k = known;
    const size_t limit = std::clamp<size_t>(k.size() / 3, 1, 3);
    const size_t d = edit_distance(key, k);
    if (d <= limit && (!best || d < best_distance)) {
      best = known;
      best_distance = d;
    }
  }
  return best;
}

// Unknown keys do not stop a solve (callers pass dictionaries of options
// meant for several entry points), but a misspelt option would silently do
// nothing: each gets one warning line.
void warn_unknown_options(PyObject* kw) {
  if (!kw || !PyDict_Check(kw)) return;
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(kw, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) continue;
    Py_ssize_t n = 0;
    const char* c = PyUnicode_AsUTF8AndSize(key, &n);
    if (!c) {
      PyErr_Clear();
      continue;
    }
    const std::string name(c, static_cast<size_t>(n));
    bool known = false;
    for (const char* k : kKnownOptions) known = known || name == k;
    if (known) continue;
    std::string line = "[pelora-opt] warning: unknown option '" + name + "' ignored";
    if (const char* near = closest_option(name)) line += std::string(" (did you mean '") + near + "'?)";
    warn_line(line);
  }
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
  warn_unknown_options(kw);
  return out;
}

}  // namespace pelora::py
