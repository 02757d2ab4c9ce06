#include "core/moo/weighted_sum.hpp"

#include <algorithm>
#include <array>

#include "core/blackbox/differential_evolution.hpp"
#include "core/moo/fronts.hpp"

namespace pelora::moo {

double sweep_weight(size_t i, size_t n_points) noexcept {
  const size_t d = n_points > 1 ? n_points - 1 : 1;
  return static_cast<double>(i) / static_cast<double>(d);
}

uint64_t sweep_seed(uint64_t seed, size_t i) noexcept { return seed + 100 + i; }

blackbox::DeOptions sweep_options(uint64_t seed, size_t i) {
  blackbox::DeOptions o;
  o.pop_size = 0;  // 10 * dim
  o.max_generations = kSweepGenerations;
  o.f = 0.8;
  o.cr = 0.9;
  o.tol = 1e-8;
  o.seed = sweep_seed(seed, i);
  return o;
}

void check_sweep(const blackbox::Bounds& bounds) {
  blackbox::check_de(bounds, sweep_options(0, 0));
}

std::vector<SweepPoint> weighted_sum_sweep(const blackbox::Bounds& bounds, size_t n_points,
                                           uint64_t seed, ObjectiveVector objectives,
                                           const blackbox::RunControl& control) {
  std::vector<SweepPoint> out;
  if (n_points == 0) return out;
  check_sweep(bounds);
  // The points arrive one run at a time; a huge n_points just means many
  // (interruptible) runs, so reserve no more than a modest number up front.
  out.reserve(std::min<size_t>(n_points, 4096));
  std::array<double, 2> values{};
  uint64_t made = 0;
  for (size_t i = 0; i < n_points; ++i) {
    const double w = sweep_weight(i, n_points);
    auto scalarised = [&](std::span<const double> x) {
      objectives(x, values);
      return w * values[0] + (1.0 - w) * values[1];
    };
    blackbox::DeOptions o = sweep_options(seed, i);
    o.control = control;
    o.control.monitor = nullptr;
    o.control.batch = nullptr;
    o.control.prior_evaluations = control.prior_evaluations + made;
    blackbox::RunResult run = blackbox::differential_evolution(bounds, o, scalarised);
    made += run.evaluations + 1;  // the run and the look at its best point
    SweepPoint p;
    p.weight = w;
    p.x = std::move(run.x);
    objectives(p.x, values);
    p.objectives.assign(values.begin(), values.end());
    const double best = run.objective;
    out.push_back(std::move(p));
    if (run.stopped) break;
    const blackbox::Verdict v =
        control.review(i + 1, made, out.back().x, best, false, blackbox::de_population(bounds, o));
    if (v == blackbox::Verdict::stopped) break;
  }
  return keep_nondominated(std::move(out));
}

std::vector<SweepPoint> keep_nondominated(std::vector<SweepPoint> points) {
  // Decide for every point first: the comparisons read the points that
  // the second pass moves out.
  std::vector<bool> keep(points.size(), true);
  for (size_t i = 0; i < points.size(); ++i) {
    for (size_t j = 0; j < points.size() && keep[i]; ++j) {
      if (j == i) continue;
      // Dominated by another point, or the same trade-off as an earlier one.
      keep[i] = !(dominates(points[j].objectives, points[i].objectives) ||
                  (j < i && points[j].objectives == points[i].objectives));
    }
  }
  std::vector<SweepPoint> kept;
  for (size_t i = 0; i < points.size(); ++i) {
    if (keep[i]) kept.push_back(std::move(points[i]));
  }
  return kept;
}

}  // namespace pelora::moo
