// Module functions of the expression algebra: sum, sin, cos, sqrt.
#include <vector>

#include "core/expr/algebra.hpp"
#include "python/runtime/types.hpp"
#include "python/algebra/objects.hpp"
#include "python/algebra/operands.hpp"
#include "python/runtime/args.hpp"

namespace pelora::py {

namespace {

const Params<1> kSumParams{"sum()", {"items"}, 1, false};

// Any iterable is read into a list first (a list argument is used as it
// stands). One pass sizes the result and finds its type (Expr, QuadExpr when
// a quadratic item is present, NlExpr when a nonlinear one is); one merges.
// Algebra items are recognised by their type pointer, only other items go
// through the float conversion (which may run Python code, so those items
// are held and the list length is re-read on every step).
PyObject* sum_impl(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    auto a = match(kSumParams, args, kwargs);
    Ref owned;
    PyObject* list = a[0];
    if (!PyList_Check(list)) {
      Ref iter = Ref::steal(PyObject_GetIter(list));
      if (!iter) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_already_set();
        PyErr_Clear();
        a.to_list(0);  // raises the argument conversion error
      }
      // Item by item: list(iter) would reserve what the iterator's length
      // hint claims, and a sequence's __len__ may lie.
      owned = check(PyList_New(0));
      while (PyObject* raw = PyIter_Next(iter.get())) {
        Ref item = Ref::steal(raw);
        check_status(PyList_Append(owned.get(), item.get()));
      }
      if (PyErr_Occurred()) throw_already_set();
      list = owned.get();
    }
    // The type pointers once, not per item.
    PyTypeObject* const var_t = var_type();
    PyTypeObject* const expr_t = expr_type();
    PyTypeObject* const quad_t = quad_expr_type();
    PyTypeObject* const nl_t = nl_expr_type();
    Py_ssize_t n = PyList_Size(list);
    size_t count = 0, quad_count = 0;
    bool quadratic = false, nonlinear = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyList_GetItem(list, i);
      PyTypeObject* const type = Py_TYPE(item);
      if (type == var_t) ++count;
      else if (type == expr_t) count += expr_value(item).terms.size();
      else if (type == quad_t) {
        quadratic = true;
        quad_count += quad_expr_value(item).quad_terms.size();
        count += quad_expr_value(item).linear.terms.size();
      } else if (type == nl_t) nonlinear = true;
    }
    // Linear terms are gathered first and merged once at the end.
    std::vector<Term> linear;
    linear.reserve(count);
    // Most items are single terms (c * x): those take one push_back.
    auto gather = [&linear](const Expr& e) PELORA_INLINE_BODY {
      if (e.terms.size() == 1) linear.push_back(*e.terms.begin());
      else linear.insert(linear.end(), e.terms.begin(), e.terms.end());
    };
    QuadExpr acc;
    acc.quad_terms.reserve(quad_count);
    double constant = 0.0;
    NlExpr nl;
    // The one model every item's variables belong to (kept in a register:
    // one compare per item).
    ModelId owner = kNoModel;
    const auto join = [&owner](const Expr& e) {
      if (e.owner != owner) [[unlikely]] owner = joined_owner(owner, e.owner, first_variable(e));
    };
    // Only the conversion of other items runs Python code (which may change
    // the list): the length is read again after each.
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyList_GetItem(list, i);
      if (!item) throw_already_set();
      PyTypeObject* const type = Py_TYPE(item);
      if (type == var_t) {
        const VarValue& v = var_value(item);
        const ModelId o = v.owner();
        if (o != owner) [[unlikely]] owner = joined_owner(owner, o, v.index);
        linear.push_back(Term{v.index, 1.0});
      } else if (type == expr_t) {
        const Expr& e = expr_value(item);
        join(e);
        gather(e);
        constant += e.constant;
      } else if (type == quad_t) {
        const QuadExpr& q = quad_expr_value(item);
        join(q.linear);
        acc.quad_terms.append(q.quad_terms);
        gather(q.linear);
        constant += q.linear.constant;
      } else if (type == nl_t) {
        add_nl(nl, nl_expr_value(item), 1.0);
      } else {
        double k;
        {
          Ref held = Ref::borrow(item);
          if (!number_operand(held.get(), k)) throw_value_error("sum() items must be Var, Expr, or numeric");
        }
        constant += k;
        n = PyList_Size(list);
      }
    }
    acc.linear.terms = merged_terms(std::move(linear));
    acc.linear.constant = constant;
    acc.linear.owner = owner;
    if (nonlinear) {
      NlExpr r = nl_from_quad(acc);
      add_nl(r, nl, 1.0);
      return new_nl_expr(std::move(r));
    }
    if (quadratic) return new_quad_expr(std::move(acc));
    return new_expr(std::move(acc.linear));
  });
}

template <NlKind Kind>
PyObject* unary_impl(PyObject*, PyObject* args, PyObject* kwargs) {
  static const Params<1> params{Kind == NlKind::Sin    ? "sin()"
                                : Kind == NlKind::Cos  ? "cos()"
                                : Kind == NlKind::Sqrt ? "sqrt()"
                                : Kind == NlKind::Exp  ? "exp()"
                                                       : "log()",
                                {"obj"},
                                1,
                                false};
  return boundary([&] {
    auto a = match(params, args, kwargs);
    NlOperand n(a[0]);
    return new_nl_expr(nl_unary_node(Kind, n.get()));
  });
}

}  // namespace

PyMethodDef sum_def = {
    "sum", as_cfunction(sum_impl), METH_VARARGS | METH_KEYWORDS,
    "sum(items)\n--\n\n"
    "Summation helper: pelora.sum([expr1, expr2, ...]) \u2014 accepts Var and Expr objects."};
PyMethodDef sin_def = {"sin", as_cfunction(unary_impl<NlKind::Sin>), METH_VARARGS | METH_KEYWORDS,
                       "sin(obj)\n--\n\n`sin(x)` \u2014 returns an `NlExpr` wrapping `Sin(x)`."};
PyMethodDef cos_def = {"cos", as_cfunction(unary_impl<NlKind::Cos>), METH_VARARGS | METH_KEYWORDS,
                       "cos(obj)\n--\n\n`cos(x)` \u2014 returns an `NlExpr` wrapping `Cos(x)`."};
PyMethodDef sqrt_def = {"sqrt", as_cfunction(unary_impl<NlKind::Sqrt>),
                        METH_VARARGS | METH_KEYWORDS,
                        "sqrt(obj)\n--\n\n`sqrt(x)` \u2014 returns an `NlExpr` wrapping `Sqrt(x)`."};

}  // namespace pelora::py

namespace pelora::py {
PyMethodDef exp_def = {"exp", as_cfunction(unary_impl<NlKind::Exp>), METH_VARARGS | METH_KEYWORDS,
                       "exp(obj)\n--\n\n`exp(x)` \u2014 returns an `NlExpr` wrapping `Exp(x)`."};
PyMethodDef log_def = {"log", as_cfunction(unary_impl<NlKind::Log>), METH_VARARGS | METH_KEYWORDS,
                       "log(obj)\n--\n\n`log(x)` \u2014 returns an `NlExpr` wrapping `Log(x)` (natural logarithm)."};
}  // namespace pelora::py
