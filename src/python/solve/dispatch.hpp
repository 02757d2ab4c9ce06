// Choosing the adapter for a solve: automatically from the problem class and
// the cones, or by the caller's `solver` name.
#pragma once
#include <string>

#include "core/model/model_data.hpp"
#include "core/model/standard_form.hpp"
#include "python/solve/adapter.hpp"

namespace pelora::py {

// The lower-cased solver name: `requested` when given, otherwise "clarabel"
// for a model with cones, else "highs" (LP, MILP, MIQP), "osqp" (QP) or
// "ipopt" (NLP).
std::string choose_solver(const std::optional<std::string>& requested, const StandardForm& form,
                          ProblemType type);

// True when the name leads to HiGHS (every name that no other adapter claims).
bool uses_highs(const std::string& lower_name);

// The adapter registered under the lower-cased name; HiGHS for any other text.
Adapter adapter_for(const std::string& lower_name);

}  // namespace pelora::py
