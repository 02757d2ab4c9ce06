// Ipopt through the `casadi` package: quadratic models taken from the
// standard form, and nonlinear models whose trees are translated into
// casadi expressions.
#pragma once
#include <string>

#include "python/solve/adapter.hpp"

namespace pelora::py {

// The "ipopt" dispatch entry: the nonlinear adapter when the model has any
// nonlinear term, otherwise the quadratic one.
AdapterOutcome solve_with_ipopt(const StandardForm& form, const ModelData& model,
                                const Options& options);
AdapterOutcome solve_with_ipopt_quadratic(const StandardForm& form, const ModelData& model,
                                          const Options& options);
AdapterOutcome solve_with_ipopt_nonlinear(const StandardForm& form, const ModelData& model,
                                          const Options& options);

// The status of an Ipopt run from casadi's "return_status" text.
SolveStatus ipopt_status_from_text(const std::string& text);

inline constexpr const char kCasadiMissing[] =
    "casadi is required for NLP (nonlinear) models. Install with `pip install casadi`.";

}  // namespace pelora::py
