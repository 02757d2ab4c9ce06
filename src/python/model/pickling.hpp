// Pickling and copying of the modelling objects. Every class reduces to
// pelora_opt._restore(kind, ...): a Model and the value classes to one bytes
// block in the compact form of core/model/serialize.hpp (handed to protocol
// 5 as a PickleBuffer, so it can travel out of band), a Var to its model
// and index, a ConstraintRef to its model and row id (so pickle's memo makes
// the handles of one pickled model that model's handles again).
#pragma once
#include <Python.h>

namespace pelora::py {

// __reduce_ex__(protocol) of each class (METH_O).
PyObject* reduce_model(PyObject* self, PyObject* protocol);
PyObject* reduce_var(PyObject* self, PyObject* protocol);
PyObject* reduce_value(PyObject* self, PyObject* protocol);  // Expr, QuadExpr, NlExpr, Constraint
PyObject* reduce_constraint_ref(PyObject* self, PyObject* protocol);
PyObject* reduce_result(PyObject* self, PyObject* protocol);
PyObject* reduce_blackbox_result(PyObject* self, PyObject* protocol);

// Model.copy() and __copy__ / __deepcopy__(memo) of Model.
PyObject* model_copy(PyObject* self, PyObject* unused);
PyObject* model_deepcopy(PyObject* self, PyObject* memo);
// __copy__ / __deepcopy__ of the immutable value classes: the object itself.
PyObject* same_object(PyObject* self, PyObject* unused);

extern PyMethodDef restore_def;

}  // namespace pelora::py
