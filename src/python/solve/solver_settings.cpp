#include "python/solve/solver_settings.hpp"

#include "python/runtime/args.hpp"
#include "python/runtime/call.hpp"

namespace pelora::py {

Ref read_solver_settings(PyObject* value) {
  if (value == Py_None) return {};
  if (!PyDict_Check(value)) {
    throw_type_error(std::string("solver_options must be a dict of the solver's own settings, not ") +
                     type_name(value));
  }
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *item = nullptr;
  while (PyDict_Next(value, &pos, &key, &item)) {
    if (!PyUnicode_Check(key)) {
      throw_type_error(std::string("solver_options keys must be str, not ") +
                       type_name(key));
    }
  }
  // A copy: the caller's dict may change while the solve runs (a callback,
  // another thread), and the settings must stay what was passed.
  return check(PyDict_Copy(value));
}

bool has_settings(const Options& options) {
  return options.solver_settings && PyDict_Size(options.solver_settings.get()) > 0;
}

void throw_refused(const char* solver, const std::string& key, PyObject* value,
                   const std::string& detail) {
  std::string shown = "?";
  if (Ref r = Ref::steal(PyObject_Repr(value))) {
    Py_ssize_t n = 0;
    if (const char* c = PyUnicode_AsUTF8AndSize(r.get(), &n)) shown.assign(c, static_cast<size_t>(n));
  }
  PyErr_Clear();
  std::string m = std::string("solver_options: ") + solver + " refused the setting '" + key +
                  "' = " + shown;
  if (!detail.empty()) m += ": " + detail;
  throw_value_error(std::move(m));
}

void merge_settings(const Options& options, PyObject* target) {
  if (!has_settings(options)) return;
  check_status(PyDict_Update(target, options.solver_settings.get()));
}

}  // namespace pelora::py
