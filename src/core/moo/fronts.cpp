#include "core/moo/fronts.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>

namespace pelora::moo {

namespace {

// Compares two objective vectors once: bit 0 set when a is strictly better
// somewhere, bit 1 when b is strictly better somewhere. NaN compares false
// both ways and so never makes either side worse.
inline unsigned compare(const double* a, const double* b, size_t m) {
  unsigned r = 0;
  for (size_t k = 0; k < m; ++k) {
    if (a[k] < b[k]) r |= 1u;
    if (b[k] < a[k]) r |= 2u;
  }
  return r;
}

}  // namespace

bool dominates(std::span<const double> a, std::span<const double> b) {
  return compare(a.data(), b.data(), std::min(a.size(), b.size())) == 1u;
}

const Fronts& FrontSorter::sort(const ObjectiveTable& table) {
  const size_t n = table.size();
  const size_t m = table.m;
  const double* f = table.values.data();
  out_.rank.assign(n, 0);
  for (auto& front : out_.fronts) front.clear();
  dominator_count_.assign(n, 0);
  const size_t words = (n + 63) / 64;
  dominates_.assign(n * words, 0);
  auto mark = [&](size_t i, size_t j) { dominates_[i * words + j / 64] |= uint64_t{1} << (j % 64); };

  // One pass over all pairs records who dominates whom.
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = i + 1; j < n; ++j) {
      unsigned r = compare(f + i * m, f + j * m, m);
      if (r == 1u) {
        mark(i, j);
        ++dominator_count_[j];
      } else if (r == 2u) {
        mark(j, i);
        ++dominator_count_[i];
      }
    }
  }

  size_t used = 0;
  auto next_front = [&]() -> std::vector<uint32_t>& {
    if (used == out_.fronts.size()) out_.fronts.emplace_back();
    return out_.fronts[used++];
  };
  std::vector<uint32_t>* current = &next_front();
  for (size_t i = 0; i < n; ++i) {
    if (dominator_count_[i] == 0) current->push_back(static_cast<uint32_t>(i));
  }
  uint32_t level = 0;
  while (!current->empty()) {
    std::vector<uint32_t>& following = next_front();
    // `following` may have moved the vector of fronts; look `current` up again.
    current = &out_.fronts[used - 2];
    for (uint32_t p : *current) {
      out_.rank[p] = level;
      const uint64_t* row = dominates_.data() + static_cast<size_t>(p) * words;
      for (size_t w = 0; w < words; ++w) {
        for (uint64_t bits = row[w]; bits; bits &= bits - 1) {
          const size_t q = w * 64 + static_cast<size_t>(std::countr_zero(bits));
          if (--dominator_count_[q] == 0) following.push_back(static_cast<uint32_t>(q));
        }
      }
    }
    current = &out_.fronts[used - 1];
    ++level;
  }
  out_.fronts.resize(used - 1);  // drop the trailing empty front
  return out_;
}

void crowding_distance(const ObjectiveTable& table, std::span<const uint32_t> front,
                       std::span<double> crowding) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  for (uint32_t i : front) crowding[i] = 0.0;
  if (front.size() <= 2) {
    for (uint32_t i : front) crowding[i] = kInf;
    return;
  }
  std::vector<uint32_t> order(front.begin(), front.end());
  const size_t last = order.size() - 1;
  for (size_t k = 0; k < table.m; ++k) {
    auto value = [&](uint32_t i) { return table.values[static_cast<size_t>(i) * table.m + k]; };
    std::copy(front.begin(), front.end(), order.begin());
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return less_nan_last(value(a), value(b)); });
    crowding[order[0]] = kInf;
    crowding[order[last]] = kInf;
    const double range = std::fmax(value(order[last]) - value(order[0]), 1e-30);
    for (size_t r = 1; r < last; ++r) {
      crowding[order[r]] += (value(order[r + 1]) - value(order[r - 1])) / range;
    }
  }
}

}  // namespace pelora::moo
