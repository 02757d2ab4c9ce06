// Handles on the parts of a model: the model-linked side of Var (bounds,
// kind, fix) and ConstraintRef, the handle Model.add returns. A handle names
// its model by id and its row by the row's id, never by position, so it
// stays valid when earlier rows are removed.
#pragma once
#include <Python.h>

#include <cstdint>

#include "core/model/editing.hpp"
#include "python/runtime/ref.hpp"
#include "python/registry.hpp"

namespace pelora::py {

struct ConstraintRefValue {
  ModelId model;
  uint64_t id;
  RowKind kind;
  Ref keep = Ref();  // the Model object, kept alive while the handle lives
};

inline bool is_constraint_ref(PyObject* o) { return Py_TYPE(o) == constraint_ref_type(); }

// A handle on row `v` of the Model object `model` (which it keeps alive).
PyObject* new_constraint_ref(ConstraintRefValue v, PyObject* model);
const ConstraintRefValue& constraint_ref_value(PyObject* o);

// The current position of a handle's row in `d` (the handle's model or a
// copy of it); ValueError when the row was removed or is another model's.
size_t row_of(const ModelData& d, const ConstraintRefValue& r);

// A constraint given as a ConstraintRef or by name: its kind and position.
struct RowAt {
  RowKind kind;
  size_t pos;
};
RowAt find_row(const ModelData& d, PyObject* constraint);

// Var attributes and methods that read or change the variable's model.
PyObject* var_get_lower(PyObject* self, void*);
PyObject* var_get_upper(PyObject* self, void*);
PyObject* var_get_kind(PyObject* self, void*);
int var_set_lower(PyObject* self, PyObject* value, void*);
int var_set_upper(PyObject* self, PyObject* value, void*);
int var_set_kind(PyObject* self, PyObject* value, void*);
PyObject* var_fix(PyObject* self, PyObject* args, PyObject* kw);
PyObject* var_unfix(PyObject* self, PyObject*);
// 0, or -1 when `boundary_result` is null (a setter's return value).
int setter_status(PyObject* boundary_result);

}  // namespace pelora::py
