#include "python/runtime/types.hpp"

#include "python/runtime/ref.hpp"

namespace pelora::py {

PyObject* no_constructor_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref name = Ref::steal(PyType_GetName(type));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

PyTypeObject* type_once(PyTypeObject*& cell, PyType_Spec& type_def) {
  if (cell) return cell;
  PyObject* t = PyType_FromSpec(&type_def);
  if (!t) throw_already_set();
  if (cell) {
    Py_DECREF(t);
  } else {
    cell = reinterpret_cast<PyTypeObject*>(t);
  }
  return cell;
}

}  // namespace pelora::py
