// How the expression classes read the other operand of an operator: as a
// number, or converted to a nonlinear expression (to_nl). Shared by the
// number slots, the comparison slot and the module functions.
#pragma once
#include <Python.h>

#include "core/expr/expressions.hpp"
#include "python/algebra/objects.hpp"

namespace pelora::py {

// True for the instances of the four expression classes and Var.
inline bool is_algebra_object(PyObject* o) {
  return is_var(o) || is_expr(o) || is_quad_expr(o) || is_nl_expr(o);
}

// Reads `o` as a number: float and int (bool included) directly, anything
// else through the interpreter's float conversion (__float__, __index__).
// Returns false, with no error pending, when `o` is not a number. An
// interrupt-like failure (not an Exception) propagates.
bool number_slow(PyObject* o, double& out);
inline bool number_operand(PyObject* o, double& out) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AsDouble(o);
    return true;
  }
  return number_slow(o, out);
}

// to_nl of an operand, viewing an NlExpr in place instead of copying it.
// Throws ValueError "Expected Var, Expr, NlExpr, or numeric for nonlinear
// operand" for anything else.
class NlOperand {
 public:
  explicit NlOperand(PyObject* o);
  NlOperand(const NlOperand&) = delete;
  NlOperand& operator=(const NlOperand&) = delete;
  const NlExpr& get() const { return *p_; }

 private:
  NlExpr storage_;
  const NlExpr* p_;
};

// to_nl of an operand as a value of its own.
NlExpr to_nl_operand(PyObject* o);

// left OP right as a new NlExpr object, each operand converted by to_nl on
// its own side. '+' and '-' merge; '*' and '/' build Mul/Div of the two
// collapsed operands.
PyObject* nl_result(char op, PyObject* left, PyObject* right);

// Rich comparison of Var, Expr, QuadExpr and NlExpr (builds constraints).
PyObject* expression_richcompare(PyObject* self, PyObject* other, int op);

inline PyObject* not_implemented() { return Py_NewRef(Py_NotImplemented); }

// base ** exponent for the four expression classes and Var (the nb_power
// slot of each): NotImplemented for a reflected power or an exponent that is
// not a number, so those stay TypeErrors.
PyObject* power_result(PyObject* base, PyObject* exponent, PyObject* modulus);

// Sets `__array_ufunc__ = None` on an expression class, so numpy defers to
// the class's reflected operators instead of building an object array.
// Returns `type` (null stays null).
PyTypeObject* numpy_defers(PyTypeObject* type);

// The operand pair of a number slot: which one is the slot's instance.
struct Operands {
  PyObject* self;
  PyObject* other;
  bool self_left;
  Operands(PyObject* a, PyObject* b, PyTypeObject* type)
      : self(Py_TYPE(a) == type ? a : b), other(Py_TYPE(a) == type ? b : a), self_left(Py_TYPE(a) == type) {}
  PyObject* left() const { return self_left ? self : other; }
  PyObject* right() const { return self_left ? other : self; }
};

// Messages shared by several classes.
inline constexpr const char* kUnsupportedOperand = "Unsupported operand type \u2014 use Var, Expr, or numeric";
inline constexpr const char* kDivisionByZero = "division by zero";

// A Python str from a std::string (new reference; throws on failure).
PyObject* to_py_str(const std::string& s);

}  // namespace pelora::py
