// Normalising `lhs OP rhs` into a constraint record: everything moves to the
// left, the constant moves to the right-hand side.
#pragma once
#include "core/expr/constraint.hpp"

namespace pelora {

// lhs OP k: the terms of lhs, rhs = k - lhs.constant.
LinearConstraint linear_constraint(const Expr& lhs, double k, Sense sense);
// lhs OP x_index (a variable of model `owner`): terms of lhs minus x_index,
// rhs = -lhs.constant.
LinearConstraint linear_constraint(const Expr& lhs, VarIndex index, ModelId owner, Sense sense);
// lhs OP rhs: terms of lhs minus those of rhs, rhs = rhs.constant - lhs.constant.
LinearConstraint linear_constraint(const Expr& lhs, const Expr& rhs, Sense sense);
// body = lhs - rhs with its constant moved to the right-hand side.
NonlinearConstraint nonlinear_constraint(const NlExpr& lhs, const NlExpr& rhs, Sense sense);

}  // namespace pelora
