#include "core/admm/consensus.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace pelora::admm {

void check_admm(size_t n_parts, size_t dim) {
  // z, the target and x_i, u_i of every part: (2 N + 2) * dim doubles. The
  // limit (2^56 values) is far beyond any memory and only keeps the sizes
  // from wrapping.
  constexpr size_t kLimit = size_t{1} << 56;
  const size_t vectors = n_parts > (kLimit - 2) / 2 ? kLimit : 2 * n_parts + 2;
  if (dim > kLimit / vectors) {
    throw std::invalid_argument("dim=" + std::to_string(dim) + " is too large for " +
                                std::to_string(n_parts) + " subproblem(s)");
  }
}

AdmmResult admm_consensus(size_t n_parts, size_t dim, const AdmmOptions& options,
                          Subproblems solve) {
  check_admm(n_parts, dim);
  AdmmResult r;
  r.z.assign(dim, 0.0);
  if (options.max_iter == 0) {
    r.primal_residual = std::numeric_limits<double>::infinity();
    r.dual_residual = std::numeric_limits<double>::infinity();
    return r;
  }
  const double rho = options.rho;
  // x_i and u_i of every part, flat: part i at [i*dim, (i+1)*dim).
  std::vector<double> x(n_parts * dim, 0.0), u(n_parts * dim, 0.0);
  std::vector<double> z_old(dim), target(dim);
  std::vector<double> targets(options.batch ? n_parts * dim : 0);
  const double n = static_cast<double>(n_parts);

  for (uint64_t k = 1; k <= options.max_iter; ++k) {
    z_old = r.z;
    // Every part solves against z - u_i before anything is updated.
    if (options.batch) {
      for (size_t i = 0; i < n_parts; ++i) {
        for (size_t j = 0; j < dim; ++j) targets[i * dim + j] = r.z[j] - u[i * dim + j];
      }
      (*options.batch)(rho, targets, x);
    } else {
      for (size_t i = 0; i < n_parts; ++i) {
        const double* ui = u.data() + i * dim;
        for (size_t j = 0; j < dim; ++j) target[j] = r.z[j] - ui[j];
        solve(i, rho, target, std::span<double>(x.data() + i * dim, dim));
      }
    }
    // Consensus: the average of x_i + u_i over the parts, in part order.
    for (size_t j = 0; j < dim; ++j) {
      double s = 0.0;
      for (size_t i = 0; i < n_parts; ++i) s += x[i * dim + j] + u[i * dim + j];
      r.z[j] = s / n;
    }
    double primal = 0.0;
    for (size_t i = 0; i < n_parts; ++i) {
      for (size_t j = 0; j < dim; ++j) {
        const double gap = x[i * dim + j] - r.z[j];
        u[i * dim + j] += gap;
        primal += gap * gap;
      }
    }
    double dual = 0.0;
    for (size_t j = 0; j < dim; ++j) {
      const double d = rho * n * (r.z[j] - z_old[j]);
      dual += d * d;
    }
    r.primal_residual = std::sqrt(primal);
    r.dual_residual = std::sqrt(dual);
    r.iterations = k;
    const blackbox::Verdict v = options.control.review(
        k, k * n_parts, r.z, r.primal_residual,
        options.tol > r.primal_residual && options.tol > r.dual_residual, n_parts);
    if (v == blackbox::Verdict::converged) {
      r.converged = true;
      break;
    }
    if (v == blackbox::Verdict::stopped) {
      r.stopped = true;
      break;
    }
    // Without parts nothing changes from one iteration to the next (z is
    // 0 / 0 throughout), so the remaining iterations would only repeat this
    // one, without a single call that could be interrupted.
    if (n_parts == 0) {
      r.iterations = options.max_iter;
      break;
    }
  }
  return r;
}

}  // namespace pelora::admm
