// Clarabel through the `clarabel` package: models with second-order and PSD
// cones, and linear or convex quadratic models on request.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "python/solve/adapter.hpp"
#include "python/solve/handoff.hpp"

namespace pelora::py {

AdapterOutcome solve_with_clarabel(const StandardForm& form, const ModelData& model,
                                   const Options& options);

// Clarabel's  A x + s = b,  s in K  rows, grouped by cone: equality rows
// (zero cone), inequality rows (row bounds, then column bounds; nonnegative
// cone), then one block per second-order cone and per PSD cone.
struct ConicRows {
  CscMatrix a;
  std::vector<double> b;
  size_t zero_rows = 0;
  size_t nonnegative_rows = 0;
  std::vector<size_t> soc_sizes;
  std::vector<size_t> psd_orders;
  // For each conic row that comes from a linear row of the form: that row's
  // index and the sign turning the row's multiplier z into
  // d(objective)/d(rhs): -1 where b is the rhs (equality and upper sides),
  // +1 where b is the negated lower side. The rows are the first ones.
  std::vector<std::pair<size_t, double>> linear_origin;
};
ConicRows conic_rows(const StandardForm& form);

// The status of a Clarabel solution from the text repr(solution.status).
SolveStatus clarabel_status_from_text(const std::string& text);

}  // namespace pelora::py
