// The QuadExpr and NlExpr classes.
#include "core/expr/algebra.hpp"
#include "core/expr/text.hpp"
#include "python/algebra/objects.hpp"
#include "python/algebra/operands.hpp"
#include "python/model/pickling.hpp"

namespace pelora::py {

PyObject* new_quad_expr(QuadExpr q) { return box_new(quad_expr_type(), std::move(q)); }
PyObject* new_nl_expr(NlExpr n) { return box_new(nl_expr_type(), std::move(n)); }

namespace {

constexpr const char* kUnsupportedForQuad = "Unsupported operand type for QuadExpr";

// ---- QuadExpr --------------------------------------------------------------

PyObject* quad_repr(PyObject* self) {
  return boundary([&] { return to_py_str(quad_expr_text(quad_expr_value(self))); });
}

PyObject* quad_negative(PyObject* self) {
  return boundary([&]() PELORA_INLINE_BODY {
    QuadExpr q = quad_expr_value(self);
    scale_quad(q, -1.0);
    return new_quad_expr(std::move(q));
  });
}

// q + sign * o for o a Var, an Expr, a QuadExpr or a number; false when o
// is none of these.
bool add_quad_operand(QuadExpr& q, double sign, PyObject* o) {
  if (is_var(o)) {
    add_var_value(q.linear, var_value(o), sign);
  } else if (is_expr(o)) {
    add_expr(q.linear, expr_value(o), sign);
  } else if (is_quad_expr(o)) {
    add_quad_scaled(q, quad_expr_value(o), sign);
  } else {
    double k;
    if (!number_operand(o, k)) return false;
    q.linear.constant += sign * k;
  }
  return true;
}

PyObject* quad_add(PyObject* a, PyObject* b) {
  return boundary([&]() PELORA_INLINE_BODY -> PyObject* {
    Operands ops(a, b, quad_expr_type());
    if (is_nl_expr(ops.other)) return nl_result('+', ops.left(), ops.right());
    QuadExpr q = quad_expr_value(ops.self);
    if (!add_quad_operand(q, 1.0, ops.other)) throw_value_error(kUnsupportedForQuad);
    return new_quad_expr(std::move(q));
  });
}

PyObject* quad_subtract(PyObject* a, PyObject* b) {
  return boundary([&]() PELORA_INLINE_BODY -> PyObject* {
    Operands ops(a, b, quad_expr_type());
    if (is_nl_expr(ops.other)) return nl_result('-', ops.left(), ops.right());
    QuadExpr q = quad_expr_value(ops.self);
    if (!ops.self_left) scale_quad(q, -1.0);  // o - q is -q + o
    if (!add_quad_operand(q, ops.self_left ? -1.0 : 1.0, ops.other)) throw_value_error(kUnsupportedForQuad);
    return new_quad_expr(std::move(q));
  });
}

PyObject* quad_multiply(PyObject* a, PyObject* b) {
  return boundary([&]() PELORA_INLINE_BODY -> PyObject* {
    Operands ops(a, b, quad_expr_type());
    double k;
    if (number_operand(ops.other, k)) {
      QuadExpr q = quad_expr_value(ops.self);
      scale_quad(q, k);
      return new_quad_expr(std::move(q));
    }
    return nl_result('*', ops.left(), ops.right());
  });
}

PyObject* quad_true_divide(PyObject* a, PyObject* b) {
  return boundary([&]() PELORA_INLINE_BODY -> PyObject* {
    Operands ops(a, b, quad_expr_type());
    double k;
    if (ops.self_left && number_operand(ops.other, k)) {
      if (k == 0.0) throw_value_error(kDivisionByZero);
      QuadExpr q = quad_expr_value(ops.self);
      scale_quad(q, 1.0 / k);
      return new_quad_expr(std::move(q));
    }
    return nl_result('/', ops.left(), ops.right());
  });
}

PyObject* quad_power(PyObject* a, PyObject* b, PyObject* c) {
  return boundary([&] { return power_result(a, b, c); });
}

// ---- NlExpr ----------------------------------------------------------------

PyObject* nl_repr(PyObject* self) {
  return boundary([&] { return to_py_str(nl_expr_text(nl_expr_value(self))); });
}

PyObject* nl_negative(PyObject* self) {
  return boundary([&] {
    NlExpr n = nl_expr_value(self);
    scale_nl(n, -1.0);
    return new_nl_expr(std::move(n));
  });
}

PyObject* nl_add(PyObject* a, PyObject* b) {
  return boundary([&] {
    Operands ops(a, b, nl_expr_type());
    return nl_result('+', ops.left(), ops.right());
  });
}

PyObject* nl_subtract(PyObject* a, PyObject* b) {
  return boundary([&] {
    Operands ops(a, b, nl_expr_type());
    return nl_result('-', ops.left(), ops.right());
  });
}

PyObject* nl_multiply(PyObject* a, PyObject* b) {
  return boundary([&] {
    Operands ops(a, b, nl_expr_type());
    double k;
    if (number_operand(ops.other, k)) {
      NlExpr n = nl_expr_value(ops.self);
      scale_nl(n, k);
      return new_nl_expr(std::move(n));
    }
    return nl_result('*', ops.left(), ops.right());
  });
}

PyObject* nl_power(PyObject* a, PyObject* b, PyObject* c) {
  return boundary([&] { return power_result(a, b, c); });
}

PyObject* nl_true_divide(PyObject* a, PyObject* b) {
  return boundary([&] {
    Operands ops(a, b, nl_expr_type());
    double k;
    if (ops.self_left && number_operand(ops.other, k)) {
      if (k == 0.0) throw_value_error(kDivisionByZero);
      NlExpr n = nl_expr_value(ops.self);
      scale_nl(n, 1.0 / k);
      return new_nl_expr(std::move(n));
    }
    return nl_result('/', ops.left(), ops.right());
  });
}

template <class F>
void* slot(F f) {
  return reinterpret_cast<void*>(f);
}

const char kQuadDoc[] =
    "A quadratic expression: linear + quadratic terms.\n"
    "Supports x**2, x*y, and combinations with linear expressions.";
const char kNlDoc[] =
    "A nonlinear expression in Python. Produced by `sin`/`cos`/`sqrt` applied\n"
    "to `Var`/`Expr`, or by arithmetic combining a nonlinear operand with a\n"
    "`Var`/`Expr`/scalar. Comparison operators produce nonlinear constraints.";

PyMethodDef quad_methods[] = {
    {"__reduce_ex__", reduce_value, METH_O, nullptr},
    {"__copy__", same_object, METH_NOARGS, nullptr},
    {"__deepcopy__", same_object, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot quad_slots[] = {
    {Py_tp_doc, const_cast<char*>(kQuadDoc)},
    {Py_tp_repr, slot(quad_repr)},
    {Py_nb_negative, slot(quad_negative)},
    {Py_nb_add, slot(quad_add)},
    {Py_nb_subtract, slot(quad_subtract)},
    {Py_nb_multiply, slot(quad_multiply)},
    {Py_nb_true_divide, slot(quad_true_divide)},
    {Py_nb_power, slot(quad_power)},
    {Py_tp_richcompare, slot(expression_richcompare)},
    {Py_tp_hash, slot(PyObject_HashNotImplemented)},
    {Py_tp_new, slot(no_constructor_new)},
    {Py_tp_dealloc, slot(box_dealloc<QuadExpr>)},
    {Py_tp_methods, reinterpret_cast<void*>(quad_methods)},
    {0, nullptr},
};
PyType_Spec quad_spec = {"pelora_opt.QuadExpr", static_cast<int>(sizeof(Box<QuadExpr>)), 0,
                         Py_TPFLAGS_DEFAULT, quad_slots};

PyMethodDef nl_methods[] = {
    {"__reduce_ex__", reduce_value, METH_O, nullptr},
    {"__copy__", same_object, METH_NOARGS, nullptr},
    {"__deepcopy__", same_object, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot nl_slots[] = {
    {Py_tp_doc, const_cast<char*>(kNlDoc)},
    {Py_tp_repr, slot(nl_repr)},
    {Py_nb_negative, slot(nl_negative)},
    {Py_nb_add, slot(nl_add)},
    {Py_nb_subtract, slot(nl_subtract)},
    {Py_nb_multiply, slot(nl_multiply)},
    {Py_nb_true_divide, slot(nl_true_divide)},
    {Py_nb_power, slot(nl_power)},
    {Py_tp_richcompare, slot(expression_richcompare)},
    {Py_tp_hash, slot(PyObject_HashNotImplemented)},
    {Py_tp_new, slot(no_constructor_new)},
    {Py_tp_dealloc, slot(box_dealloc<NlExpr>)},
    {Py_tp_methods, reinterpret_cast<void*>(nl_methods)},
    {0, nullptr},
};
PyType_Spec nl_spec = {"pelora_opt.NlExpr", static_cast<int>(sizeof(Box<NlExpr>)), 0,
                       Py_TPFLAGS_DEFAULT, nl_slots};

PyTypeObject* g_quad_type = nullptr;
PyTypeObject* g_nl_type = nullptr;

}  // namespace

PyTypeObject* quad_expr_type() {
  return g_quad_type ? g_quad_type : numpy_defers(type_once(g_quad_type, quad_spec));
}
PyTypeObject* nl_expr_type() { return g_nl_type ? g_nl_type : numpy_defers(type_once(g_nl_type, nl_spec)); }

}  // namespace pelora::py
