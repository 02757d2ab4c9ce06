// Pareto dominance, fast non-dominated sorting and crowding distance over a
// set of objective vectors stored row by row (n rows of m values).
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pelora::moo {

// Objective vectors of a population: row i holds the m values of member i.
struct ObjectiveTable {
  std::span<const double> values;  // n * m
  size_t m = 0;
  size_t size() const { return m ? values.size() / m : 0; }
  std::span<const double> row(size_t i) const { return values.subspan(i * m, m); }
};

// a dominates b: a is no worse in every objective (a comparison with NaN
// counts as "not worse") and strictly better in at least one.
bool dominates(std::span<const double> a, std::span<const double> b);

// Fronts of a fast non-dominated sort (one O(m n^2) pass over all pairs).
// Front 0 lists the non-dominated members in index order; every later front
// lists members in the order their last dominator released them.
struct Fronts {
  std::vector<std::vector<uint32_t>> fronts;
  std::vector<uint32_t> rank;  // front number per member
};

// Reusable buffers so that sorting every generation does not reallocate.
class FrontSorter {
 public:
  // Sorts the table into fronts; the result stays valid until the next call.
  const Fronts& sort(const ObjectiveTable& table);

 private:
  Fronts out_;
  std::vector<uint32_t> dominator_count_;
  // n rows of bits: row i marks the members that i dominates.
  std::vector<uint64_t> dominates_;
};

// Crowding distance of the members of one front, written into `crowding`
// (indexed by member). Fronts of one or two members get +inf throughout;
// otherwise boundary members per objective get +inf and interior members add
// the normalised gap between their neighbours.
void crowding_distance(const ObjectiveTable& table, std::span<const uint32_t> front,
                       std::span<double> crowding);

// Orders doubles with NaN after every number, so sorting never sees an
// inconsistent comparison.
inline bool less_nan_last(double a, double b) {
  if (a != a) return false;
  if (b != b) return true;
  return a < b;
}

}  // namespace pelora::moo
