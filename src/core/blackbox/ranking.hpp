// Ranking of offspring by value for the evolution strategies.
#pragma once
#include <algorithm>
#include <cstddef>
#include <numeric>
#include <vector>

namespace pelora::blackbox {

// Fills `order` with 0..n-1 sorted by `values`, ascending and stable; a NaN
// compares as equal to everything (it is never "less"), so it stays where
// the stable order leaves it. Small populations use an insertion sort,
// which needs no scratch memory; large ones the library's stable sort.
inline void rank_by_value(const std::vector<double>& values, std::vector<size_t>& order) {
  const size_t n = values.size();
  std::iota(order.begin(), order.end(), size_t{0});
  auto less = [&](size_t a, size_t b) { return values[a] < values[b]; };
  if (n > 64) {
    std::stable_sort(order.begin(), order.end(), less);
    return;
  }
  for (size_t i = 1; i < n; ++i) {
    const size_t item = order[i];
    size_t j = i;
    while (j > 0 && less(item, order[j - 1])) {
      order[j] = order[j - 1];
      --j;
    }
    order[j] = item;
  }
}

// Index of the first smallest value, NaN values skipped (0 when all are
// NaN). Without NaN this is the head of rank_by_value's order; with NaN it
// still finds the best offspring, which the ranking may leave behind a NaN.
inline size_t first_smallest(const std::vector<double>& values) noexcept {
  size_t best = 0;
  for (size_t j = 1; j < values.size(); ++j) {
    if (values[j] < values[best] || (values[best] != values[best] && values[j] == values[j])) {
      best = j;
    }
  }
  return best;
}

}  // namespace pelora::blackbox
