#include "core/model/form_cleanup.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/scan.hpp"

namespace pelora {

namespace {

void snap(std::vector<double>& v) {
  for (double& x : v) {
    if (std::fabs(x) < kTinyBound) x = 0.0;  // infinities and NaN fail the test
  }
}

void widen(std::vector<double>& v) {
  // Bounds are nearly always small or already infinite: the array is
  // rewritten only when some entry needs it.
  if (!any_large_finite(v.data(), v.size(), kSolverInfinity)) return;
  for (double& x : v) {
    if (std::fabs(x) >= kSolverInfinity) x = std::copysign(std::numeric_limits<double>::infinity(), x);
  }
}

bool upper_redundant(double max_activity, double upper) {
  if (std::isinf(upper) && upper > 0) return true;
  return max_activity <= upper - kRedundancyMargin * (1.0 + std::fabs(upper));
}

bool lower_redundant(double min_activity, double lower) {
  if (std::isinf(lower) && lower < 0) return true;
  return min_activity >= lower + kRedundancyMargin * (1.0 + std::fabs(lower));
}

}  // namespace

void clean_tiny_bounds(StandardForm& f) {
  snap(f.col_lower);
  snap(f.col_upper);
  snap(f.row_lower);
  snap(f.row_upper);
}

void widen_infinite_bounds(StandardForm& f) {
  widen(f.col_lower);
  widen(f.col_upper);
  widen(f.row_lower);
  widen(f.row_upper);
}

std::vector<uint32_t> eliminate_redundant_rows(StandardForm& f) {
  const size_t rows = f.num_row;
  std::vector<double> lo(rows, 0.0), hi(rows, 0.0);
  for (size_t j = 0; j < f.num_col; ++j) {
    const double cl = f.col_lower[j], cu = f.col_upper[j];
    for (int32_t k = f.a_start[j]; k < f.a_start[j + 1]; ++k) {
      const double a = f.a_value[k];
      const size_t r = static_cast<size_t>(f.a_index[k]);
      if (a > 0) {
        lo[r] += a * cl;
        hi[r] += a * cu;
      } else if (a < 0) {
        lo[r] += a * cu;
        hi[r] += a * cl;
      }
    }
  }

  std::vector<int32_t> new_index(rows, -1);
  std::vector<uint32_t> kept;
  kept.reserve(rows);
  for (size_t r = 0; r < rows; ++r) {
    // NaN (opposite infinities met) proves nothing: the row stays.
    const bool redundant = !std::isnan(lo[r]) && !std::isnan(hi[r]) &&
                           upper_redundant(hi[r], f.row_upper[r]) &&
                           lower_redundant(lo[r], f.row_lower[r]);
    if (!redundant) {
      new_index[r] = static_cast<int32_t>(kept.size());
      kept.push_back(static_cast<uint32_t>(r));
    }
  }
  if (kept.size() == rows) return kept;

  // Rebuild the matrix in place, column by column, keeping the entries of
  // kept rows in their order.
  size_t out = 0;
  int32_t col_begin = f.a_start[0];
  for (size_t j = 0; j < f.num_col; ++j) {
    const int32_t col_end = f.a_start[j + 1];
    f.a_start[j] = static_cast<int32_t>(out);
    for (int32_t k = col_begin; k < col_end; ++k) {
      const int32_t r = new_index[static_cast<size_t>(f.a_index[k])];
      if (r < 0) continue;
      f.a_index[out] = r;
      f.a_value[out] = f.a_value[k];
      ++out;
    }
    col_begin = col_end;
  }
  f.a_start[f.num_col] = static_cast<int32_t>(out);
  f.a_index.resize(out);
  f.a_value.resize(out);
  f.a_index.shrink_to_fit();
  f.a_value.shrink_to_fit();

  std::vector<double> rl(kept.size()), ru(kept.size());
  for (size_t i = 0; i < kept.size(); ++i) {
    rl[i] = f.row_lower[kept[i]];
    ru[i] = f.row_upper[kept[i]];
  }
  f.row_lower = std::move(rl);
  f.row_upper = std::move(ru);
  f.num_row = kept.size();
  return kept;
}

std::vector<double> expand_row_duals(const std::vector<double>& duals,
                                     const std::vector<uint32_t>& kept, size_t original_rows) {
  const size_t tail = duals.size() > kept.size() ? duals.size() - kept.size() : 0;
  std::vector<double> out(original_rows + tail, 0.0);
  for (size_t i = 0; i < kept.size() && i < duals.size(); ++i) out[kept[i]] = duals[i];
  for (size_t i = 0; i < tail; ++i) out[original_rows + i] = duals[kept.size() + i];
  return out;
}

bool integral_at(const std::vector<int32_t>& integrality, const std::vector<double>& x, double tol) {
  if (x.size() < integrality.size()) return false;
  for (size_t j = 0; j < integrality.size(); ++j) {
    if (integrality[j] != 0 && !(std::fabs(x[j] - std::round(x[j])) <= tol)) return false;
  }
  return true;
}

void round_integer_columns(const std::vector<int32_t>& integrality, std::vector<double>& x) {
  for (size_t j = 0; j < integrality.size() && j < x.size(); ++j) {
    if (integrality[j] != 0) x[j] = std::round(x[j]) + 0.0;  // + 0.0: no -0.0
  }
}

bool feasible_at(const StandardForm& f, const std::vector<double>& x, double rel_tol) {
  if (x.size() != f.num_col) return false;
  auto within = [rel_tol](double v, double lo, double up) {
    if (v < lo && !(lo - v <= rel_tol * std::max(1.0, std::fabs(lo)))) return false;
    if (v > up && !(v - up <= rel_tol * std::max(1.0, std::fabs(up)))) return false;
    return !std::isnan(v);
  };
  for (size_t j = 0; j < f.num_col; ++j) {
    if (!within(x[j], f.col_lower[j], f.col_upper[j])) return false;
  }
  std::vector<double> activity(f.num_row, 0.0);
  for (size_t j = 0; j < f.num_col; ++j) {
    for (int32_t k = f.a_start[j]; k < f.a_start[j + 1]; ++k) {
      activity[static_cast<size_t>(f.a_index[k])] += f.a_value[k] * x[j];
    }
  }
  for (size_t r = 0; r < f.num_row; ++r) {
    if (!within(activity[r], f.row_lower[r], f.row_upper[r])) return false;
  }
  return true;
}

double form_objective_at(const StandardForm& f, const std::vector<double>& x) {
  double v = 0.0;
  for (size_t j = 0; j < f.num_col && j < x.size(); ++j) v += f.col_cost[j] * x[j];
  if (f.hessian) {
    const Hessian& h = *f.hessian;
    for (size_t j = 0; j < f.num_col && j < x.size(); ++j) {
      for (int32_t k = h.q_start[j]; k < h.q_start[j + 1]; ++k) {
        const auto i = static_cast<size_t>(h.q_index[k]);
        if (i >= x.size()) continue;
        v += (i == j ? 0.5 : 1.0) * h.q_value[k] * x[i] * x[j];
      }
    }
  }
  return v;
}

}  // namespace pelora
