#include "core/moo/niching.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace pelora::moo {

void niche_select(const ObjectiveTable& table, std::vector<uint32_t>& selected,
                  std::span<const uint32_t> last_front, size_t needed,
                  std::span<const double> directions, NicheWork& work) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const size_t m = table.m;
  const size_t n_dir = m ? directions.size() / m : 0;
  if (needed == 0) return;
  if (n_dir == 0 || needed >= last_front.size()) {
    // Nothing to choose between: take the front in order.
    for (size_t r = 0; r < last_front.size() && r < needed; ++r) selected.push_back(last_front[r]);
    return;
  }
  const size_t n_sel = selected.size();
  const size_t n_all = n_sel + last_front.size();
  auto member = [&](size_t r) { return r < n_sel ? selected[r] : last_front[r - n_sel]; };

  // Ideal and nadir over the selected members and the last front.
  std::vector<double> ideal(m, kInf), span(m, -kInf);
  for (size_t r = 0; r < n_all; ++r) {
    auto f = table.row(member(r));
    for (size_t k = 0; k < m; ++k) {
      ideal[k] = std::fmin(ideal[k], f[k]);
      span[k] = std::fmax(span[k], f[k]);
    }
  }
  for (size_t k = 0; k < m; ++k) span[k] = std::fmax(span[k] - ideal[k], 1e-30);

  work.normalised.resize(n_all * m);
  for (size_t r = 0; r < n_all; ++r) {
    auto f = table.row(member(r));
    for (size_t k = 0; k < m; ++k) work.normalised[r * m + k] = (f[k] - ideal[k]) / span[k];
  }

  // Association with the closest direction (lowest index on ties). The
  // squared perpendicular distance to direction w is
  // |f'|^2 - (f'.w)^2 / (w.w), one dot product per direction.
  work.direction.assign(n_all, 0);
  work.distance.assign(n_all, kInf);
  std::vector<double> inv_wnorm(n_dir);
  for (size_t d = 0; d < n_dir; ++d) {
    double s = 0.0;
    for (size_t k = 0; k < m; ++k) s += directions[d * m + k] * directions[d * m + k];
    inv_wnorm[d] = 1.0 / std::fmax(s, 1e-30);
  }
  for (size_t r = 0; r < n_all; ++r) {
    const double* fp = work.normalised.data() + r * m;
    double norm2 = 0.0;
    for (size_t k = 0; k < m; ++k) norm2 += fp[k] * fp[k];
    double best = kInf;
    uint32_t best_d = 0;
    for (size_t d = 0; d < n_dir; ++d) {
      const double* w = directions.data() + d * m;
      double dot = 0.0;
      for (size_t k = 0; k < m; ++k) dot += fp[k] * w[k];
      const double dist2 = norm2 - dot * dot * inv_wnorm[d];
      if (dist2 < best) {
        best = dist2;
        best_d = static_cast<uint32_t>(d);
      }
    }
    // The expanded form above loses the small distances to cancellation;
    // the distance that orders the candidates is taken as ||f' - t w||.
    const double* w = directions.data() + static_cast<size_t>(best_d) * m;
    double dot = 0.0;
    for (size_t k = 0; k < m; ++k) dot += fp[k] * w[k];
    const double t = dot * inv_wnorm[best_d];
    double dist2 = 0.0;
    for (size_t k = 0; k < m; ++k) {
      const double e = fp[k] - t * w[k];
      dist2 += e * e;
    }
    work.direction[r] = best_d;
    work.distance[r] = best == kInf ? kInf : std::sqrt(dist2);
  }

  // Niche counts of the members already selected; candidates from the last front.
  work.niche_count.assign(n_dir, 0);
  for (size_t r = 0; r < n_sel; ++r) ++work.niche_count[work.direction[r]];
  if (work.candidates.size() < n_dir) work.candidates.resize(n_dir);
  for (size_t d = 0; d < n_dir; ++d) work.candidates[d].clear();
  for (size_t r = n_sel; r < n_all; ++r) {
    work.candidates[work.direction[r]].push_back(static_cast<uint32_t>(r));
  }
  work.active.clear();
  work.next_candidate.assign(n_dir, 0);
  for (size_t d = 0; d < n_dir; ++d) {
    auto& c = work.candidates[d];
    if (c.empty()) continue;
    std::stable_sort(c.begin(), c.end(), [&](uint32_t a, uint32_t b) {
      return less_nan_last(work.distance[a], work.distance[b]);
    });
    work.active.push_back(static_cast<uint32_t>(d));
  }

  // The members chosen below are appended after all association work is done,
  // so `member()` above never sees them.
  std::vector<uint32_t> chosen;
  chosen.reserve(needed);
  while (chosen.size() < needed && !work.active.empty()) {
    size_t pick = 0;
    for (size_t a = 1; a < work.active.size(); ++a) {
      if (work.niche_count[work.active[a]] < work.niche_count[work.active[pick]]) pick = a;
    }
    const uint32_t d = work.active[pick];
    const uint32_t r = work.candidates[d][work.next_candidate[d]++];
    chosen.push_back(last_front[r - n_sel]);
    ++work.niche_count[d];
    if (work.next_candidate[d] == work.candidates[d].size()) {
      work.active.erase(work.active.begin() + static_cast<std::ptrdiff_t>(pick));
    }
  }
  selected.insert(selected.end(), chosen.begin(), chosen.end());
}

}  // namespace pelora::moo
