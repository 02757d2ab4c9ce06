#include "core/expr/algebra.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>
#include <vector>

namespace pelora {

namespace {
inline bool is_unit(double c) { return std::fabs(c - 1.0) < kCancelTolerance; }
}  // namespace

// ---- linear --------------------------------------------------------------

void throw_foreign(ModelId owner, std::optional<VarIndex> var) { throw ForeignVariable(owner, var); }

void add_expr(Expr& e, const Expr& o, double scale) {
  join_owner(e, o);
  e.terms.add_all(o.terms, scale);
  e.constant += scale * o.constant;
}

void scale_expr(Expr& e, double k) {
  e.terms.scale(k);
  e.constant *= k;
}

LinearTerms merged_terms(std::span<const Term> in) {
  LinearTerms out;
  VarIndex lo = UINT32_MAX, top = 0;
  for (const Term& t : in) {
    lo = std::min(lo, t.index);
    top = std::max(top, t.index + 1);
  }
  // The position table spans the indices present (a slice of a large
  // model's variables is dense too); hashing only when they are sparse.
  if (in.empty() || top - lo > 4 * in.size() + 64) {
    for (const Term& t : in) out.add_term(t.index, t.coef);
    return out;
  }
  constexpr uint32_t kNone = UINT32_MAX;  // never a variable index
  std::vector<uint32_t> slot(top - lo, kNone);
  std::vector<Term> acc;
  acc.reserve(in.size());
  for (const Term& t : in) {
    uint32_t& p = slot[t.index - lo];
    if (p == kNone) {
      if (std::fabs(t.coef) < kCancelTolerance) continue;  // 0.0 + c cancels at once
      p = static_cast<uint32_t>(acc.size());
      acc.push_back(t);
      continue;
    }
    const double v = acc[p].coef + t.coef;
    if (std::fabs(v) < kCancelTolerance) {  // removed; a later add appends anew
      acc[p].index = kNone;
      p = kNone;
    } else {
      acc[p].coef = v;
    }
  }
  // Cancelled entries are dropped in place; the vector becomes the map's
  // storage (no per-term append), trimmed when cancellations left it mostly
  // empty.
  size_t alive = 0;
  for (const Term& t : acc) {
    if (t.index != kNone) acc[alive++] = t;
  }
  acc.resize(alive);
  if (alive < acc.capacity() / 2) acc.shrink_to_fit();
  return LinearTerms::from_distinct(std::move(acc));
}

LinearTerms merged_terms(std::vector<Term>&& in) {
  for (size_t k = 1; k < in.size(); ++k) {
    if (in[k].index <= in[k - 1].index) return merged_terms(std::span<const Term>(in));
  }
  // Indices strictly increasing (a sum over a list of variables in order):
  // nothing merges, only terms that cancel at once go, and the vector
  // itself becomes the map's storage.
  size_t alive = 0;
  for (const Term& t : in) {
    if (std::fabs(t.coef) < kCancelTolerance) continue;
    in[alive++] = t;
  }
  in.resize(alive);
  if (alive < in.capacity() / 2) in.shrink_to_fit();
  return LinearTerms::from_distinct(std::move(in));
}

Expr negated(Expr e) {
  e.terms.scale(-1.0);
  e.constant = -e.constant;
  return e;
}

// ---- quadratic -----------------------------------------------------------

QuadExpr var_product(VarIndex i, VarIndex j) {
  QuadExpr q;
  q.quad_terms.push_back(QuadTerm{std::min(i, j), std::max(i, j), 1.0});
  return q;
}

void add_quad(QuadExpr& q, const QuadExpr& r) {
  if (&q == &r) {  // q + q: work from a snapshot of the right side
    QuadExpr copy = r;
    add_quad(q, copy);
    return;
  }
  q.quad_terms.append(r.quad_terms);
  add_expr(q.linear, r.linear, 1.0);
}

void scale_quad(QuadExpr& q, double k) {
  for (QuadTerm& t : q.quad_terms.mutable_items()) t.coef *= k;
  scale_expr(q.linear, k);
}

void add_quad_scaled(QuadExpr& q, const QuadExpr& r, double sign) {
  if (sign == 1.0) {
    add_quad(q, r);
    return;
  }
  // Built apart first: q and r may share storage.
  SharedList<QuadTerm> scaled;
  scaled.reserve(r.quad_terms.size());
  for (const QuadTerm& t : r.quad_terms) scaled.push_back(QuadTerm{t.i, t.j, t.coef * sign});
  const Expr lin = r.linear;
  q.quad_terms.append(scaled);
  add_expr(q.linear, lin, sign);
}

namespace {
// The linear part of a * b: b's terms times a's constant, a's terms times
// b's constant, and the product of the constants.
Expr product_linear_part(const Expr& a, const Expr& b) {
  Expr r;
  r.owner = a.owner;
  join_owner(r, b);
  r.terms.reserve(a.terms.size() + b.terms.size());
  if (a.constant != 0.0) r.terms.add_all(b.terms, a.constant);
  if (b.constant != 0.0) r.terms.add_all(a.terms, b.constant);
  r.constant = a.constant * b.constant;
  return r;
}
}  // namespace

QuadExpr linear_product(const Expr& a, const Expr& b) {
  QuadExpr q;
  q.quad_terms.reserve(a.terms.size() * b.terms.size());
  for (const Term& s : a.terms) {
    for (const Term& t : b.terms) {
      q.quad_terms.push_back(QuadTerm{std::min(s.index, t.index), std::max(s.index, t.index), s.coef * t.coef});
    }
  }
  q.linear = product_linear_part(a, b);
  return q;
}

QuadExpr linear_square(const Expr& a) {
  QuadExpr q;
  const std::span<const Term> ts = a.terms.terms();
  q.quad_terms.reserve(ts.size() * (ts.size() + 1) / 2);
  for (size_t p = 0; p < ts.size(); ++p) {
    q.quad_terms.push_back(QuadTerm{ts[p].index, ts[p].index, ts[p].coef * ts[p].coef});
    for (size_t r = p + 1; r < ts.size(); ++r) {
      q.quad_terms.push_back(QuadTerm{std::min(ts[p].index, ts[r].index), std::max(ts[p].index, ts[r].index),
                                      2.0 * ts[p].coef * ts[r].coef});
    }
  }
  q.linear = product_linear_part(a, a);
  return q;
}

// ---- nonlinear -----------------------------------------------------------

NodePtr var_node(VarIndex index) {
  auto n = std::make_shared<NlNode>();
  n->kind = NlKind::Var;
  n->var = index;
  return n;
}

NodePtr const_node(double value) {
  auto n = std::make_shared<NlNode>();
  n->kind = NlKind::Const;
  n->value = value;
  return n;
}

NodePtr unary_node(NlKind kind, NodePtr a) {
  auto n = std::make_shared<NlNode>();
  n->kind = kind;
  n->a = std::move(a);
  return n;
}

NodePtr binary_node(NlKind kind, NodePtr a, NodePtr b) {
  auto n = std::make_shared<NlNode>();
  n->kind = kind;
  n->a = std::move(a);
  n->b = std::move(b);
  return n;
}

NlExpr nl_from_var(VarIndex index) {
  NlExpr n;
  n.linear = single_term(index, 1.0);
  return n;
}

NlExpr nl_from_expr(const Expr& e) {
  NlExpr n;
  n.linear = e;
  return n;
}

NlExpr nl_from_quad(const QuadExpr& q) {
  NlExpr n;
  n.nl_terms.reserve(q.quad_terms.size());
  for (const QuadTerm& t : q.quad_terms) {
    n.nl_terms.push_back(NlTerm{t.coef, binary_node(NlKind::Mul, var_node(t.i), var_node(t.j))});
  }
  n.linear = q.linear;
  return n;
}

NlExpr nl_from_number(double v) {
  NlExpr n;
  n.linear.constant = v;
  return n;
}

NodePtr to_node(const NlExpr& n) {
  NodePtr acc;
  auto chain = [&acc](NodePtr piece) {
    acc = acc ? binary_node(NlKind::Add, std::move(acc), std::move(piece)) : std::move(piece);
  };
  for (const Term& t : n.linear.terms) {
    if (is_unit(t.coef)) chain(var_node(t.index));
    else chain(binary_node(NlKind::Mul, const_node(t.coef), var_node(t.index)));
  }
  if (n.linear.constant != 0.0) chain(const_node(n.linear.constant));
  for (const NlTerm& p : n.nl_terms) {
    if (is_unit(p.coef)) chain(p.node);
    else chain(binary_node(NlKind::Mul, const_node(p.coef), p.node));
  }
  return acc ? acc : const_node(0.0);
}

void add_nl(NlExpr& n, const NlExpr& m, double sign) {
  if (&n == &m) {
    NlExpr copy = m;
    add_nl(n, copy, sign);
    return;
  }
  if (sign == 1.0) {
    n.nl_terms.append(m.nl_terms);
  } else {
    // Built apart first: n and m may share storage, and appending to n could
    // move the items m is read from.
    SharedList<NlTerm> scaled;
    scaled.reserve(m.nl_terms.size());
    for (const NlTerm& p : m.nl_terms) scaled.push_back(NlTerm{p.coef * sign, p.node});
    n.nl_terms.append(scaled);
  }
  add_expr(n.linear, m.linear, sign);
}

void scale_nl(NlExpr& n, double k) {
  for (NlTerm& p : n.nl_terms.mutable_items()) p.coef *= k;
  scale_expr(n.linear, k);
}

NlExpr nl_single(NodePtr node) {
  NlExpr n;
  n.nl_terms.push_back(NlTerm{1.0, std::move(node)});
  return n;
}

NlExpr nl_binary_node(NlKind kind, const NlExpr& a, const NlExpr& b) {
  Expr owner;
  owner.owner = a.linear.owner;
  join_owner(owner, b.linear);
  NlExpr n = nl_single(binary_node(kind, to_node(a), to_node(b)));
  n.linear.owner = owner.owner;
  return n;
}

NlExpr nl_unary_node(NlKind kind, const NlExpr& a) {
  NlExpr n = nl_single(unary_node(kind, to_node(a)));
  n.linear.owner = a.linear.owner;
  return n;
}

}  // namespace pelora

namespace pelora {

NlExpr nl_integer_power(const NlExpr& base, long long n) {
  if (n == 0) return nl_from_number(1.0);
  const NodePtr b = to_node(base);
  const unsigned long long m = n < 0 ? 0ULL - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
  NodePtr acc = b;
  for (unsigned long long k = 1; k < m; ++k) acc = binary_node(NlKind::Mul, std::move(acc), b);
  if (n < 0) acc = binary_node(NlKind::Div, const_node(1.0), std::move(acc));
  NlExpr r = nl_single(std::move(acc));
  r.linear.owner = base.linear.owner;
  return r;
}

}  // namespace pelora
