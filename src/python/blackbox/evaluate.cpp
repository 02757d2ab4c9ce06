#include "python/blackbox/evaluate.hpp"

#include <cctype>
#include <limits>

#include "python/runtime/args.hpp"
#include "python/runtime/sequence.hpp"

namespace pelora::py::blackbox {

Ref float_list(std::span<const double> x) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(x.size())));
  for (size_t k = 0; k < x.size(); ++k) {
    PyObject* v = PyFloat_FromDouble(x[k]);
    if (!v) throw_already_set();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), v);  // steals v
  }
  return list;
}

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The pending error decides: an Exception scores +inf, anything else
// (KeyboardInterrupt, SystemExit, ...) ends the run.
double score_failure() {
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();
    return kInf;
  }
  throw_already_set();
}

// The returned object as a float; failures scored as above.
double to_score(Ref out) {
  if (!out) return score_failure();
  const double v = PyFloat_AsDouble(out.get());
  if (v == -1.0 && PyErr_Occurred()) return score_failure();
  return v;
}

void check_signals() {
  if (PyErr_CheckSignals() < 0) throw_already_set();
}

}  // namespace

// PyObject_CallFunctionObjArgs passes its arguments on the C stack
// (vectorcall), so an evaluation allocates the list and its floats only.
double evaluate(PyObject* func, std::span<const double> x) {
  check_signals();
  Ref list = float_list(x);
  return to_score(Ref::steal(PyObject_CallFunctionObjArgs(func, list.get(), nullptr)));
}

double evaluate2(PyObject* func, std::span<const double> x, PyObject* extra) {
  check_signals();
  Ref list = float_list(x);
  return to_score(Ref::steal(PyObject_CallFunctionObjArgs(func, list.get(), extra, nullptr)));
}

bb::Bounds read_bounds(PyObject* seq) {
  if (PyUnicode_Check(seq)) throw_type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(seq)) throw_cannot_convert(seq, "Sequence");
  bb::Bounds b;
  for_each_item(seq, [&](PyObject* item) {
    if (!PyTuple_Check(item)) throw_cannot_convert(item, "PyTuple");
    const Py_ssize_t len = PyTuple_Size(item);
    if (len != 2) {
      throw_type_error("expected tuple of length 2, but got tuple of length " +
                       std::to_string(len));
    }
    b.lower.push_back(as_double(PyTuple_GetItem(item, 0)));
    b.upper.push_back(as_double(PyTuple_GetItem(item, 1)));
  });
  return b;
}

namespace {

// Borrowed value of `key`, or null when absent.
PyObject* lookup(PyObject* kwargs, const char* key) {
  if (!kwargs) return nullptr;
  PyObject* v = PyDict_GetItemString(kwargs, key);
  return v;
}

Ref as_index(PyObject* v) { return check(PyNumber_Index(v)); }

}  // namespace

std::optional<uint64_t> kw_u64(PyObject* kwargs, const char* key) {
  PyObject* v = lookup(kwargs, key);
  if (!v) return std::nullopt;
  Ref i = as_index(v);
  const unsigned long long n = PyLong_AsUnsignedLongLong(i.get());
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_already_set();
  return static_cast<uint64_t>(n);
}

std::optional<size_t> kw_size(PyObject* kwargs, const char* key) {
  PyObject* v = lookup(kwargs, key);
  if (!v) return std::nullopt;
  Ref i = as_index(v);
  const size_t n = PyLong_AsSize_t(i.get());
  if (n == static_cast<size_t>(-1) && PyErr_Occurred()) throw_already_set();
  return n;
}

std::optional<double> kw_double(PyObject* kwargs, const char* key) {
  PyObject* v = lookup(kwargs, key);
  if (!v) return std::nullopt;
  return as_double(v);
}

std::optional<std::string> kw_string(PyObject* kwargs, const char* key) {
  PyObject* v = lookup(kwargs, key);
  if (!v) return std::nullopt;
  return as_string(v);
}

std::optional<bool> kw_bool(PyObject* kwargs, const char* key) {
  PyObject* v = lookup(kwargs, key);
  if (!v) return std::nullopt;
  if (!PyBool_Check(v)) {
    throw_type_error(std::string(key) + " must be True or False, got " + type_name(v));
  }
  return v == Py_True;
}

size_t choice_of(const std::string& given, std::initializer_list<const char*> names,
                 const char* what) {
  std::string key = given;
  for (char& c : key) {
    c = c == '-' || c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  size_t i = 0;
  std::string listed;
  for (const char* name : names) {
    if (key == name) return i;
    listed += std::string(i++ ? ", \"" : "\"") + name + "\"";
  }
  throw_value_error(std::string("unknown ") + what + " \"" + given + "\"; the " + what +
                    "s are " + listed);
}

}  // namespace pelora::py::blackbox
