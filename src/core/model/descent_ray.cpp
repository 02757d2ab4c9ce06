#include "core/model/descent_ray.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace pelora {

namespace {

struct RayCheck {
  const StandardForm& f;
  double infinity;
  std::vector<double> change;  // row activity change along d, per row
  std::vector<size_t> touched;

  bool col_free(size_t j, int s) const {
    return s > 0 ? f.col_upper[j] >= infinity : f.col_lower[j] <= -infinity;
  }
  void move(size_t j, int s) {
    for (int32_t k = f.a_start[j]; k < f.a_start[j + 1]; ++k) {
      const size_t r = static_cast<size_t>(f.a_index[k]);
      if (change[r] == 0.0) touched.push_back(r);
      change[r] += s * f.a_value[k];
    }
  }
  // True when every changed row stays unbounded on its side; resets the
  // scratch rows.
  bool rows_free() {
    bool ok = true;
    for (size_t r : touched) {
      const double c = change[r];
      if ((c > 0 && f.row_upper[r] < infinity) || (c < 0 && f.row_lower[r] > -infinity)) ok = false;
      change[r] = 0.0;
    }
    touched.clear();
    return ok;
  }
  bool direction(size_t i, int si, size_t j, int sj) {
    if (!col_free(i, si) || (j != i && !col_free(j, sj))) return false;
    move(i, si);
    if (j != i) move(j, sj);
    return rows_free();
  }
};

std::vector<double> hessian_diagonal(const Hessian& h, size_t num_col) {
  std::vector<double> diagonal(num_col, 0.0);
  for (size_t j = 0; j < num_col; ++j) {
    for (int32_t k = h.q_start[j]; k < h.q_start[j + 1]; ++k) {
      if (static_cast<size_t>(h.q_index[k]) == j) diagonal[j] += h.q_value[k];
    }
  }
  return diagonal;
}

}  // namespace

bool obviously_non_convex(const StandardForm& f) {
  if (!f.hessian || f.hessian->nnz() == 0) return false;
  const Hessian& h = *f.hessian;
  const std::vector<double> diagonal = hessian_diagonal(h, f.num_col);
  for (double d : diagonal)
    if (d < 0.0) return true;
  for (size_t j = 0; j < f.num_col; ++j) {
    for (int32_t k = h.q_start[j]; k < h.q_start[j + 1]; ++k) {
      const size_t i = static_cast<size_t>(h.q_index[k]);
      if (i != j && diagonal[i] * diagonal[j] < h.q_value[k] * h.q_value[k]) return true;
    }
  }
  return false;
}

bool has_descent_ray(const StandardForm& f, const std::vector<bool>& fixed, double infinity) {
  if (!f.hessian || f.hessian->nnz() == 0) return false;
  const Hessian& h = *f.hessian;
  const std::vector<double> diagonal = hessian_diagonal(h, f.num_col);
  RayCheck c{f, infinity, std::vector<double>(f.num_row, 0.0), {}};
  for (size_t j = 0; j < f.num_col; ++j) {
    if (fixed[j] || !(diagonal[j] < 0.0)) continue;
    if (c.direction(j, 1, j, 1) || c.direction(j, -1, j, -1)) return true;
  }
  for (size_t j = 0; j < f.num_col; ++j) {
    for (int32_t k = h.q_start[j]; k < h.q_start[j + 1]; ++k) {
      const size_t i = static_cast<size_t>(h.q_index[k]);
      if (i == j || fixed[i] || fixed[j]) continue;
      for (int si : {1, -1}) {
        for (int sj : {1, -1}) {
          // d'Qd of d = si*e_i + sj*e_j: Q_ii + Q_jj + 2*si*sj*Q_ij.
          const double curvature = diagonal[i] + diagonal[j] + 2.0 * si * sj * h.q_value[k];
          if (curvature < 0.0 && c.direction(i, si, j, sj)) return true;
        }
      }
    }
  }
  return false;
}

}  // namespace pelora
