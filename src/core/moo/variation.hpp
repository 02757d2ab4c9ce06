// Variation operators of the genetic engine: simulated binary crossover
// (distribution index 15, bounded form) and polynomial mutation
// (distribution index 20). `Rng` is any generator with `double uniform()`
// returning a draw in [0, 1).
#pragma once
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

namespace pelora::moo {

inline constexpr double kSbxEta = 15.0;
inline constexpr double kMutationEta = 20.0;

namespace detail {

// Spread factor of the bounded crossover for one side of the parent pair.
inline double sbx_beta_q(double beta, double u) {
  const double alpha = 2.0 - std::pow(beta, -(kSbxEta + 1.0));
  const double e = 1.0 / (kSbxEta + 1.0);
  if (u <= 1.0 / alpha) return std::pow(u * alpha, e);
  return std::pow(1.0 / (2.0 - u * alpha), e);
}

inline double clamp_to(double v, double lo, double hi) { return std::fmin(std::fmax(v, lo), hi); }

}  // namespace detail

// Crosses two parents into two children (the children start as copies of
// the parents). Each variable crosses with probability 1/2 unless the
// parents agree on it.
template <class Rng>
void sbx_crossover(std::span<const double> p1, std::span<const double> p2,
                   std::span<double> c1, std::span<double> c2, std::span<const double> lower,
                   std::span<const double> upper, Rng& rng) {
  std::copy(p1.begin(), p1.end(), c1.begin());
  std::copy(p2.begin(), p2.end(), c2.begin());
  for (size_t j = 0; j < p1.size(); ++j) {
    const double gate = rng.uniform();
    if (gate > 0.5 || std::fabs(p1[j] - p2[j]) < 1e-14) continue;
    const double y1 = std::fmin(p1[j], p2[j]);
    const double y2 = std::fmax(p1[j], p2[j]);
    const double yl = lower[j], yu = upper[j];
    const double d = std::fmax(y2 - y1, 1e-30);
    const double u = rng.uniform();
    const double bq1 = detail::sbx_beta_q(1.0 + 2.0 * (y1 - yl) / d, u);
    const double bq2 = detail::sbx_beta_q(1.0 + 2.0 * (yu - y2) / d, u);
    const double v1 = detail::clamp_to(0.5 * ((y1 + y2) - bq1 * (y2 - y1)), yl, yu);
    const double v2 = detail::clamp_to(0.5 * ((y1 + y2) + bq2 * (y2 - y1)), yl, yu);
    if (rng.uniform() < 0.5) {
      c1[j] = v2;
      c2[j] = v1;
    } else {
      c1[j] = v1;
      c2[j] = v2;
    }
  }
}

// Mutates each variable with probability 1/dim.
template <class Rng>
void polynomial_mutation(std::span<double> y, std::span<const double> lower,
                         std::span<const double> upper, Rng& rng) {
  const double rate = 1.0 / static_cast<double>(y.size());
  const double e = 1.0 / (kMutationEta + 1.0);
  for (size_t j = 0; j < y.size(); ++j) {
    if (rng.uniform() > rate) continue;
    const double yl = lower[j], yu = upper[j];
    const double r = std::fmax(yu - yl, 1e-30);
    const double u = rng.uniform();
    double q;
    if (u < 0.5) {
      const double base = 1.0 - (y[j] - yl) / r;
      q = std::pow(2.0 * u + (1.0 - 2.0 * u) * std::pow(base, kMutationEta + 1.0), e) - 1.0;
    } else {
      const double base = 1.0 - (yu - y[j]) / r;
      q = 1.0 - std::pow(2.0 * (1.0 - u) + 2.0 * (u - 0.5) * std::pow(base, kMutationEta + 1.0), e);
    }
    y[j] = detail::clamp_to(y[j] + q * r, yl, yu);
  }
}

}  // namespace pelora::moo
