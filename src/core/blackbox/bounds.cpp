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

void check_population_size(size_t members, size_t dim, const char* what) {
  // 2^56 doubles is far beyond any memory; the limit only keeps the
  // products of sizes from wrapping.
  constexpr size_t kLimit = size_t{1} << 56;
  if (members > kLimit / (dim == 0 ? 1 : dim)) {
    throw std::invalid_argument(std::string(what) + " " + std::to_string(members) +
                                " is too large for " + std::to_string(dim) + " dimensions");
  }
}

}  // namespace pelora::blackbox
