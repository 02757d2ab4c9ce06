#include "core/expr/comparison.hpp"

#include "core/expr/algebra.hpp"

namespace pelora {

namespace {
// The right-hand side is a difference of constants; a zero result is stored
// as +0 so that `x == y` reads "x0 - x1 == 0" everywhere it is printed.
inline double rhs_value(double v) { return v + 0.0; }
}  // namespace

LinearConstraint linear_constraint(const Expr& lhs, double k, Sense sense) {
  LinearConstraint c;
  c.expr.terms = lhs.terms;
  c.expr.owner = lhs.owner;
  c.rhs = rhs_value(k - lhs.constant);
  c.sense = sense;
  return c;
}

LinearConstraint linear_constraint(const Expr& lhs, VarIndex index, ModelId owner, Sense sense) {
  LinearConstraint c;
  c.expr.terms = lhs.terms;
  c.expr.owner = joined_owner(lhs.owner, owner, index);
  c.expr.terms.add_term(index, -1.0);
  c.rhs = rhs_value(-lhs.constant);
  c.sense = sense;
  return c;
}

LinearConstraint linear_constraint(const Expr& lhs, const Expr& rhs, Sense sense) {
  LinearConstraint c;
  c.expr.terms = lhs.terms;
  c.expr.owner = lhs.owner;
  join_owner(c.expr, rhs);
  c.expr.terms.add_all(rhs.terms, -1.0);
  c.rhs = rhs_value(rhs.constant - lhs.constant);
  c.sense = sense;
  return c;
}

NonlinearConstraint nonlinear_constraint(const NlExpr& lhs, const NlExpr& rhs, Sense sense) {
  NonlinearConstraint c;
  c.body = lhs;
  add_nl(c.body, rhs, -1.0);
  c.rhs = rhs_value(-c.body.linear.constant);
  c.body.linear.constant = 0.0;
  c.sense = sense;
  return c;
}

}  // namespace pelora
