// The generational loop: tournament selection, crossover and mutation make P
// children; parents and children are sorted into fronts together and the
// next population is filled front by front, the last front that does not fit
// whole being cut by crowding distance (NSGA-II) or by niching (NSGA-III).
#include "core/moo/nsga.hpp"

#include <algorithm>
#include <limits>
#include <cmath>
#include <stdexcept>
#include <string>

#include "core/blackbox/xorshift.hpp"
#include "core/moo/fronts.hpp"
#include "core/moo/niching.hpp"
#include "core/moo/reference_directions.hpp"
#include "core/moo/variation.hpp"

namespace pelora::moo {

using blackbox::Bounds;
using blackbox::XorShift64;

namespace {

// Members stored flat: x row i at [i*dim, (i+1)*dim), objectives at [i*m, (i+1)*m).
struct Population {
  size_t dim = 0, m = 0, size = 0;
  std::vector<double> x, f;
  std::vector<uint32_t> rank;
  std::vector<double> crowding;

  void resize(size_t n) {
    size = n;
    x.resize(n * dim);
    f.resize(n * m);
    rank.resize(n);
    crowding.resize(n);
  }
  std::span<double> xs(size_t i) { return {x.data() + i * dim, dim}; }
  std::span<double> fs(size_t i) { return {f.data() + i * m, m}; }
  ObjectiveTable table() const { return {std::span<const double>(f.data(), size * m), m}; }
};

// Ranks and crowding distances of every member from a fresh sort.
void assess(Population& pop, FrontSorter& sorter) {
  const ObjectiveTable t = pop.table();
  const Fronts& fr = sorter.sort(t);
  std::copy(fr.rank.begin(), fr.rank.end(), pop.rank.begin());
  for (const auto& front : fr.fronts) crowding_distance(t, front, pop.crowding);
}

// Binary tournament: the lower rank wins; on equal rank the first drawn wins
// only with a strictly greater crowding distance.
size_t tournament(const Population& pop, size_t p, XorShift64& rng) {
  const size_t a = rng.index(p);
  const size_t b = rng.index(p);
  if (pop.rank[a] != pop.rank[b]) return pop.rank[a] < pop.rank[b] ? a : b;
  return pop.crowding[a] > pop.crowding[b] ? a : b;
}

// Descending crowding distance with NaN last.
bool more_crowded_first(double a, double b) { return less_nan_last(-a, -b); }

}  // namespace

void check_nsga(const Bounds& bounds, size_t n_objectives, const NsgaOptions& options) {
  blackbox::check_bounds(bounds, true);
  if (n_objectives < 2) throw std::invalid_argument("Need at least 2 objectives");
  if (options.pop_size < 2) {
    throw std::invalid_argument("pop_size must be at least 2 for the genetic engine, got " +
                                std::to_string(options.pop_size));
  }
  // Members are numbered with 32-bit indices, parents and children together.
  if (options.pop_size > kMaxPopulation) {
    throw std::invalid_argument("pop_size must be at most " + std::to_string(kMaxPopulation) +
                                " for the genetic engine, got " +
                                std::to_string(options.pop_size));
  }
  if (options.variant == NsgaVariant::Nsga3) {
    const size_t p = options.divisions == 0 ? 1 : options.divisions;
    const uint64_t count = das_dennis_count(n_objectives, p);
    if (count > kMaxReferenceDirections) {
      throw std::invalid_argument(
          "das_dennis_divisions=" + std::to_string(p) + " with " + std::to_string(n_objectives) +
          " objectives gives " +
          (count == UINT64_MAX ? std::string("too many") : std::to_string(count)) +
          " reference directions (at most " + std::to_string(kMaxReferenceDirections) +
          " are supported); pass a smaller das_dennis_divisions");
    }
  }
}

NsgaResult nsga(const Bounds& bounds, size_t n_objectives, const NsgaOptions& options,
                ObjectiveVector objectives) {
  check_nsga(bounds, n_objectives, options);
  const size_t dim = bounds.dim();
  const size_t m = n_objectives;
  const size_t P = options.pop_size;
  const bool niching = options.variant == NsgaVariant::Nsga3;
  XorShift64 rng(options.seed);
  std::vector<double> directions;
  if (niching) directions = das_dennis(m, options.divisions == 0 ? 1 : options.divisions);

  NsgaResult result;
  FrontSorter sorter;
  NicheWork niche;

  // Initial population: random points of the box, evaluated in order.
  Population pop;
  pop.dim = dim;
  pop.m = m;
  pop.resize(P);
  const blackbox::RunControl& control = options.control;
  for (size_t i = 0; i < P; ++i) {
    blackbox::random_point(bounds, rng, pop.xs(i));
    if (!control.batch) objectives(pop.xs(i), pop.fs(i));
  }
  if (control.batch) (*control.batch)(pop.x, dim, pop.f);
  result.evaluations = P;
  assess(pop, sorter);

  // Parents in [0, P), children in [P, 2P) of `merged`; `next` receives the
  // survivors and is swapped with `pop`.
  Population merged = pop, next = pop;
  merged.resize(2 * P);
  std::vector<uint32_t> survivors, cut;
  survivors.reserve(P);
  std::vector<double> front_crowding(2 * P);

  for (uint64_t g = 0; g < options.generations; ++g) {
    std::copy(pop.x.begin(), pop.x.end(), merged.x.begin());
    std::copy(pop.f.begin(), pop.f.end(), merged.f.begin());

    // Children in pairs; with an odd P the last pair keeps its first child only.
    for (size_t c = P; c < 2 * P; c += 2) {
      const size_t a = tournament(pop, P, rng);
      const size_t b = tournament(pop, P, rng);
      const bool pair = c + 1 < 2 * P;
      std::vector<double> spare;
      std::span<double> c2;
      if (pair) {
        c2 = merged.xs(c + 1);
      } else {
        spare.resize(dim);
        c2 = spare;
      }
      sbx_crossover<XorShift64>(pop.xs(a), pop.xs(b), merged.xs(c), c2, bounds.lower,
                                bounds.upper, rng);
      polynomial_mutation(merged.xs(c), bounds.lower, bounds.upper, rng);
      if (pair) polynomial_mutation(c2, bounds.lower, bounds.upper, rng);
    }
    if (control.batch) {
      (*control.batch)(std::span<const double>(merged.x).subspan(P * dim, P * dim), dim,
                       std::span<double>(merged.f).subspan(P * m, P * m));
    } else {
      for (size_t c = P; c < 2 * P; ++c) objectives(merged.xs(c), merged.fs(c));
    }
    result.evaluations += P;

    // Environmental selection over parents and children.
    const ObjectiveTable table = merged.table();
    const Fronts& fr = sorter.sort(table);
    survivors.clear();
    for (const auto& front : fr.fronts) {
      if (survivors.size() + front.size() <= P) {
        survivors.insert(survivors.end(), front.begin(), front.end());
        if (survivors.size() == P) break;
        continue;
      }
      const size_t needed = P - survivors.size();
      if (niching) {
        niche_select(table, survivors, front, needed, directions, niche);
      } else {
        crowding_distance(table, front, front_crowding);
        cut.assign(front.begin(), front.end());
        std::stable_sort(cut.begin(), cut.end(), [&](uint32_t u, uint32_t v) {
          return more_crowded_first(front_crowding[u], front_crowding[v]);
        });
        survivors.insert(survivors.end(), cut.begin(), cut.begin() + static_cast<long>(needed));
      }
      break;
    }

    for (size_t r = 0; r < P; ++r) {
      const size_t s = survivors[r];
      std::copy_n(merged.x.begin() + static_cast<long>(s * dim), dim, next.xs(r).begin());
      std::copy_n(merged.f.begin() + static_cast<long>(s * m), m, next.fs(r).begin());
    }
    std::swap(pop, next);
    assess(pop, sorter);
    const blackbox::Verdict v = control.review(g + 1, result.evaluations, {},
                                               std::numeric_limits<double>::quiet_NaN(), false, P);
    if (v == blackbox::Verdict::stopped) {
      result.stopped = true;
      break;
    }
  }

  // The first front of the final population, in the order the sort lists it.
  const ObjectiveTable table = pop.table();
  const Fronts& fr = sorter.sort(table);
  std::fill(pop.crowding.begin(), pop.crowding.end(), 0.0);
  for (const auto& front : fr.fronts) crowding_distance(table, front, pop.crowding);
  if (!fr.fronts.empty()) {
    result.front.reserve(fr.fronts[0].size());
    for (uint32_t i : fr.fronts[0]) {
      NsgaMember mbr;
      mbr.x.assign(pop.xs(i).begin(), pop.xs(i).end());
      mbr.objectives.assign(pop.fs(i).begin(), pop.fs(i).end());
      mbr.rank = fr.rank[i];
      mbr.crowding = pop.crowding[i];
      result.front.push_back(std::move(mbr));
    }
  }
  return result;
}

}  // namespace pelora::moo
