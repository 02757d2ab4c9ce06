// The Var and Expr classes: affine expressions built with + - * / and **.
#include <cstdint>
#include <string>

#include "core/expr/algebra.hpp"
#include "core/expr/text.hpp"
#include "python/algebra/objects.hpp"
#include "python/algebra/operands.hpp"
#include "python/model/handles.hpp"
#include "python/model/pickling.hpp"

namespace pelora::py {

PyObject* new_var(NameRef names, VarIndex index) {
  return box_new(var_type(), VarValue{std::move(names), index});
}

PyObject* new_var(std::string name, VarIndex index) {
  return new_var(NameRef(new NameBlock(std::move(name), index, false)), index);
}

PyObject* new_expr(Expr e) { return box_new(expr_type(), std::move(e)); }

namespace {

// ---- Var -------------------------------------------------------------------

PyObject* var_repr(PyObject* self) {
  return boundary([&] { return to_py_str("Var('" + var_name(var_value(self)) + "')"); });
}

// Hash of the index and the model's name block (which fixes the name):
// stable for the life of the variable, cheap (no name is built), and
// different for same-named variables of two models, so those never meet in
// one dict bucket (equality builds a Constraint, which has no truth value;
// lookups find the very object by identity first).
Py_hash_t var_hash(PyObject* self) {
  const VarValue& v = var_value(self);
  const uint64_t block = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(v.names.get()));
  uint64_t h = (block >> 4) * 0x9E3779B97F4A7C15ULL ^ (static_cast<uint64_t>(v.index) + 1) * 0xC2B2AE3D27D4EB4FULL;
  h ^= h >> 29;
  const Py_hash_t r = static_cast<Py_hash_t>(h >> 1);
  return r == -1 ? -2 : r;
}

PyObject* var_get_name(PyObject* self, void*) {
  return boundary([&] { return to_py_str(var_name(var_value(self))); });
}

PyObject* var_get_index(PyObject* self, void*) {
  return boundary([&] { return PyLong_FromUnsignedLong(var_value(self).index); });
}

PyGetSetDef var_getset[] = {
    {"name", var_get_name, nullptr, "The variable's name (read-only).", nullptr},
    {"index", var_get_index, nullptr, "The variable's position in its model, from 0 (read-only).",
     nullptr},
    {"lower", var_get_lower, var_set_lower,
     "Lower bound in the variable's model; setting it changes the model (NaN is refused).", nullptr},
    {"upper", var_get_upper, var_set_upper,
     "Upper bound in the variable's model; setting it changes the model (NaN is refused).", nullptr},
    {"kind", var_get_kind, var_set_kind,
     "\"continuous\", \"integer\" or \"binary\"; setting \"binary\" also sets bounds [0, 1].", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef var_methods[] = {
    {"fix", as_cfunction(var_fix), METH_VARARGS | METH_KEYWORDS,
     "fix($self, value)\n--\n\nFix the variable at `value` (both bounds); unfix() restores the "
     "bounds it had."},
    {"unfix", as_cfunction(var_unfix), METH_NOARGS,
     "unfix($self)\n--\n\nRestore the bounds the variable had before fix() (nothing when it is not "
     "fixed)."},
    {"__reduce_ex__", reduce_var, METH_O, nullptr},
    {"__copy__", same_object, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef expr_methods[] = {
    {"__reduce_ex__", reduce_value, METH_O, nullptr},
    {"__copy__", same_object, METH_NOARGS, nullptr},
    {"__deepcopy__", same_object, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* var_negative(PyObject* self) {
  return boundary([&]() PELORA_INLINE_BODY { return new_expr(var_expr(var_value(self), -1.0)); });
}

// e += scale * o for o a Var, an Expr or a number (add_operand); false when
// o is none of these.
bool add_linear_operand(Expr& e, double scale, PyObject* o) {
  if (is_var(o)) {
    add_var_value(e, var_value(o), scale);
  } else if (is_expr(o)) {
    add_expr(e, expr_value(o), scale);
  } else {
    double k;
    if (!number_operand(o, k)) return false;
    e.constant += scale * k;
  }
  return true;
}

// q + scale * e on a copy of q (the linear expression joins q's linear part).
QuadExpr quad_plus_linear(const QuadExpr& q, const Expr& e, double scale) {
  QuadExpr r = q;
  add_expr(r.linear, e, scale);
  return r;
}

PyObject* var_add(PyObject* a, PyObject* b) {
  return boundary([&]() PELORA_INLINE_BODY -> PyObject* {
    Operands ops(a, b, var_type());
    PyObject* o = ops.other;
    const VarValue& x = var_value(ops.self);
    if (is_nl_expr(o)) return nl_result('+', ops.left(), ops.right());
    if (is_quad_expr(o)) {
      QuadExpr r = quad_expr_value(o);
      add_var_value(r.linear, x, 1.0);
      return new_quad_expr(std::move(r));
    }
    Expr e = var_expr(x, 1.0);
    if (!add_linear_operand(e, 1.0, o)) throw_value_error(kUnsupportedOperand);
    return new_expr(std::move(e));
  });
}

PyObject* var_subtract(PyObject* a, PyObject* b) {
  return boundary([&]() PELORA_INLINE_BODY -> PyObject* {
    Operands ops(a, b, var_type());
    PyObject* o = ops.other;
    const VarValue& x = var_value(ops.self);
    if (is_nl_expr(o)) return nl_result('-', ops.left(), ops.right());
    if (ops.self_left) {  // x - o
      if (is_quad_expr(o)) {
        QuadExpr r = quad_expr_value(o);
        scale_quad(r, -1.0);
        add_var_value(r.linear, x, 1.0);
        return new_quad_expr(std::move(r));
      }
      Expr e = var_expr(x, 1.0);
      if (!add_linear_operand(e, -1.0, o)) throw_value_error(kUnsupportedOperand);
      return new_expr(std::move(e));
    }
    // o - x
    if (is_quad_expr(o)) {
      QuadExpr r = quad_expr_value(o);
      add_var_value(r.linear, x, -1.0);
      return new_quad_expr(std::move(r));
    }
    Expr e = var_expr(x, -1.0);
    e.constant = -0.0;
    if (!add_linear_operand(e, 1.0, o)) throw_value_error(kUnsupportedOperand);
    return new_expr(std::move(e));
  });
}

PyObject* var_multiply(PyObject* a, PyObject* b) {
  return boundary([&]() PELORA_INLINE_BODY -> PyObject* {
    Operands ops(a, b, var_type());
    PyObject* o = ops.other;
    const VarValue& x = var_value(ops.self);
    double k;
    if (number_operand(o, k)) return new_expr(var_expr(x, k));
    if (is_var(o)) {
      const VarValue& y = var_value(o);
      QuadExpr q = var_product(x.index, y.index);
      q.linear.owner = joined_owner(x.owner(), y.owner(), y.index);
      return new_quad_expr(std::move(q));
    }
    if (is_expr(o)) {
      const Expr v = var_expr(x, 1.0);
      return new_quad_expr(ops.self_left ? linear_product(v, expr_value(o)) : linear_product(expr_value(o), v));
    }
    if (is_nl_expr(o) || is_quad_expr(o)) return nl_result('*', ops.left(), ops.right());
    throw_value_error("Var can be multiplied by a scalar, Var, or NlExpr");
  });
}

PyObject* var_true_divide(PyObject* a, PyObject* b) {
  return boundary([&]() PELORA_INLINE_BODY -> PyObject* {
    Operands ops(a, b, var_type());
    if (ops.self_left) {
      double k;
      if (number_operand(ops.other, k)) {
        if (k == 0.0) throw_value_error(kDivisionByZero);
        return new_expr(var_expr(var_value(ops.self), 1.0 / k));
      }
    }
    return nl_result('/', ops.left(), ops.right());
  });
}

PyObject* var_power(PyObject* a, PyObject* b, PyObject* c) {
  return boundary([&] { return power_result(a, b, c); });
}

PyObject* expr_power(PyObject* a, PyObject* b, PyObject* c) {
  return boundary([&] { return power_result(a, b, c); });
}

// ---- Expr ------------------------------------------------------------------

PyObject* expr_repr(PyObject* self) {
  return boundary([&] { return to_py_str(expr_text(expr_value(self))); });
}

PyObject* expr_negative(PyObject* self) {
  return boundary([&]() PELORA_INLINE_BODY { return new_expr(negated(expr_value(self))); });
}

PyObject* expr_add(PyObject* a, PyObject* b) {
  return boundary([&]() PELORA_INLINE_BODY -> PyObject* {
    Operands ops(a, b, expr_type());
    PyObject* o = ops.other;
    const Expr& self = expr_value(ops.self);
    // The classes are disjoint, so testing the common Expr case first does
    // not change which rule applies.
    if (is_expr(o)) {
      Expr e = self;
      add_expr(e, expr_value(o), 1.0);
      return new_expr(std::move(e));
    }
    if (is_nl_expr(o)) return nl_result('+', ops.left(), ops.right());
    if (is_quad_expr(o)) return new_quad_expr(quad_plus_linear(quad_expr_value(o), self, 1.0));
    Expr e = self;
    if (!add_linear_operand(e, 1.0, o)) throw_value_error(kUnsupportedOperand);
    return new_expr(std::move(e));
  });
}

PyObject* expr_subtract(PyObject* a, PyObject* b) {
  return boundary([&]() PELORA_INLINE_BODY -> PyObject* {
    Operands ops(a, b, expr_type());
    PyObject* o = ops.other;
    const Expr& self = expr_value(ops.self);
    if (is_nl_expr(o)) return nl_result('-', ops.left(), ops.right());
    if (ops.self_left) {  // e - o
      if (is_quad_expr(o)) {
        QuadExpr r = quad_expr_value(o);
        scale_quad(r, -1.0);
        add_expr(r.linear, self, 1.0);
        return new_quad_expr(std::move(r));
      }
      Expr e = self;
      if (!add_linear_operand(e, -1.0, o)) throw_value_error(kUnsupportedOperand);
      return new_expr(std::move(e));
    }
    // o - e
    if (is_quad_expr(o)) return new_quad_expr(quad_plus_linear(quad_expr_value(o), self, -1.0));
    Expr e = negated(self);
    if (!add_linear_operand(e, 1.0, o)) throw_value_error(kUnsupportedOperand);
    return new_expr(std::move(e));
  });
}

PyObject* expr_multiply(PyObject* a, PyObject* b) {
  return boundary([&]() PELORA_INLINE_BODY -> PyObject* {
    Operands ops(a, b, expr_type());
    double k;
    if (number_operand(ops.other, k)) {
      Expr e = expr_value(ops.self);
      scale_expr(e, k);
      return new_expr(std::move(e));
    }
    PyObject* o = ops.other;
    if (is_expr(o)) return new_quad_expr(linear_product(expr_value(ops.left()), expr_value(ops.right())));
    if (is_var(o)) {
      const Expr v = var_expr(var_value(o), 1.0);
      const Expr& e = expr_value(ops.self);
      return new_quad_expr(ops.self_left ? linear_product(e, v) : linear_product(v, e));
    }
    if (is_nl_expr(o) || is_quad_expr(o)) return nl_result('*', ops.left(), ops.right());
    throw_value_error("Expr can be multiplied by a scalar or NlExpr");
  });
}

PyObject* expr_true_divide(PyObject* a, PyObject* b) {
  return boundary([&]() PELORA_INLINE_BODY -> PyObject* {
    Operands ops(a, b, expr_type());
    if (ops.self_left) {
      double k;
      if (number_operand(ops.other, k)) {
        if (k == 0.0) throw_value_error(kDivisionByZero);
        Expr e = expr_value(ops.self);
        scale_expr(e, 1.0 / k);
        return new_expr(std::move(e));
      }
    }
    return nl_result('/', ops.left(), ops.right());
  });
}

template <class F>
void* slot(F f) {
  return reinterpret_cast<void*>(f);
}

const char kVarDoc[] =
    "A variable reference returned to Python. Supports operator overloading\n"
    "to build expressions naturally: `x + 2*y >= 5`.";
const char kExprDoc[] = "A linear expression in Python. Built by combining Var objects with +, -, *.";

PyType_Slot var_slots[] = {
    {Py_tp_doc, const_cast<char*>(kVarDoc)},
    {Py_tp_repr, slot(var_repr)},
    {Py_nb_negative, slot(var_negative)},
    {Py_nb_add, slot(var_add)},
    {Py_nb_subtract, slot(var_subtract)},
    {Py_nb_multiply, slot(var_multiply)},
    {Py_nb_true_divide, slot(var_true_divide)},
    {Py_nb_power, slot(var_power)},
    {Py_tp_richcompare, slot(expression_richcompare)},
    {Py_tp_hash, slot(var_hash)},
    {Py_tp_getset, var_getset},
    {Py_tp_methods, var_methods},
    {Py_tp_new, slot(no_constructor_new)},
    {Py_tp_dealloc, slot(box_dealloc<VarValue>)},
    {0, nullptr},
};
PyType_Spec var_spec = {"pelora_opt.Var", static_cast<int>(sizeof(Box<VarValue>)), 0,
                        Py_TPFLAGS_DEFAULT, var_slots};

PyType_Slot expr_slots[] = {
    {Py_tp_doc, const_cast<char*>(kExprDoc)},
    {Py_tp_repr, slot(expr_repr)},
    {Py_nb_negative, slot(expr_negative)},
    {Py_nb_add, slot(expr_add)},
    {Py_nb_subtract, slot(expr_subtract)},
    {Py_nb_multiply, slot(expr_multiply)},
    {Py_nb_true_divide, slot(expr_true_divide)},
    {Py_nb_power, slot(expr_power)},
    {Py_tp_richcompare, slot(expression_richcompare)},
    {Py_tp_hash, slot(PyObject_HashNotImplemented)},
    {Py_tp_new, slot(no_constructor_new)},
    {Py_tp_dealloc, slot(box_dealloc<Expr>)},
    {Py_tp_methods, expr_methods},
    {0, nullptr},
};
PyType_Spec expr_spec = {"pelora_opt.Expr", static_cast<int>(sizeof(Box<Expr>)), 0,
                         Py_TPFLAGS_DEFAULT, expr_slots};

PyTypeObject* g_var_type = nullptr;
PyTypeObject* g_expr_type = nullptr;

}  // namespace

PyTypeObject* var_type() { return g_var_type ? g_var_type : numpy_defers(type_once(g_var_type, var_spec)); }
PyTypeObject* expr_type() { return g_expr_type ? g_expr_type : numpy_defers(type_once(g_expr_type, expr_spec)); }

}  // namespace pelora::py
