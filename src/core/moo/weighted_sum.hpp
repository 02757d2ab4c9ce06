// Two-objective frontier by a weighted-sum sweep: one differential-evolution
// run per weight on w * f1 + (1 - w) * f2.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/blackbox/bounds.hpp"
#include "core/blackbox/run_control.hpp"
#include "core/blackbox/differential_evolution.hpp"
#include "core/moo/objective_vector.hpp"

namespace pelora::moo {

struct SweepPoint {
  double weight = 0.0;              // w; the weight vector is [w, 1 - w]
  std::vector<double> x;            // best point of the run
  std::vector<double> objectives;   // both objectives at x
};

// Generation limit of every run of the sweep.
inline constexpr uint64_t kSweepGenerations = 200;

// Weight of point i of n: i / (n - 1), or 0 when n is 1.
double sweep_weight(size_t i, size_t n_points) noexcept;

// Seed of run i: seed + 100 + i with 64-bit wrap-around (0 then acts as 1).
uint64_t sweep_seed(uint64_t seed, size_t i) noexcept;

// Throws std::invalid_argument when the runs cannot proceed (see check_de).
void check_sweep(const blackbox::Bounds& bounds);

// n_points runs in weight order; each point's objectives are evaluated
// once more at the run's best point. `objectives` must write two values.
// Only the non-dominated, distinct points are returned (keep_nondominated),
// still in weight order.
// `control` caps the whole sweep (time, calls) and its monitor is called
// after every run, shown the run's best point and weighted value; a sweep
// ended early returns the points of the runs it made. Its batch evaluator
// is not used (each run is serial; the runs are what may go in parallel).
std::vector<SweepPoint> weighted_sum_sweep(const blackbox::Bounds& bounds, size_t n_points,
                                           uint64_t seed, ObjectiveVector objectives,
                                           const blackbox::RunControl& control = {});

// The settings of run i of a sweep with this seed.
blackbox::DeOptions sweep_options(uint64_t seed, size_t i);

// The points that no other point dominates, in their order, each trade-off
// once: a point whose objective vector equals an earlier one's is dropped.
std::vector<SweepPoint> keep_nondominated(std::vector<SweepPoint> points);

}  // namespace pelora::moo
