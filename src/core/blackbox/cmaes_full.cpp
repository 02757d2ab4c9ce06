// One run of the full covariance matrix adaptation evolution strategy:
// weighted recombination, cumulative step-size adaptation, rank-one and
// rank-mu covariance updates. The run's state is one struct; a generation
// samples, ranks, updates and then tests for the end, in that order.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "core/blackbox/cmaes.hpp"
#include "core/blackbox/ranking.hpp"
#include "core/blackbox/symmetric_eigen.hpp"

namespace pelora::blackbox {
namespace {

// Strategy constants fixed by the dimension and the population.
struct Constants {
  size_t n, lambda, mu;
  std::vector<double> weights;  // mu entries summing to 1
  double mu_eff, c_sigma, d_sigma, c_c, c_1, c_mu, chi_n;
  uint64_t eigen_every;  // generations between decompositions

  Constants(size_t dim, size_t lam) : n(dim), lambda(lam), mu(lam / 2) {
    const double nd = static_cast<double>(n);
    weights.resize(mu);
    double sum = 0.0;
    for (size_t i = 0; i < mu; ++i) {
      weights[i] = std::log(static_cast<double>(mu) + 0.5) - std::log(static_cast<double>(i + 1));
      sum += weights[i];
    }
    double sq = 0.0;
    for (double& w : weights) {
      w /= sum;
      sq += w * w;
    }
    mu_eff = 1.0 / sq;
    c_sigma = (mu_eff + 2.0) / (nd + mu_eff + 5.0);
    d_sigma = 1.0 + 2.0 * std::max(0.0, std::sqrt((mu_eff - 1.0) / (nd + 1.0)) - 1.0) + c_sigma;
    c_c = (4.0 + mu_eff / nd) / (nd + 4.0 + 2.0 * mu_eff / nd);
    c_1 = 2.0 / ((nd + 1.3) * (nd + 1.3) + mu_eff);
    c_mu = std::min(1.0 - c_1,
                    2.0 * (mu_eff - 2.0 + 1.0 / mu_eff) / ((nd + 2.0) * (nd + 2.0) + mu_eff));
    chi_n = std::sqrt(nd) * (1.0 - 1.0 / (4.0 * nd) + 1.0 / (21.0 * nd * nd));
    eigen_every = static_cast<uint64_t>(std::floor(std::max(1.0, 1.0 / ((c_1 + c_mu) * nd * 10.0))));
  }
};

// Working state of a run. Matrices are n x n row-major; B holds the
// eigenvectors of Cov as columns and D the square roots of its eigenvalues.
struct State {
  std::vector<double> mean, cov, b, d, p_sigma, p_c;
  double sigma;
  // Per generation: offspring x (clamped), their normal vectors z and
  // images y = B (D o z), values, ranking.
  std::vector<double> x, z, y, values;
  std::vector<size_t> order;
  // Scratch.
  std::vector<double> z_w, y_w, bz, eig_values, eig_work;

  State(size_t n, size_t lambda, double sigma0)
      : mean(n), cov(n * n, 0.0), b(n * n, 0.0), d(n, 1.0), p_sigma(n, 0.0), p_c(n, 0.0),
        sigma(sigma0), x(lambda * n), z(lambda * n), y(lambda * n), values(lambda),
        order(lambda), z_w(n), y_w(n), bz(n), eig_values(n), eig_work(n) {
    for (size_t i = 0; i < n; ++i) cov[i * n + i] = b[i * n + i] = 1.0;
  }
};

void sample(const Constants& c, State& s, const Bounds& bounds, XorShift64& rng, size_t j) {
  const size_t n = c.n;
  double* z = s.z.data() + j * n;
  double* y = s.y.data() + j * n;
  double* x = s.x.data() + j * n;
  for (size_t k = 0; k < n; ++k) z[k] = rng.normal();
  for (size_t i = 0; i < n; ++i) {
    double acc = 0.0;
    const double* row = s.b.data() + i * n;
    for (size_t k = 0; k < n; ++k) acc += row[k] * (s.d[k] * z[k]);
    y[i] = acc;
    x[i] = s.mean[i] + s.sigma * y[i];
  }
  clamp(bounds, {x, n});
}

// Mean, evolution paths, covariance and step size from the ranked offspring.
void update(const Constants& c, State& s, uint64_t evaluations) {
  const size_t n = c.n;
  std::fill(s.mean.begin(), s.mean.end(), 0.0);
  std::fill(s.z_w.begin(), s.z_w.end(), 0.0);
  std::fill(s.y_w.begin(), s.y_w.end(), 0.0);
  for (size_t i = 0; i < c.mu; ++i) {
    const size_t j = s.order[i];
    const double w = c.weights[i];
    for (size_t k = 0; k < n; ++k) {
      s.mean[k] += w * s.x[j * n + k];
      s.z_w[k] += w * s.z[j * n + k];
      s.y_w[k] += w * s.y[j * n + k];
    }
  }

  // p_sigma follows B z_w, which is C^(-1/2) y_w.
  const double cs_factor = std::sqrt(c.c_sigma * (2.0 - c.c_sigma) * c.mu_eff);
  for (size_t i = 0; i < n; ++i) {
    double acc = 0.0;
    for (size_t k = 0; k < n; ++k) acc += s.b[i * n + k] * s.z_w[k];
    s.p_sigma[i] = (1.0 - c.c_sigma) * s.p_sigma[i] + cs_factor * acc;
  }
  const double ps_norm = vector_norm(s.p_sigma);
  const double generations_seen =
      2.0 * static_cast<double>(evaluations) / static_cast<double>(c.lambda);
  const double h_sigma = ps_norm / std::sqrt(1.0 - std::pow(1.0 - c.c_sigma, generations_seen)) /
                                 c.chi_n <
                             1.4 + 2.0 / (static_cast<double>(n) + 1.0)
                         ? 1.0
                         : 0.0;
  const double cc_factor = std::sqrt(c.c_c * (2.0 - c.c_c) * c.mu_eff);
  for (size_t i = 0; i < n; ++i) {
    s.p_c[i] = (1.0 - c.c_c) * s.p_c[i] + h_sigma * cc_factor * s.y_w[i];
  }

  // Cov <- (1 - c1 - cmu) Cov + c1 (pc pc' + (1 - h) cc (2 - cc) Cov) + cmu sum w y y'
  // Computed on the upper triangle and mirrored, so Cov stays exactly
  // symmetric.
  const double keep = 1.0 - c.c_1 - c.c_mu + c.c_1 * (1.0 - h_sigma) * c.c_c * (2.0 - c.c_c);
  for (size_t i = 0; i < n; ++i) {
    for (size_t k = i; k < n; ++k) {
      double rank_mu = 0.0;
      for (size_t m = 0; m < c.mu; ++m) {
        const double* y = s.y.data() + s.order[m] * n;
        rank_mu += c.weights[m] * y[i] * y[k];
      }
      const double v = keep * s.cov[i * n + k] + c.c_1 * s.p_c[i] * s.p_c[k] + c.c_mu * rank_mu;
      s.cov[i * n + k] = v;
      s.cov[k * n + i] = v;
    }
  }

  s.sigma *= std::exp((c.c_sigma / c.d_sigma) * (ps_norm / c.chi_n - 1.0));
  s.sigma = std::max(s.sigma, 1e-20);
}

// B and D from the symmetrised Cov. A decomposition that fails (non-finite
// entries) keeps the previous B and D.
void decompose(const Constants& c, State& s, std::vector<double>& scratch) {
  const size_t n = c.n;
  for (size_t i = 0; i < n; ++i) {
    for (size_t k = 0; k < n; ++k) scratch[i * n + k] = (s.cov[i * n + k] + s.cov[k * n + i]) * 0.5;
  }
  if (!symmetric_eigen(n, scratch, s.eig_values, s.eig_work)) return;
  s.b.swap(scratch);
  for (size_t i = 0; i < n; ++i) s.d[i] = std::sqrt(std::max(s.eig_values[i], 0.0));
}

// Spread of the last `count` history entries, NaN entries skipped.
double spread(const std::vector<double>& h, size_t count) {
  double hi = -INFINITY, lo = INFINITY;
  for (size_t i = h.size() - count; i < h.size(); ++i) {
    hi = nan_max(hi, h[i]);
    lo = nan_min(lo, h[i]);
  }
  return hi - lo;
}

}  // namespace

RunResult cmaes_full_run(const Bounds& bounds, const CmaesOptions& options, size_t lambda,
                         uint64_t prior_evaluations, Objective objective) {
  check_bounds(bounds, true);
  check_population_size(lambda, bounds.dim(), "lambda");
  if (lambda < 2) throw std::invalid_argument("lambda must be at least 2 for CMA-ES");
  const size_t n = bounds.dim();
  XorShift64 rng(options.seed);
  RunResult r;
  r.x.resize(n);
  for (size_t k = 0; k < n; ++k) r.x[k] = (bounds.lower[k] + bounds.upper[k]) * 0.5;
  r.objective = objective(r.x);
  r.evaluations = 1;
  r.history.push_back(r.objective);
  if (options.max_generations == 0) return r;

  // The constants and working state are made only for a run that samples.
  const Constants c(n, lambda);
  State s(n, lambda, options.sigma);
  s.mean = r.x;
  std::vector<double> scratch(n * n);
  const RunControl& control = options.control;
  if (!control.room_for(r.evaluations, lambda)) {
    r.stopped = true;
    return r;
  }
  for (uint64_t g = 1; g <= options.max_generations; ++g) {
    for (size_t j = 0; j < lambda; ++j) {
      sample(c, s, bounds, rng, j);
      if (!control.batch) s.values[j] = objective(std::span<const double>(s.x.data() + j * n, n));
    }
    if (control.batch) control.evaluate(objective, s.x, n, s.values);
    r.evaluations += lambda;
    rank_by_value(s.values, s.order);
    const size_t top = first_smallest(s.values);  // not hidden behind a NaN
    if (improves(s.values[top], r.objective)) {
      r.objective = s.values[top];
      const double* best = s.x.data() + top * n;
      std::copy(best, best + n, r.x.begin());
    }
    update(c, s, prior_evaluations + r.evaluations);
    if (g % c.eigen_every == 0) decompose(c, s, scratch);

    r.history.push_back(r.objective);
    const double max_d = *std::max_element(s.d.begin(), s.d.end());
    // Both tests look at the search itself (its step size, the flatness
    // of its progress), never at the objective's own scale.
    const bool own = options.tol > s.sigma * max_d ||
                     (r.history.size() >= 21 && spread(r.history, 20) < 0.001 * options.tol &&
                      s.sigma < 1e-6);
    const Verdict v = control.review(r, own, lambda);
    if (settle(r, v)) break;
  }
  return r;
}

}  // namespace pelora::blackbox
