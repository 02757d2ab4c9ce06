// The search box of the black-box optimisers, clamping into it and random
// points drawn from it.
#pragma once
#include <cstddef>
#include <span>
#include <stdexcept>
#include <vector>

#include "core/blackbox/xorshift.hpp"

namespace pelora::blackbox {

// One (lower, upper) pair per decision variable, kept as two parallel arrays.
struct Bounds {
  std::vector<double> lower;
  std::vector<double> upper;

  size_t dim() const noexcept { return lower.size(); }
};

// max/min that return the other operand when one is NaN, so a NaN
// coordinate is pulled into the box instead of staying NaN.
inline double nan_max(double a, double b) noexcept {
  if (a != a) return b;
  if (b != b) return a;
  return a > b ? a : b;
}
inline double nan_min(double a, double b) noexcept {
  if (a != a) return b;
  if (b != b) return a;
  return a < b ? a : b;
}

// x = min(max(x, lower), upper) coordinate by coordinate.
inline void clamp(const Bounds& b, std::span<double> x) noexcept {
  for (size_t k = 0; k < x.size(); ++k) x[k] = nan_min(nan_max(x[k], b.lower[k]), b.upper[k]);
}

// A uniform point of the box: one uniform draw per coordinate, in order.
inline void random_point(const Bounds& b, XorShift64& rng, std::span<double> out) noexcept {
  for (size_t k = 0; k < out.size(); ++k) {
    const double u = rng.uniform();
    out[k] = (b.upper[k] - b.lower[k]) * u + b.lower[k];
  }
}

// Rejects boxes the optimisers cannot sample from: a NaN or infinite bound,
// or a lower bound above its upper bound (std::invalid_argument naming the
// offending pair). With `need_points`, an empty box is rejected too: the
// population methods need at least one coordinate.
void check_bounds(const Bounds& b, bool need_points);

// Rejects a population whose storage (members x dim coordinates) could not
// even be addressed, before a size computation wraps around
// (std::invalid_argument naming `what`, e.g. "pop_size").
void check_population_size(size_t members, size_t dim, const char* what);

}  // namespace pelora::blackbox
