// Printed forms of the expression values and constraints. Variables print as
// "x{index}", numbers in the shortest round-trip decimal form (plain_number).
#pragma once
#include <functional>
#include <string>

#include "core/expr/constraint.hpp"

namespace pelora {

// "2*x0 - x3 + 5", "-x1 - 0.5", "0": terms in their stored order, unit
// coefficients without a number, then the constant (or the constant alone).
void append_expr_text(std::string& out, const Expr& e);
// The same text with each variable written as `name(index)` gives it.
using VariableNamer = std::function<std::string(VarIndex)>;
void append_expr_text(std::string& out, const Expr& e, const VariableNamer* name);
std::string expr_text(const Expr& e);

// "x0", "3", "(-a)", "(a + b)", "(a * b)", "(a / b)", "sin(a)", "cos(a)", "sqrt(a)".
void append_node_text(std::string& out, const NlNode& node);
std::string node_text(const NlNode& node);

// The linear part first (when it has anything, or when there are no pairs),
// then every weighted tree with its sign: "-1 + 2*cos(x0)", "-sqrt(x0)".
void append_nl_expr_text(std::string& out, const NlExpr& n);
std::string nl_expr_text(const NlExpr& n);

// "QuadExpr(linear=x0 + 1, quad_terms=2)"
std::string quad_expr_text(const QuadExpr& q);

const char* sense_text(Sense s);

// "[name: ]lhs sense rhs", e.g. "2*x0 + x1 <= 10".
std::string constraint_text(const ConstraintRecord& c);
// The text of a linear constraint with its variables' names: "cap: 2*a + b <= 10".
std::string linear_constraint_text(const LinearConstraint& c, const VariableNamer& name);

}  // namespace pelora
