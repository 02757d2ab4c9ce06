#include "python/algebra/operands.hpp"

#include <cmath>

#include "core/expr/algebra.hpp"
#include "core/expr/comparison.hpp"
#include "python/runtime/error.hpp"

namespace pelora::py {

bool number_slow(PyObject* o, double& out) {
  if (PyLong_Check(o)) {  // int and bool
    out = PyLong_AsDouble(o);
  } else if (is_algebra_object(o) || is_constraint(o)) {
    return false;
  } else {
    out = PyFloat_AsDouble(o);
  }
  if (out == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_already_set();
    PyErr_Clear();
    return false;
  }
  return true;
}

NlOperand::NlOperand(PyObject* o) : p_(&storage_) {
  if (is_nl_expr(o)) {
    p_ = &nl_expr_value(o);
  } else if (is_var(o)) {
    storage_ = nl_from_expr(var_expr(var_value(o), 1.0));
  } else if (is_expr(o)) {
    storage_ = nl_from_expr(expr_value(o));
  } else if (is_quad_expr(o)) {
    storage_ = nl_from_quad(quad_expr_value(o));
  } else {
    double v;
    if (!number_operand(o, v)) {
      throw_value_error("Expected Var, Expr, NlExpr, or numeric for nonlinear operand");
    }
    storage_ = nl_from_number(v);
  }
}

NlExpr to_nl_operand(PyObject* o) {
  NlOperand n(o);
  return n.get();
}

PyObject* nl_result(char op, PyObject* left, PyObject* right) {
  if (op == '+' || op == '-') {
    NlExpr l = to_nl_operand(left);
    NlOperand r(right);
    add_nl(l, r.get(), op == '+' ? 1.0 : -1.0);
    return new_nl_expr(std::move(l));
  }
  NlOperand l(left);
  NlOperand r(right);
  return new_nl_expr(nl_binary_node(op == '*' ? NlKind::Mul : NlKind::Div, l.get(), r.get()));
}

namespace {

// A native signed integer through the index protocol; false (no error
// pending) when `o` has none or it does not fit.
bool index_operand(PyObject* o, long long& out) {
  Ref i = Ref::steal(PyNumber_Index(o));
  if (i) {
    out = PyLong_AsLongLong(i.get());
    if (!(out == -1 && PyErr_Occurred())) return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_already_set();
  PyErr_Clear();
  return false;
}

// Integer powers are chains of products; larger exponents would build
// trees too big to print or differentiate.
constexpr long long kMaxPower = 64;

}  // namespace

PyObject* power_result(PyObject* base, PyObject* exponent, PyObject* modulus) {
  if (!is_algebra_object(base)) return not_implemented();  // no reflected power
  long long n, unused;
  if (modulus != Py_None && !index_operand(modulus, unused)) return not_implemented();
  if (!index_operand(exponent, n)) {
    if (!PyFloat_Check(exponent)) return not_implemented();
    const double v = PyFloat_AsDouble(exponent);
    if (v == 0.5) {
      NlOperand b(base);
      return new_nl_expr(nl_unary_node(NlKind::Sqrt, b.get()));
    }
    if (!(std::isfinite(v) && v == std::trunc(v) && std::fabs(v) <= kMaxPower)) {
      throw_value_error("Only integer powers and 0.5 are supported for expressions");
    }
    n = static_cast<long long>(v);
  }
  if (n == 1) {
    if (is_var(base)) return new_expr(var_expr(var_value(base), 1.0));
    if (is_expr(base)) return new_expr(expr_value(base));
    if (is_quad_expr(base)) return new_quad_expr(quad_expr_value(base));
    return new_nl_expr(nl_expr_value(base));
  }
  if (n == 2 && is_var(base)) {
    const VarValue& x = var_value(base);
    QuadExpr q = var_product(x.index, x.index);
    q.linear.owner = x.owner();
    return new_quad_expr(std::move(q));
  }
  if (n == 2 && is_expr(base)) return new_quad_expr(linear_square(expr_value(base)));
  if (n > kMaxPower || n < -kMaxPower) {
    throw_value_error("Power exponent must be at most 64 in magnitude");
  }
  NlOperand b(base);
  return new_nl_expr(nl_integer_power(b.get(), n));
}

PyTypeObject* numpy_defers(PyTypeObject* type) {
  if (type && PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), "__array_ufunc__", Py_None) < 0) {
    throw_already_set();
  }
  return type;
}

PyObject* to_py_str(const std::string& s) {
  PyObject* o = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  if (!o) throw_already_set();
  return o;
}

namespace {

// `lhs OP other` with a linear left side: a number, a Var or an Expr on the
// right keeps it linear, anything else is refused.
ConstraintRecord linear_side(const Expr& lhs, PyObject* other, Sense sense) {
  double k;
  if (number_operand(other, k)) return linear_constraint(lhs, k, sense);
  if (is_var(other)) {
    const VarValue& v = var_value(other);
    return linear_constraint(lhs, v.index, v.owner(), sense);
  }
  if (is_expr(other)) return linear_constraint(lhs, expr_value(other), sense);
  throw_value_error("RHS must be a number, Var, or Expr");
}

ConstraintRecord nonlinear_side(const NlExpr& lhs, PyObject* other, Sense sense) {
  NlOperand r(other);
  return nonlinear_constraint(lhs, r.get(), sense);
}

ConstraintRecord build_constraint(PyObject* self, PyObject* other, Sense sense) {
  if (is_var(self)) {
    Expr e = var_expr(var_value(self), 1.0);
    if (is_nl_expr(other)) return nonlinear_side(nl_from_expr(e), other, sense);
    return linear_side(e, other, sense);
  }
  if (is_expr(self)) {
    const Expr& e = expr_value(self);
    if (is_nl_expr(other)) return nonlinear_side(nl_from_expr(e), other, sense);
    return linear_side(e, other, sense);
  }
  if (is_quad_expr(self)) {
    const QuadExpr& q = quad_expr_value(self);
    double k;
    if (q.quad_terms.empty() && number_operand(other, k)) return linear_constraint(q.linear, k, sense);
    return nonlinear_side(nl_from_quad(q), other, sense);
  }
  return nonlinear_side(nl_expr_value(self), other, sense);
}

}  // namespace

PyObject* expression_richcompare(PyObject* self, PyObject* other, int op) {
  return boundary([&]() PELORA_INLINE_BODY -> PyObject* {
    switch (op) {
      case Py_LT:
      case Py_GT:
        return not_implemented();  // strict inequalities are not constraints
      case Py_LE:
        return new_constraint(build_constraint(self, other, Sense::Le));
      case Py_GE:
        return new_constraint(build_constraint(self, other, Sense::Ge));
      case Py_EQ:
        return new_constraint(build_constraint(self, other, Sense::Eq));
      case Py_NE: {
        // `a != b` is the negation of `a == b`, which builds a Constraint
        // (raising when it cannot be built) and is therefore never "unequal".
        Ref eq = check(PyObject_RichCompare(self, other, Py_EQ));
        if (is_constraint(eq.get())) return Py_NewRef(Py_False);
        int truth = PyObject_IsTrue(eq.get());
        if (truth < 0) throw_already_set();
        return Py_NewRef(truth ? Py_False : Py_True);
      }
      default:
        throw InternalFailure("comparison operator code out of range");
    }
  });
}

}  // namespace pelora::py
