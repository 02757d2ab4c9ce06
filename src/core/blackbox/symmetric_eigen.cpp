#include "core/blackbox/symmetric_eigen.hpp"

#include <cmath>
#include <algorithm>
#include <utility>

namespace pelora::blackbox {
namespace {

// sqrt(a^2 + b^2) without the cost of std::hypot in the common case; the
// careful version only when squaring could overflow or underflow.
inline double norm2(double a, double b) {
  const double h = std::sqrt(a * a + b * b);
  return (h > 1e-150 && h < 1e150) ? h : std::hypot(a, b);
}

// Householder reduction of the symmetric matrix in `v` to tridiagonal form:
// diagonal in d, subdiagonal in e[1..n-1] (e[0] = 0), the accumulated
// orthogonal transformation in v. V is addressed column-major, so the inner
// loops, which walk down columns, run over contiguous memory (a symmetric
// input reads the same either way). Column j of V ends up as row j of `v`,
// the layout ql_iterate works on.
void tridiagonalize(size_t n, double* v, double* d, double* e) {
  auto V = [&](size_t i, size_t j) -> double& { return v[j * n + i]; };
  for (size_t j = 0; j < n; ++j) d[j] = V(n - 1, j);

  for (size_t i = n - 1; i > 0; --i) {
    double scale = 0.0, h = 0.0;
    for (size_t k = 0; k < i; ++k) scale += std::fabs(d[k]);
    if (scale == 0.0) {
      e[i] = d[i - 1];
      for (size_t j = 0; j < i; ++j) {
        d[j] = V(i - 1, j);
        V(i, j) = 0.0;
        V(j, i) = 0.0;
      }
    } else {
      for (size_t k = 0; k < i; ++k) {
        d[k] /= scale;
        h += d[k] * d[k];
      }
      double f = d[i - 1];
      double g = std::sqrt(h);
      if (f > 0) g = -g;
      e[i] = scale * g;
      h -= f * g;
      d[i - 1] = f - g;
      for (size_t j = 0; j < i; ++j) e[j] = 0.0;
      for (size_t j = 0; j < i; ++j) {
        f = d[j];
        V(j, i) = f;
        g = e[j] + V(j, j) * f;
        for (size_t k = j + 1; k < i; ++k) {
          g += V(k, j) * d[k];
          e[k] += V(k, j) * f;
        }
        e[j] = g;
      }
      f = 0.0;
      for (size_t j = 0; j < i; ++j) {
        e[j] /= h;
        f += e[j] * d[j];
      }
      const double hh = f / (h + h);
      for (size_t j = 0; j < i; ++j) e[j] -= hh * d[j];
      for (size_t j = 0; j < i; ++j) {
        f = d[j];
        g = e[j];
        for (size_t k = j; k < i; ++k) V(k, j) -= (f * e[k] + g * d[k]);
        d[j] = V(i - 1, j);
        V(i, j) = 0.0;
      }
    }
    d[i] = h;
  }

  // Accumulate the transformations.
  for (size_t i = 0; i + 1 < n; ++i) {
    V(n - 1, i) = V(i, i);
    V(i, i) = 1.0;
    const double h = d[i + 1];
    if (h != 0.0) {
      for (size_t k = 0; k <= i; ++k) d[k] = V(k, i + 1) / h;
      for (size_t j = 0; j <= i; ++j) {
        double g = 0.0;
        for (size_t k = 0; k <= i; ++k) g += V(k, i + 1) * V(k, j);
        for (size_t k = 0; k <= i; ++k) V(k, j) -= g * d[k];
      }
    }
    for (size_t k = 0; k <= i; ++k) V(k, i + 1) = 0.0;
  }
  for (size_t j = 0; j < n; ++j) {
    d[j] = V(n - 1, j);
    V(n - 1, j) = 0.0;
  }
  V(n - 1, n - 1) = 1.0;
  e[0] = 0.0;
}

// Implicit QL on the tridiagonal (d, e), rotating the eigenvectors along.
// Here the vectors are the rows of `vt` (the transpose of tridiagonalize's
// v), so each rotation runs over contiguous memory.
bool ql_iterate(size_t n, double* vt, double* d, double* e) {
  auto Row = [&](size_t i) { return vt + i * n; };
  for (size_t i = 1; i < n; ++i) e[i - 1] = e[i];
  e[n - 1] = 0.0;

  double f = 0.0, tst1 = 0.0;
  const double eps = std::ldexp(1.0, -52);
  for (size_t l = 0; l < n; ++l) {
    tst1 = std::fmax(tst1, std::fabs(d[l]) + std::fabs(e[l]));
    size_t m = l;
    while (m + 1 < n && !(std::fabs(e[m]) <= eps * tst1)) ++m;  // e[n-1] = 0 ends it
    if (m > l) {
      int iter = 0;
      do {
        if (++iter > 100) return false;
        double g = d[l];
        double p = (d[l + 1] - g) / (2.0 * e[l]);
        double r = norm2(p, 1.0);
        if (p < 0) r = -r;
        d[l] = e[l] / (p + r);
        d[l + 1] = e[l] * (p + r);
        const double dl1 = d[l + 1];
        double h = g - d[l];
        for (size_t i = l + 2; i < n; ++i) d[i] -= h;
        f += h;

        p = d[m];
        double c = 1.0, c2 = 1.0, c3 = 1.0;
        const double el1 = e[l + 1];
        double s = 0.0, s2 = 0.0;
        for (size_t ii = m; ii-- > l;) {
          const size_t i = ii;
          c3 = c2;
          c2 = c;
          s2 = s;
          g = c * e[i];
          h = c * p;
          r = norm2(p, e[i]);
          e[i + 1] = s * r;
          const double inv_r = 1.0 / r;
          s = e[i] * inv_r;
          c = p * inv_r;
          p = c * d[i] - s * g;
          d[i + 1] = h + s * (c * g + s * d[i]);
          double* a = Row(i);
          double* b = Row(i + 1);
          for (size_t k = 0; k < n; ++k) {
            const double t = b[k];
            b[k] = s * a[k] + c * t;
            a[k] = c * a[k] - s * t;
          }
        }
        p = -s * s2 * c3 * el1 * e[l] / dl1;
        e[l] = s * p;
        d[l] = c * p;
      } while (std::fabs(e[l]) > eps * tst1);
    }
    d[l] += f;
    e[l] = 0.0;
  }

  // Ascending order, columns along (selection sort: n is small).
  for (size_t i = 0; i + 1 < n; ++i) {
    size_t k = i;
    for (size_t j = i + 1; j < n; ++j) {
      if (d[j] < d[k]) k = j;
    }
    if (k != i) {
      std::swap(d[i], d[k]);
      std::swap_ranges(Row(i), Row(i) + n, Row(k));
    }
  }
  return true;
}

void transpose(size_t n, double* v) {
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = i + 1; j < n; ++j) std::swap(v[i * n + j], v[j * n + i]);
  }
}

}  // namespace

bool symmetric_eigen(size_t n, std::span<double> v, std::span<double> values,
                     std::span<double> work) noexcept {
  if (n == 0) return true;
  for (size_t i = 0; i < n * n; ++i) {
    if (!std::isfinite(v[i])) return false;
  }
  if (n == 1) {
    values[0] = v[0];
    v[0] = 1.0;
    return true;
  }
  tridiagonalize(n, v.data(), values.data(), work.data());
  if (!ql_iterate(n, v.data(), values.data(), work.data())) return false;
  transpose(n, v.data());
  for (size_t i = 0; i < n; ++i) {
    if (!std::isfinite(values[i])) return false;
  }
  return true;
}

}  // namespace pelora::blackbox
