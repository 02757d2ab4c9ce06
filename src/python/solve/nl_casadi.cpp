#include "python/solve/nl_casadi.hpp"

#include <cmath>
#include <utility>

#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"

namespace pelora::py {

namespace {

bool is_one(double c) { return std::fabs(c - 1.0) < 1e-15; }

// acc + term * c (or acc + term when c is 1).
Ref add_weighted(const Ref& acc, PyObject* term, double c) {
  if (is_one(c)) return check(PyNumber_Add(acc.get(), term));
  Ref coef = py_float(c);
  Ref weighted = check(PyNumber_Multiply(term, coef.get()));
  return check(PyNumber_Add(acc.get(), weighted.get()));
}

}  // namespace

CasadiTranslator::CasadiTranslator(PyObject* casadi, PyObject* x, size_t num_col)
    : casadi_(casadi), x_(x), dm_(get_attr(casadi, "DM")), vars_(num_col) {}

Ref CasadiTranslator::variable(VarIndex i) {
  Ref& slot = vars_.at(i);
  if (!slot) {
    Ref index = py_int(static_cast<long long>(i));
    slot = check(PyObject_GetItem(x_, index.get()));
  }
  return slot;
}

Ref CasadiTranslator::constant(double v) {
  Ref value = py_float(v);
  return call(dm_.get(), value.get());
}

Ref CasadiTranslator::unary(const char* function, PyObject* child) {
  return call_method(casadi_, function, child);
}

Ref CasadiTranslator::node(const NlNode* root) {
  if (auto it = done_.find(root); it != done_.end()) return it->second;
  // Post-order walk: a node is built once both children are in `done_`.
  std::vector<std::pair<const NlNode*, bool>> stack{{root, false}};
  while (!stack.empty()) {
    auto [n, expanded] = stack.back();
    if (done_.count(n)) {
      stack.pop_back();
      continue;
    }
    if (!expanded) {
      stack.back().second = true;
      if (n->b && !done_.count(n->b.get())) stack.push_back({n->b.get(), false});
      if (n->a && !done_.count(n->a.get())) stack.push_back({n->a.get(), false});
      continue;
    }
    stack.pop_back();
    auto child = [&](const NodePtr& p) -> PyObject* {
      if (!p) throw InternalFailure("nonlinear node without its operand");
      return done_.at(p.get()).get();
    };
    Ref out;
    switch (n->kind) {
      case NlKind::Var: out = variable(n->var); break;
      case NlKind::Const: out = constant(n->value); break;
      case NlKind::Neg: out = check(PyNumber_Negative(child(n->a))); break;
      case NlKind::Add: out = check(PyNumber_Add(child(n->a), child(n->b))); break;
      case NlKind::Mul: out = check(PyNumber_Multiply(child(n->a), child(n->b))); break;
      case NlKind::Div: out = check(PyNumber_TrueDivide(child(n->a), child(n->b))); break;
      case NlKind::Sin: out = unary("sin", child(n->a)); break;
      case NlKind::Cos: out = unary("cos", child(n->a)); break;
      case NlKind::Sqrt: out = unary("sqrt", child(n->a)); break;
      case NlKind::Exp: out = unary("exp", child(n->a)); break;
      case NlKind::Log: out = unary("log", child(n->a)); break;
    }
    if (!out) throw InternalFailure("unknown nonlinear node kind");
    done_.emplace(n, std::move(out));
  }
  return done_.at(root);
}

Ref CasadiTranslator::expression(const NlExpr& e) {
  Ref acc = constant(e.linear.constant);
  for (const Term& t : e.linear.terms) {
    Ref v = variable(t.index);
    acc = add_weighted(acc, v.get(), t.coef);
  }
  for (const NlTerm& t : e.nl_terms) {
    if (!t.node) throw InternalFailure("nonlinear term without a tree");
    Ref n = node(t.node.get());
    acc = add_weighted(acc, n.get(), t.coef);
  }
  return acc;
}

}  // namespace pelora::py
