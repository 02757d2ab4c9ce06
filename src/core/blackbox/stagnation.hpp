// The convergence window of the population methods.
#pragma once
#include <cstddef>
#include <limits>
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

}  // namespace pelora::blackbox
