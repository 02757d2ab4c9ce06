// Non-dominated sorting genetic algorithms for any number of objectives:
// NSGA-II (crowding-distance truncation) and NSGA-III (niching on Das-Dennis
// reference directions).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/blackbox/bounds.hpp"
#include "core/blackbox/run_control.hpp"
#include "core/moo/objective_vector.hpp"

namespace pelora::moo {

enum class NsgaVariant { Nsga2, Nsga3 };

struct NsgaOptions {
  NsgaVariant variant = NsgaVariant::Nsga2;
  size_t pop_size = 100;     // P
  uint64_t generations = 250;
  size_t divisions = 12;     // Das-Dennis divisions (NSGA-III); 0 acts as 1
  uint64_t seed = 42;        // 0 acts as 1
  // Caps, monitor (shown an empty x and a NaN objective) and batch
  // evaluation; the batch writes m values per point.
  blackbox::RunControl control;
};

// Largest number of reference directions a run accepts; beyond it the
// direction table and the per-generation association cost get out of hand.
inline constexpr uint64_t kMaxReferenceDirections = 1'000'000;
// Largest population (parents and children are numbered together in 32 bits).
inline constexpr size_t kMaxPopulation = size_t{1} << 30;

struct NsgaMember {
  std::vector<double> x;
  std::vector<double> objectives;
  uint32_t rank = 0;
  double crowding = 0.0;
};

struct NsgaResult {
  std::vector<NsgaMember> front;  // front 0 of the final population, in sort order
  uint64_t evaluations = 0;
  bool stopped = false;  // a cap or the monitor ended the run early
};

// Throws std::invalid_argument for a run that cannot proceed: bad or empty
// bounds, fewer than two objectives, a population below 2 or above
// kMaxPopulation, or (NSGA-III) more
// reference directions than kMaxReferenceDirections.
void check_nsga(const blackbox::Bounds& bounds, size_t n_objectives, const NsgaOptions& options);

// Runs the engine and returns the first front of the final population.
NsgaResult nsga(const blackbox::Bounds& bounds, size_t n_objectives, const NsgaOptions& options,
                ObjectiveVector objectives);

}  // namespace pelora::moo
