// The `solver_options` dict of Model.solve: the user's own settings for the
// chosen package, applied by each adapter after the options it sets itself,
// so that they override them. A setting the package refuses raises
// ValueError naming the key and the solver.
#pragma once
#include <Python.h>

#include <string>
#include <utility>

#include "python/runtime/error.hpp"
#include "python/solve/adapter.hpp"

namespace pelora::py {

// Reads the `solver_options` value: a dict with str keys (kept as a new
// reference), or None / absent for no settings. Anything else is a TypeError.
Ref read_solver_settings(PyObject* value);

// True when the solve carries at least one setting.
bool has_settings(const Options& options);

// Calls f(key_text, key, value) for every setting, in the dict's order.
template <class F>
void for_each_setting(const Options& options, F&& f) {
  if (!has_settings(options)) return;
  PyObject* dict = options.solver_settings.get();
  Py_ssize_t pos = 0;
  PyObject *key = nullptr, *value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    Ref k = Ref::borrow(key), v = Ref::borrow(value);  // the loop body may call Python
    Py_ssize_t n = 0;
    const char* c = PyUnicode_AsUTF8AndSize(k.get(), &n);
    if (!c) throw_already_set();
    f(std::string(c, static_cast<size_t>(n)), k.get(), v.get());
  }
}

// ValueError "solver_options: {solver} refused the setting '{key}' = {value
// repr}: {detail}" (detail left out when empty).
[[noreturn]] void throw_refused(const char* solver, const std::string& key, PyObject* value,
                                const std::string& detail);

// Runs f(); an ordinary Python exception it raises (not an interrupt or exit)
// becomes the refusal of `key`.
template <class F>
void refusing(const char* solver, const std::string& key, PyObject* value, F&& f) {
  try {
    f();
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    throw_refused(solver, key, value, take_error_message());
  } catch (const PyError& e) {
    throw_refused(solver, key, value, e.message);
  }
}

// For packages that take all settings in one call: runs call(); when it
// raises an ordinary Python exception and there are settings, tries each
// setting alone with probe(key, value) (a tiny problem set up with just that
// setting) and raises the refusal of the first one that fails. When every
// setting passes alone, the original exception goes on up unchanged.
template <class Call, class Probe>
auto call_blaming(const char* solver, const Options& options, Call&& call, Probe&& probe)
    -> decltype(call()) {
  try {
    return call();
  } catch (const ErrorAlreadySet&) {
    if (!has_settings(options) || !PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
    for_each_setting(options, [&](const std::string& key, PyObject* k, PyObject* val) {
      refusing(solver, key, val, [&] { probe(k, val); });
    });
    PyErr_Restore(t.release(), v.release(), b.release());
    throw;
  }
}

// Adds every setting to the dict `target` (overriding keys already there).
void merge_settings(const Options& options, PyObject* target);

}  // namespace pelora::py
