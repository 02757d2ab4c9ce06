// Reference-direction niching: how the many-objective engine fills the last
// places of the next population from the front that does not fit whole.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/moo/fronts.hpp"

namespace pelora::moo {

// Reusable buffers for `niche_select`.
struct NicheWork {
  std::vector<double> normalised;   // members x m
  std::vector<uint32_t> direction;  // associated direction per member
  std::vector<double> distance;     // perpendicular distance per member
  std::vector<size_t> niche_count;
  std::vector<std::vector<uint32_t>> candidates;  // per direction: positions in the last front
  std::vector<size_t> next_candidate;
  std::vector<uint32_t> active;
};

// Picks `needed` members of `last_front` and appends them to `selected`.
// Objectives are normalised by the ideal and nadir values over the selected
// members plus the last front; every member is associated with the
// direction at the smallest perpendicular distance; then, repeatedly, the
// direction with the fewest selected members (lowest index on ties) receives
// its closest unselected candidate (first on ties). Directions without
// candidates are skipped. `directions` holds the unit-sum directions row by
// row (m values each).
void niche_select(const ObjectiveTable& table, std::vector<uint32_t>& selected,
                  std::span<const uint32_t> last_front, size_t needed,
                  std::span<const double> directions, NicheWork& work);

}  // namespace pelora::moo
