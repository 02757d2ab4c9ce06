// The Constraint class: one linear or nonlinear constraint record, printed
// as "[name: ]lhs sense rhs". Made only by comparisons (and the Model).
#include "core/expr/text.hpp"
#include "python/algebra/objects.hpp"
#include "python/algebra/operands.hpp"
#include "python/model/pickling.hpp"

namespace pelora::py {

PyObject* new_constraint(ConstraintRecord c) { return box_new(constraint_type(), std::move(c)); }

namespace {

PyObject* constraint_repr(PyObject* self) {
  return boundary([&] { return to_py_str(constraint_text(constraint_value(self))); });
}

// A Constraint has no truth value. Python evaluates `0 <= x <= 1` as
// `(0 <= x) and (x <= 1)`, so a truthy constraint would silently drop the
// first half of every chained comparison (and `x in [y]` would be True).
int constraint_bool(PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "a Constraint has no truth value: a chained comparison such as "
                  "'0 <= x <= 1' would keep only its last part; add each comparison "
                  "separately, e.g. m.add(x >= 0) and m.add(x <= 1)");
  return -1;
}

template <class F>
void* slot(F f) {
  return reinterpret_cast<void*>(f);
}

const char kConstraintDoc[] = "A constraint object returned by comparison operators.";

// No comparison slot: constraints compare and hash by identity, like plain
// objects.
PyMethodDef constraint_methods[] = {
    {"__reduce_ex__", reduce_value, METH_O, nullptr},
    {"__copy__", same_object, METH_NOARGS, nullptr},
    {"__deepcopy__", same_object, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot constraint_slots[] = {
    {Py_tp_doc, const_cast<char*>(kConstraintDoc)},
    {Py_tp_repr, slot(constraint_repr)},
    {Py_nb_bool, slot(constraint_bool)},
    {Py_tp_new, slot(no_constructor_new)},
    {Py_tp_dealloc, slot(box_dealloc<ConstraintRecord>)},
    {Py_tp_methods, reinterpret_cast<void*>(constraint_methods)},
    {0, nullptr},
};
PyType_Spec constraint_spec = {"pelora_opt.Constraint",
                               static_cast<int>(sizeof(Box<ConstraintRecord>)), 0,
                               Py_TPFLAGS_DEFAULT, constraint_slots};

PyTypeObject* g_constraint_type = nullptr;

}  // namespace

PyTypeObject* constraint_type() {
  return g_constraint_type ? g_constraint_type : type_once(g_constraint_type, constraint_spec);
}

}  // namespace pelora::py
