// Eigen-decomposition of a small dense symmetric matrix: Householder
// reduction to tridiagonal form, then the implicit QL iteration with
// Wilkinson-type shifts. O(n^3); allocation-free (the caller owns the
// storage).
#pragma once
#include <cmath>
#include <cstddef>
#include <span>

namespace pelora::blackbox {

// Euclidean length of `v`, its squares summed in order.
inline double vector_norm(std::span<const double> v) {
  double acc = 0.0;
  for (double e : v) acc += e * e;
  return std::sqrt(acc);
}

// `v` holds the symmetric n x n matrix row-major on entry (only its values
// are read, symmetry is assumed) and its orthonormal eigenvectors as
// columns on return (v[i * n + j] is component i of vector j). `values`
// receives the eigenvalues in ascending order, matching the columns.
// `work` needs n entries. Returns false (leaving the outputs unspecified)
// when the matrix holds a non-finite entry or the iteration fails to
// converge.
bool symmetric_eigen(size_t n, std::span<double> v, std::span<double> values,
                     std::span<double> work) noexcept;

}  // namespace pelora::blackbox
