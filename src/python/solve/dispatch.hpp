// Choosing the adapter for a solve: automatically from the problem class and
// the cones, or by the caller's `solver` name.
#pragma once
#include <string>

#include "core/model/model_data.hpp"
#include "core/model/standard_form.hpp"
#include "python/solve/adapter.hpp"

namespace pelora::py {

// The lower-cased solver name: `requested` when given, otherwise "clarabel"
// for a model with cones, else "highs" (LP, MILP), "scip" (MIQP, and NLP
// with integer or binary variables), "osqp" (QP) or "ipopt" (continuous NLP).
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

// The adapter registered under the lower-cased name; HiGHS for any other text.
Adapter adapter_for(const std::string& lower_name);

}  // namespace pelora::py
