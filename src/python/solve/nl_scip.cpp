#include "python/solve/nl_scip.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"

namespace pelora::py {

namespace {

bool is_one(double c) { return std::fabs(c - 1.0) < 1e-15; }

void require_finite(double v) {
  if (!std::isfinite(v)) {
    throw_value_error("a nonlinear expression holds the number " + std::to_string(v) +
                      "; SCIP takes finite coefficients and constants only");
  }
}

void set_attr(PyObject* o, const char* name, PyObject* value) {
  check_status(PyObject_SetAttrString(o, name, value));
}

void append(PyObject* list, PyObject* item) { check_status(PyList_Append(list, item)); }

}  // namespace

double evaluate_nl(const NlExpr& e, std::span<const double> x) {
  std::unordered_map<const NlNode*, double> value;
  // Post-order walk over the shared nodes, each evaluated once.
  auto eval = [&](const NlNode* root) {
    std::vector<const NlNode*> stack{root};
    while (!stack.empty()) {
      const NlNode* n = stack.back();
      if (value.count(n)) {
        stack.pop_back();
        continue;
      }
      const NlNode* a = n->a.get();
      const NlNode* b = n->b.get();
      const bool ready = (!a || value.count(a)) && (!b || value.count(b));
      if (!ready) {
        if (b && !value.count(b)) stack.push_back(b);
        if (a && !value.count(a)) stack.push_back(a);
        continue;
      }
      double v = 0.0;
      switch (n->kind) {
        case NlKind::Var: v = n->var < x.size() ? x[n->var] : NAN; break;
        case NlKind::Const: v = n->value; break;
        case NlKind::Neg: v = -value[a]; break;
        case NlKind::Add: v = value[a] + value[b]; break;
        case NlKind::Mul: v = value[a] * value[b]; break;
        case NlKind::Div: v = value[a] / value[b]; break;
        case NlKind::Sin: v = std::sin(value[a]); break;
        case NlKind::Cos: v = std::cos(value[a]); break;
        case NlKind::Sqrt: v = std::sqrt(value[a]); break;
        case NlKind::Exp: v = std::exp(value[a]); break;
        case NlKind::Log: v = std::log(value[a]); break;
      }
      value.emplace(n, v);
      stack.pop_back();
    }
    return value.at(root);
  };
  double total = e.linear.constant;
  for (const Term& t : e.linear.terms) total += t.coef * (t.index < x.size() ? x[t.index] : NAN);
  for (const NlTerm& t : e.nl_terms) total += t.coef * eval(t.node.get());
  return total;
}

ScipExpressions::ScipExpressions(PyObject* scip, std::span<PyObject* const> vars)
    : sum_t_(get_attr(scip, "SumExpr")),
      prod_t_(get_attr(scip, "ProdExpr")),
      pow_t_(get_attr(scip, "PowExpr")),
      var_t_(get_attr(scip, "VarExpr")),
      const_t_(get_attr(scip, "Constant")),
      sin_t_(get_attr(scip, "SinExpr")),
      cos_t_(get_attr(scip, "CosExpr")),
      sqrt_t_(get_attr(scip, "SqrtExpr")),
      exp_t_(get_attr(scip, "ExpExpr")),
      log_t_(get_attr(scip, "LogExpr")),
      vars_(vars),
      var_exprs_(vars.size()) {}

void ScipExpressions::add_uses(const NlExpr& e) {
  // Counts, for every node, the edges that lead to it (from a parent node or
  // from a term of a registered expression); each node's children are
  // counted once, when the node is first met.
  std::vector<const NlNode*> stack;
  auto use = [&](const NlNode* n) {
    if (n && ++uses_[n] == 1) stack.push_back(n);
  };
  for (const NlTerm& t : e.nl_terms) use(t.node.get());
  while (!stack.empty()) {
    const NlNode* n = stack.back();
    stack.pop_back();
    use(n->a.get());
    use(n->b.get());
  }
}

bool ScipExpressions::single_use(const NlNode* n) const {
  auto it = uses_.find(n);
  return it != uses_.end() && it->second == 1;
}

// Collects the addends below `n` (taken with `coef`): additions with a single
// user are opened up, negations with a single user flip the sign, constants
// go to the sum's constant, everything else is an addend.
void ScipExpressions::gather_addends(const NlNode* n, double coef, Pending& out) const {
  std::vector<std::pair<const NlNode*, double>> stack{{n, coef}};
  while (!stack.empty()) {
    auto [m, c] = stack.back();
    stack.pop_back();
    if (m->kind == NlKind::Add && single_use(m)) {
      stack.push_back({m->b.get(), c});  // `a` comes out first
      stack.push_back({m->a.get(), c});
    } else if (m->kind == NlKind::Neg && single_use(m)) {
      stack.push_back({m->a.get(), -c});
    } else if (m->kind == NlKind::Const) {
      require_finite(m->value);
      out.constant += c * m->value;
    } else {
      out.pieces.push_back({c, m});
    }
  }
}

// The addends (Add), factors (Mul) or operands (all other kinds) of `n`.
ScipExpressions::Pending ScipExpressions::pieces_of(const NlNode* n) const {
  Pending p;
  switch (n->kind) {
    case NlKind::Var:
    case NlKind::Const: break;
    case NlKind::Add:
      gather_addends(n->a.get(), 1.0, p);
      gather_addends(n->b.get(), 1.0, p);
      break;
    case NlKind::Mul: {
      p.constant = 1.0;
      std::vector<const NlNode*> stack{n->b.get(), n->a.get()};
      while (!stack.empty()) {
        const NlNode* m = stack.back();
        stack.pop_back();
        if (m->kind == NlKind::Mul && single_use(m)) {
          stack.push_back(m->b.get());
          stack.push_back(m->a.get());
        } else if (m->kind == NlKind::Neg && single_use(m)) {
          p.constant = -p.constant;
          stack.push_back(m->a.get());
        } else if (m->kind == NlKind::Const) {
          require_finite(m->value);
          p.constant *= m->value;
        } else {
          p.pieces.push_back({1.0, m});
        }
      }
      break;
    }
    case NlKind::Div:
      p.pieces = {{1.0, n->a.get()}, {1.0, n->b.get()}};
      break;
    case NlKind::Neg:
    case NlKind::Sin:
    case NlKind::Cos:
    case NlKind::Sqrt:
    case NlKind::Exp:
    case NlKind::Log:
      p.pieces = {{1.0, n->a.get()}};
      break;
  }
  return p;
}

Ref ScipExpressions::var_expr(VarIndex i) {
  if (i >= var_exprs_.size()) throw InternalFailure("nonlinear tree refers to a missing column");
  Ref& slot = var_exprs_[i];
  if (!slot) slot = call(var_t_.get(), vars_[i]);
  return slot;
}

Ref ScipExpressions::new_sum(PyObject* children, double constant) {
  Ref s = call(sum_t_.get());
  set_attr(s.get(), "children", children);
  Ref c = py_float(constant);
  set_attr(s.get(), "constant", c.get());
  return s;
}

Ref ScipExpressions::new_product(PyObject* children, double constant) {
  Ref p = call(prod_t_.get());
  set_attr(p.get(), "children", children);
  Ref c = py_float(constant);
  set_attr(p.get(), "constant", c.get());
  return p;
}

Ref ScipExpressions::new_power(const Ref& base, double exponent) {
  Ref p = call(pow_t_.get());
  Ref children = check(PyList_New(0));
  append(children.get(), base.get());
  set_attr(p.get(), "children", children.get());
  Ref e = py_float(exponent);
  set_attr(p.get(), "expo", e.get());
  return p;
}

// `object` times `coef`; the object itself when coef is 1.
Ref ScipExpressions::scaled(const Ref& object, double coef) {
  if (is_one(coef)) return object;
  Ref children = check(PyList_New(0));
  append(children.get(), object.get());
  return new_product(children.get(), coef);
}

void ScipExpressions::check_shape(uint32_t depth, uint64_t unfolded) {
  if (depth > kMaxDepth) {
    throw_value_error("a nonlinear expression is nested more than " + std::to_string(kMaxDepth) +
                      " levels deep, deeper than the SCIP hand-off takes");
  }
  if (unfolded > kMaxUnfolded) {
    throw_value_error("a nonlinear expression reuses its sub-expressions so often that it "
                      "unfolds into more than " + std::to_string(kMaxUnfolded) +
                      " nodes, more than the SCIP hand-off takes (it copies every use)");
  }
}

Ref ScipExpressions::build(const NlNode* n, const Pending& p, uint32_t& depth,
                           uint64_t& unfolded) {
  depth = 1;
  unfolded = 2;  // the node and a possible constant or scaling node
  for (const Piece& piece : p.pieces) {
    const Done& d = done_.at(piece.node);
    depth = std::max(depth, d.depth + 1);
    unfolded = std::min(unfolded + d.unfolded + 1, kMaxUnfolded + 1);
  }
  check_shape(depth, unfolded);
  auto operand = [&](size_t k) -> const Ref& { return done_.at(p.pieces[k].node).object; };
  switch (n->kind) {
    case NlKind::Var: return var_expr(n->var);
    case NlKind::Const: {
      require_finite(n->value);
      Ref v = py_float(n->value);
      return call(const_t_.get(), v.get());
    }
    case NlKind::Add: {
      Ref children = check(PyList_New(0));
      for (size_t k = 0; k < p.pieces.size(); ++k) {
        require_finite(p.pieces[k].coef);
        Ref child = scaled(operand(k), p.pieces[k].coef);
        append(children.get(), child.get());
      }
      require_finite(p.constant);
      return new_sum(children.get(), p.constant);
    }
    case NlKind::Mul: {
      require_finite(p.constant);
      if (p.pieces.empty()) {
        Ref v = py_float(p.constant);
        return call(const_t_.get(), v.get());
      }
      Ref children = check(PyList_New(0));
      for (size_t k = 0; k < p.pieces.size(); ++k) append(children.get(), operand(k).get());
      return new_product(children.get(), p.constant);
    }
    case NlKind::Div: {
      // a / b = a * b^-1
      Ref inverse = new_power(operand(1), -1.0);
      Ref children = check(PyList_New(0));
      append(children.get(), operand(0).get());
      append(children.get(), inverse.get());
      return new_product(children.get(), 1.0);
    }
    case NlKind::Neg: return scaled(operand(0), -1.0);
    case NlKind::Sin: {
      Ref op = py_str("sin");
      return call(sin_t_.get(), op.get(), operand(0).get());
    }
    case NlKind::Cos: {
      Ref op = py_str("cos");
      return call(cos_t_.get(), op.get(), operand(0).get());
    }
    case NlKind::Sqrt: {
      Ref op = py_str("sqrt");
      return call(sqrt_t_.get(), op.get(), operand(0).get());
    }
    case NlKind::Exp: {
      Ref op = py_str("exp");
      return call(exp_t_.get(), op.get(), operand(0).get());
    }
    case NlKind::Log: {
      Ref op = py_str("log");
      return call(log_t_.get(), op.get(), operand(0).get());
    }
  }
  throw InternalFailure("unknown nonlinear node kind");
}

void ScipExpressions::translate(const NlNode* root) {
  if (done_.count(root)) return;
  // Post-order walk: a node is built once every piece it is made of is in
  // `done_`. Its pieces are worked out when it is first met and kept until
  // it is built.
  std::unordered_map<const NlNode*, Pending> pending;
  std::vector<const NlNode*> stack{root};
  while (!stack.empty()) {
    const NlNode* n = stack.back();
    if (done_.count(n)) {
      stack.pop_back();
      continue;
    }
    auto it = pending.find(n);
    if (it == pending.end()) {
      Pending p = pieces_of(n);
      for (auto piece = p.pieces.rbegin(); piece != p.pieces.rend(); ++piece) {
        if (!done_.count(piece->node)) stack.push_back(piece->node);
      }
      pending.emplace(n, std::move(p));
      continue;
    }
    uint32_t depth = 0;
    uint64_t unfolded = 0;
    Ref object = build(n, it->second, depth, unfolded);
    done_.emplace(n, Done{std::move(object), depth, unfolded});
    pending.erase(it);
    stack.pop_back();
  }
}

Ref ScipExpressions::sum(const NlExpr& e, double scale, bool with_linear, PyObject* extra_var,
                         double extra_coef) {
  // The terms of `e` are opened up like the addends of one addition.
  Pending top;
  for (const NlTerm& t : e.nl_terms) {
    require_finite(t.coef);
    gather_addends(t.node.get(), scale * t.coef, top);
  }
  for (const Piece& piece : top.pieces) translate(piece.node);

  Ref children = check(PyList_New(0));
  double constant = top.constant;
  uint32_t depth = 1;
  uint64_t unfolded = 2;
  if (with_linear) {
    for (const Term& t : e.linear.terms) {
      require_finite(t.coef);
      Ref child = scaled(var_expr(t.index), scale * t.coef);
      append(children.get(), child.get());
    }
    require_finite(e.linear.constant);
    constant += scale * e.linear.constant;
  }
  for (const Piece& piece : top.pieces) {
    const Done& d = done_.at(piece.node);
    depth = std::max(depth, d.depth + 1);
    unfolded = std::min(unfolded + d.unfolded + 1, kMaxUnfolded + 1);
    Ref child = scaled(d.object, piece.coef);
    append(children.get(), child.get());
  }
  check_shape(depth, unfolded);
  if (extra_var) {
    Ref v = call(var_t_.get(), extra_var);
    Ref child = scaled(v, extra_coef);
    append(children.get(), child.get());
  }
  require_finite(constant);
  return new_sum(children.get(), constant);
}

}  // namespace pelora::py
