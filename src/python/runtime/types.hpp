// Python classes created at run time from slot tables, and the boxes that hold a core C++
// value inside a Python object.
#pragma once
#include <Python.h>

#include <new>
#include <utility>

#include "python/runtime/error.hpp"

namespace pelora::py {

// A method or function implementation of any signature as the PyCFunction
// a method table stores (METH_VARARGS | METH_KEYWORDS ones take kwargs too).
template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// A Python object holding one C++ value. Value classes are not GC-tracked:
// they own no Python references.
template <class T>
struct Box {
  PyObject_HEAD
  T value;
};

template <class T>
T& unbox(PyObject* o) {
  return reinterpret_cast<Box<T>*>(o)->value;
}

// New instance of `type` holding `value` (new reference; throws on failure).
template <class T>
PyObject* box_new(PyTypeObject* type, T&& value) {
  using V = std::remove_cvref_t<T>;
  void* mem = PyObject_Malloc(sizeof(Box<V>));
  if (!mem) throw std::bad_alloc();
  auto* box = static_cast<Box<V>*>(mem);
  try {
    new (&box->value) V(std::forward<T>(value));
  } catch (...) {
    PyObject_Free(mem);
    throw;
  }
  PyObject_Init(reinterpret_cast<PyObject*>(box), type);
  return reinterpret_cast<PyObject*>(box);
}

template <class T>
void box_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Box<T>*>(self)->value.~T();
  PyObject_Free(self);
  Py_DECREF(type);
}

// tp_new of every class that Python code may not construct:
// TypeError "No constructor defined for {}".
PyObject* no_constructor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Creates the type from `type_def` once and keeps it for the life of the process.
// If creating it re-entered and filled the cell, the first value is kept.
PyTypeObject* type_once(PyTypeObject*& cell, PyType_Spec& type_def);

inline bool is_instance(PyObject* o, PyTypeObject* t) { return Py_TYPE(o) == t; }

}  // namespace pelora::py
