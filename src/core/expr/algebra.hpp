// Arithmetic on the expression values. The Python classes decide which case
// applies (operand types, sides); everything that computes lives here.
//
// Additions merge through LinearTerms::add_term (entries cancelling below
// kCancelTolerance disappear); scaling multiplies in place and keeps zeros;
// quadratic and nonlinear term lists only ever concatenate.
#pragma once
#include <span>
#include <vector>

#include "core/expr/expressions.hpp"

namespace pelora {

// ---- linear --------------------------------------------------------------

// {index: c} with constant 0; no cancellation test, so `x * 0` keeps 0*x.
inline Expr single_term(VarIndex index, double c) { return Expr{LinearTerms::single(index, c), 0.0}; }

// e += scale * x_index
inline void add_var(Expr& e, VarIndex index, double scale) { e.terms.add_term(index, scale); }
// e += scale * o (terms merged one by one, then the constant)
void add_expr(Expr& e, const Expr& o, double scale);
// Every coefficient and the constant times k (zero entries stay).
void scale_expr(Expr& e, double k);
// The terms `in` added one by one to an empty map, exactly as repeated
// add_term would (same order, same cancellations), but through a position
// table indexed by variable when the indices are dense enough: no hashing
// per term.
LinearTerms merged_terms(std::span<const Term> in);
// The same, taking `in` over as the result's storage when nothing merges.
LinearTerms merged_terms(std::vector<Term>&& in);
Expr negated(Expr e);

// ---- quadratic -----------------------------------------------------------

// x_i * x_j with the smaller index first.
QuadExpr var_product(VarIndex i, VarIndex j);
// Appends r's triples after q's, merges the linear parts, adds the constants.
void add_quad(QuadExpr& q, const QuadExpr& r);
// Every quadratic and linear coefficient and the constant times k.
void scale_quad(QuadExpr& q, double k);
// q += sign * r (r's triples appended with coefficients times sign).
void add_quad_scaled(QuadExpr& q, const QuadExpr& r, double sign);
// The expanded product a * b: one triple per pair of terms (smaller index
// first), the cross terms with the constants in the linear part.
QuadExpr linear_product(const Expr& a, const Expr& b);
// a * a with each unordered pair of distinct terms stored once (doubled).
QuadExpr linear_square(const Expr& a);

// ---- nonlinear -----------------------------------------------------------

NodePtr var_node(VarIndex index);
NodePtr const_node(double value);
NodePtr unary_node(NlKind kind, NodePtr a);
NodePtr binary_node(NlKind kind, NodePtr a, NodePtr b);

// The to_nl conversions of the non-nonlinear values.
NlExpr nl_from_var(VarIndex index);
NlExpr nl_from_expr(const Expr& e);
NlExpr nl_from_quad(const QuadExpr& q);  // each (i, j, c) becomes c * (x_i * x_j)
NlExpr nl_from_number(double v);

// One node for the whole expression (used to nest it inside another node):
// linear terms, then the constant, then the weighted trees, chained with Add
// from the left; Const(0) when there is nothing at all.
NodePtr to_node(const NlExpr& n);

// n += sign * m: m's pairs appended (coefficients times sign), linear parts
// merged, constants added.
void add_nl(NlExpr& n, const NlExpr& m, double sign);
// Every pair coefficient, linear coefficient and the constant times k.
void scale_nl(NlExpr& n, double k);
// The expression 1.0 * node.
NlExpr nl_single(NodePtr node);
// 1.0 * kind(to_node(a), to_node(b)) for kind Mul or Div.
NlExpr nl_binary_node(NlKind kind, const NlExpr& a, const NlExpr& b);
// 1.0 * kind(to_node(a)) for kind Sin, Cos, Sqrt, Exp or Log.
NlExpr nl_unary_node(NlKind kind, const NlExpr& a);
// base ** n for an integer n: a chain of Mul nodes over one shared base
// node, under Div(1, ...) when n < 0; the constant 1 when n == 0.
NlExpr nl_integer_power(const NlExpr& base, long long n);

}  // namespace pelora
