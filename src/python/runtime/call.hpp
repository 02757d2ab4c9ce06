// Calling into Python packages: imports, attribute look-ups, calls and the
// small value conversions around them. Every helper returns an owned result
// and throws (error.hpp) when the interpreter reports a failure.
#pragma once
#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "python/runtime/error.hpp"
#include "python/runtime/imports.hpp"
#include "python/runtime/ref.hpp"
#include "python/runtime/sigint.hpp"

namespace pelora::py {

// A module already imported comes straight from sys.modules. A first import
// runs with Ctrl-C held back until it has ended (a module cut short half-way
// could never be imported again in this process); the KeyboardInterrupt
// comes right after.
inline PyObject* import_module_raw(const char* name) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  if (modules && PyDict_GetItemString(modules, name)) return PyImport_ImportModule(name);
  try {
    const DeferSigint hold_ctrl_c;
    return PyImport_ImportModule(name);
  } catch (const ErrorAlreadySet&) {  // the signal came first: nothing was imported
    return nullptr;
  }
}

// A package that is not installed raises ImportError naming what needs it
// and how to install it (imports.hpp).
inline Ref import_module(const char* name) {
  PyObject* module = import_module_raw(name);
  if (!module) throw_import_failure(name);
  return Ref::steal(module);
}

inline Ref get_attr(PyObject* o, const char* name) { return check(PyObject_GetAttrString(o, name)); }

// callable(args...); every argument is a borrowed, non-null object.
template <class... A>
Ref call(PyObject* callable, A... args) {
  return check(PyObject_CallFunctionObjArgs(callable, static_cast<PyObject*>(args)..., nullptr));
}

// o.name(args...); every argument is a borrowed, non-null object.
template <class... A>
Ref call_method(PyObject* o, const char* name, A... args) {
  Ref method = get_attr(o, name);
  return call(method.get(), args...);
}

inline Ref py_float(double v) { return check(PyFloat_FromDouble(v)); }
inline Ref py_int(long long v) { return check(PyLong_FromLongLong(v)); }
inline Ref py_str(std::string_view s) {
  return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref py_bool(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

// Writes `text` to sys.stderr (or the process's standard error when there is
// none) as it is; long texts are written in pieces.
inline void write_stderr(std::string_view text) {
  constexpr size_t kChunk = 900;  // PySys_WriteStderr truncates above 1000 bytes
  for (size_t pos = 0; pos < text.size(); pos += kChunk) {
    std::string piece(text.substr(pos, kChunk));
    PySys_WriteStderr("%s", piece.c_str());
  }
}

}  // namespace pelora::py
