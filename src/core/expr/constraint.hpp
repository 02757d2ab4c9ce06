// Constraint records: everything moved to the left, the constant to the rhs.
#pragma once
#include <optional>
#include <string>
#include <variant>

#include "core/expr/expressions.hpp"

namespace pelora {

struct LinearConstraint {
  Expr expr;  // constant is 0 after normalisation
  double rhs = 0.0;
  Sense sense = Sense::Le;
  std::optional<std::string> name;
};

struct NonlinearConstraint {
  NlExpr body;  // linear constant is 0 after normalisation
  double rhs = 0.0;
  Sense sense = Sense::Le;
  std::optional<std::string> name;
};

using ConstraintRecord = std::variant<LinearConstraint, NonlinearConstraint>;

}  // namespace pelora
