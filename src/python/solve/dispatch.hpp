// Choosing the adapter for a solve: automatically from the problem class and
// the cones, or by the caller's `solver` name.
#pragma once
#include <optional>
#include <string>

#include "core/model/model_data.hpp"
#include "core/model/standard_form.hpp"
#include "python/solve/adapter.hpp"

namespace pelora::py {

// The lower-cased solver name: `requested` when given (a name that is no
// solver's raises ValueError listing the names), otherwise "clarabel" for a
// model with cones ("scip" when it also has integer columns and no PSD
// cone), else "highs" (LP, MILP), "scip" (MIQP, and NLP with integer or
// binary variables), "osqp" (QP; "highs" when osqp is not installed) or
// "ipopt" (continuous NLP).
std::string choose_solver(const std::optional<std::string>& requested, const StandardForm& form,
                          ProblemType type);

// True when the name leads to HiGHS (every name that no other adapter claims).
bool uses_highs(const std::string& lower_name);

// True when a mixed-integer model first tries its relaxation through HiGHS:
// whenever HiGHS is the solver, and for a mixed-integer quadratic model sent
// to SCIP by the automatic choice (HiGHS solves its convex relaxation).
bool relaxation_first(const std::string& lower_name, bool requested, ProblemType type);

// One warning line on standard error when a solver that ignores integrality
// (OSQP, Clarabel, Ipopt, SLSQP) gets a model with integer columns.
void warn_if_integrality_ignored(const std::string& lower_name, const StandardForm& form);

// Why the automatic choice cannot solve a mixed-integer model with cones
// while keeping integrality (PSD cones, or second-order cones without
// pyscipopt); nothing when it can or when the caller named a solver.
std::optional<std::string> integer_cone_problem(bool requested, const StandardForm& form);

// The adapter registered under the lower-cased name; HiGHS for any other text.
Adapter adapter_for(const std::string& lower_name);

}  // namespace pelora::py
