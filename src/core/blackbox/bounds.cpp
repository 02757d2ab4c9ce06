#include "core/blackbox/bounds.hpp"

#include <cmath>
#include <string>

#include "core/format.hpp"

namespace pelora::blackbox {

void check_bounds(const Bounds& b, bool need_points) {
  if (need_points && b.dim() == 0) {
    throw std::invalid_argument("bounds is empty: give at least one (lower, upper) pair");
  }
  for (size_t k = 0; k < b.dim(); ++k) {
    const double lo = b.lower[k], hi = b.upper[k];
    if (!std::isfinite(lo) || !std::isfinite(hi)) {
      throw std::invalid_argument("bounds[" + std::to_string(k) + "] = (" + plain_number(lo) +
                                  ", " + plain_number(hi) + "): both bounds must be finite");
    }
    if (lo > hi) {
      throw std::invalid_argument("bounds[" + std::to_string(k) + "] = (" + plain_number(lo) +
                                  ", " + plain_number(hi) +
                                  "): the lower bound exceeds the upper bound");
    }
  }
}

}  // namespace pelora::blackbox
