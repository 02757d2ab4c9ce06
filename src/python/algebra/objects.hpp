// The Python expression classes and how other parts of the layer make and
// read them. Each class is a Box around its core value.
#pragma once
#include <Python.h>

#include <string>

#include "core/expr/constraint.hpp"
#include "core/model/var_names.hpp"
#include "python/registry.hpp"
#include "python/runtime/types.hpp"

namespace pelora::py {

// A variable handle: its index and the model's own name block (shared, so a
// Var costs no string of its own; the Var keeps the name after its model goes).
struct VarValue {
  NameRef names;
  VarIndex index;

  std::string name() const { return names.name_of(index); }
  // The model the variable belongs to (the id its name block carries).
  ModelId owner() const noexcept { return names ? names.get()->owner() : kNoModel; }
};

// The expression c * v, carrying v's model.
inline Expr var_expr(const VarValue& v, double c) {
  Expr e{LinearTerms::single(v.index, c), 0.0};
  e.owner = v.owner();
  return e;
}
// e += scale * v (refused when v belongs to another model than e's terms).
inline void add_var_value(Expr& e, const VarValue& v, double scale) {
  const ModelId o = v.owner();
  if (e.owner != o) e.owner = joined_owner(e.owner, o, v.index);
  e.terms.add_term(v.index, scale);
}

// The name a Var was created with (the one accessor every reader uses).
inline std::string var_name(const VarValue& v) { return v.name(); }

// New Python objects (new references; throw on failure).
PyObject* new_var(NameRef names, VarIndex index);
// A Var with a name of its own (not held by any model).
PyObject* new_var(std::string name, VarIndex index);
PyObject* new_expr(Expr e);
PyObject* new_quad_expr(QuadExpr q);
PyObject* new_nl_expr(NlExpr n);
PyObject* new_constraint(ConstraintRecord c);

inline bool is_var(PyObject* o) { return Py_TYPE(o) == var_type(); }
inline bool is_expr(PyObject* o) { return Py_TYPE(o) == expr_type(); }
inline bool is_quad_expr(PyObject* o) { return Py_TYPE(o) == quad_expr_type(); }
inline bool is_nl_expr(PyObject* o) { return Py_TYPE(o) == nl_expr_type(); }
inline bool is_constraint(PyObject* o) { return Py_TYPE(o) == constraint_type(); }

inline const VarValue& var_value(PyObject* o) { return unbox<VarValue>(o); }
inline const Expr& expr_value(PyObject* o) { return unbox<Expr>(o); }
inline const QuadExpr& quad_expr_value(PyObject* o) { return unbox<QuadExpr>(o); }
inline const NlExpr& nl_expr_value(PyObject* o) { return unbox<NlExpr>(o); }
inline const ConstraintRecord& constraint_value(PyObject* o) { return unbox<ConstraintRecord>(o); }

}  // namespace pelora::py
