// SciPy's SLSQP (scipy.optimize.minimize with method "SLSQP") for linear and
// quadratic models, on request.
#pragma once
#include <cstdint>
#include <optional>

#include "python/solve/adapter.hpp"

namespace pelora::py {

AdapterOutcome solve_with_slsqp(const StandardForm& form, const ModelData& model,
                                const Options& options);

// SLSQP's iteration cap from a time limit: the integer part of 100 times the
// seconds (truncated toward zero, clamped to the signed 32-bit range that
// SLSQP holds, 0 for NaN).
int64_t slsqp_maxiter(double time_limit);

}  // namespace pelora::py
