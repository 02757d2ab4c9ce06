// The convergence window of the population methods.
#pragma once
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <vector>

#include "core/blackbox/bounds.hpp"

namespace pelora::blackbox {

// True when `history` holds at least 11 entries and the spread of its last
// ten (maximum minus minimum, NaN entries skipped) is strictly below `tol`.
// Ten NaN entries give -inf - (+inf) = -inf and count as converged; ten
// +inf entries give NaN and never do.
inline bool stagnated(const std::vector<double>& history, double tol) noexcept {
  const size_t n = history.size();
  if (n < 11) return false;
  double hi = -std::numeric_limits<double>::infinity();
  double lo = std::numeric_limits<double>::infinity();
  for (size_t i = n - 10; i < n; ++i) {
    hi = nan_max(hi, history[i]);
    lo = nan_min(lo, history[i]);
  }
  return tol > hi - lo;
}

// True when the population has collapsed: the spread of its finite values
// (maximum minus minimum) is strictly below tol relative to the best value
// plus tol absolute. A flat history alone is not convergence: a population
// still spread over a wide range of values has only failed to improve its
// best for a while. With no finite value the spread is -inf (as the window
// test folds it), so an all-NaN population counts as collapsed.
inline bool collapsed(std::span<const double> values, double best, double tol) noexcept {
  double hi = -std::numeric_limits<double>::infinity();
  double lo = std::numeric_limits<double>::infinity();
  for (double v : values) {
    if (!std::isfinite(v)) continue;
    hi = v > hi ? v : hi;
    lo = v < lo ? v : lo;
  }
  const double scale = std::isfinite(best) ? std::fabs(best) : 0.0;
  return hi - lo < tol * scale + tol;
}

}  // namespace pelora::blackbox
