// OSQP through the `osqp` package: continuous quadratic (and linear) models.
#pragma once
#include <string>

#include "python/solve/adapter.hpp"

namespace pelora::py {

AdapterOutcome solve_with_osqp(const StandardForm& form, const ModelData& model,
                               const Options& options);

// The status of an OSQP result from its text (res.info.status).
SolveStatus osqp_status_from_text(const std::string& text);

}  // namespace pelora::py
