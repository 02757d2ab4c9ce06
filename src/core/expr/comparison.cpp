#include "core/expr/comparison.hpp"

#include "core/expr/algebra.hpp"

namespace pelora {

LinearConstraint linear_constraint(const Expr& lhs, double k, Sense sense) {
  LinearConstraint c;
  c.expr.terms = lhs.terms;
  c.rhs = k - lhs.constant;
  c.sense = sense;
  return c;
}

LinearConstraint linear_constraint(const Expr& lhs, VarIndex index, Sense sense) {
  LinearConstraint c;
  c.expr.terms = lhs.terms;
  c.expr.terms.add_term(index, -1.0);
  c.rhs = -lhs.constant;
  c.sense = sense;
  return c;
}

LinearConstraint linear_constraint(const Expr& lhs, const Expr& rhs, Sense sense) {
  LinearConstraint c;
  c.expr.terms = lhs.terms;
  c.expr.terms.add_all(rhs.terms, -1.0);
  c.rhs = rhs.constant - lhs.constant;
  c.sense = sense;
  return c;
}

NonlinearConstraint nonlinear_constraint(const NlExpr& lhs, const NlExpr& rhs, Sense sense) {
  NonlinearConstraint c;
  c.body = lhs;
  add_nl(c.body, rhs, -1.0);
  c.rhs = -c.body.linear.constant;
  c.body.linear.constant = 0.0;
  c.sense = sense;
  return c;
}

}  // namespace pelora
