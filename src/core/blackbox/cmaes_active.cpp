// One run of CMA-ES with the active covariance update, and the restart loop
// around it that the restart schemes share (cmaes_ipop.cpp doubles the
// population, cmaes_bipop.cpp interleaves two regimes). The file reads in
// the order the algorithm runs: the strategy constants of a population,
// sampling with the box repair, ranking, the mean / step-size / covariance
// updates, the decomposition, the termination tests of a run, one run, and
// finally the restart loop.
//
// Search space: coordinates whose lower and upper bounds coincide are
// pinned at that value and left out of the search; the others are searched
// in the objective's own units, with the initial covariance diagonal in
// proportion to the squared bound widths.
//
// Bounds: an offspring drawn outside the box is evaluated at its clamped
// point, and ranked by that value plus a penalty growing with the square of
// its distance outside (see `rank`). The updates use the offspring as
// drawn, so the step-size and covariance adaptation see the true steps of
// the distribution, not steps truncated at the bounds, and the penalty
// keeps the mean at or near the box. A run plan may free the first few
// deviations past a bound the mean has crossed from the penalty, while the
// mean is outside in half the coordinates (RunPlan::free_outside; bipop).
#include "core/blackbox/cmaes_active.hpp"

#include <algorithm>
#include <chrono>
#include <functional>
#include <limits>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>

#include "core/blackbox/symmetric_eigen.hpp"
#include "core/format.hpp"

namespace pelora::blackbox {

const char* ipop_stop_name(IpopStop stop) noexcept {
  switch (stop) {
    case IpopStop::target: return "target";
    case IpopStop::max_evals: return "max_evals";
    case IpopStop::max_time: return "max_time";
    case IpopStop::max_generations: return "max_generations";
    case IpopStop::tol_fun: return "tol_fun";
    case IpopStop::tol_x: return "tol_x";
    case IpopStop::no_effect_axis: return "no_effect_axis";
    case IpopStop::no_effect_coord: return "no_effect_coord";
    case IpopStop::condition: return "condition";
    case IpopStop::stagnation: return "stagnation";
    case IpopStop::tol_up_sigma: return "tol_up_sigma";
    case IpopStop::no_space: return "no_space";
    case IpopStop::run_budget: return "run_budget";
    case IpopStop::behind: return "behind";
    case IpopStop::settled: return "settled";
    case IpopStop::stopped: return "stopped";
  }
  return "unknown";
}

size_t active::default_lambda(size_t n) {
  return 4 + static_cast<size_t>(std::floor(3.0 * std::log(static_cast<double>(n))));
}

namespace {

// --- strategy constants -------------------------------------------------------

// Fixed by the dimension and the population. Weights: lambda entries, the
// first mu positive (summing to 1), the rest negative for the active update.
struct Constants {
  size_t n, lambda, mu;
  std::vector<double> weights;
  double weight_sum;  // over all lambda weights
  double mu_eff, c_sigma, d_sigma, c_c, c_1, c_mu, chi_n;
  uint64_t eigen_every;  // generations between decompositions

  Constants(size_t dim, size_t lam) : n(dim), lambda(lam), mu(lam / 2), weights(lam) {
    const double nd = static_cast<double>(n);
    const double half = (static_cast<double>(lambda) + 1.0) / 2.0;
    double pos = 0.0, pos_sq = 0.0, neg = 0.0, neg_sq = 0.0;
    for (size_t i = 0; i < lambda; ++i) {
      const double w = std::log(half) - std::log(static_cast<double>(i + 1));
      weights[i] = w;
      if (i < mu) {
        pos += w;
        pos_sq += w * w;
      } else {
        neg += w;
        neg_sq += w * w;
      }
    }
    mu_eff = pos * pos / pos_sq;
    const double mu_eff_neg = neg_sq > 0.0 ? neg * neg / neg_sq : 0.0;

    c_sigma = (mu_eff + 2.0) / (nd + mu_eff + 5.0);
    d_sigma = 1.0 + 2.0 * std::max(0.0, std::sqrt((mu_eff - 1.0) / (nd + 1.0)) - 1.0) + c_sigma;
    c_c = (4.0 + mu_eff / nd) / (nd + 4.0 + 2.0 * mu_eff / nd);
    c_1 = 2.0 / ((nd + 1.3) * (nd + 1.3) + mu_eff);
    c_mu = std::min(1.0 - c_1,
                    2.0 * (mu_eff - 2.0 + 1.0 / mu_eff) / ((nd + 2.0) * (nd + 2.0) + mu_eff));

    // Negative weights scaled so the update keeps the covariance positive
    // definite and the negative mass no larger than the positive one.
    const double alpha_mu = 1.0 + c_1 / c_mu;
    const double alpha_eff = 1.0 + 2.0 * mu_eff_neg / (mu_eff + 2.0);
    const double alpha_posdef = (1.0 - c_1 - c_mu) / (nd * c_mu);
    const double neg_scale = std::min({alpha_mu, alpha_eff, alpha_posdef});
    weight_sum = 0.0;
    for (size_t i = 0; i < lambda; ++i) {
      weights[i] = i < mu ? weights[i] / pos : neg_scale * weights[i] / std::abs(neg);
      weight_sum += weights[i];
    }

    chi_n = std::sqrt(nd) * (1.0 - 1.0 / (4.0 * nd) + 1.0 / (21.0 * nd * nd));
    eigen_every = static_cast<uint64_t>(
        std::floor(std::max(1.0, 1.0 / ((c_1 + c_mu) * nd * 10.0))));
  }
};

// --- working state of one run -----------------------------------------------

// Matrices are n x n row-major; B holds the eigenvectors of C as columns and
// D the square roots of its eigenvalues. For every offspring: its normal
// vector z, its step y = B (D o z) as drawn, the point x evaluated (the
// drawn point clamped onto the box) and how far outside the box it was.
struct State {
  std::vector<double> mean, cov, b, d, p_sigma, p_c;
  double sigma;
  std::vector<double> x, y, z, values, ranked, outside;
  std::vector<size_t> order;
  std::vector<double> y_w, z_w, scratch, eig_values, eig_work;

  State(size_t n, size_t lambda, double sigma0, const std::vector<double>& scale)
      : mean(n), cov(n * n, 0.0), b(n * n, 0.0), d(scale), p_sigma(n, 0.0), p_c(n, 0.0),
        sigma(sigma0), x(lambda * n), y(lambda * n), z(lambda * n), values(lambda),
        ranked(lambda), outside(lambda), order(lambda), y_w(n), z_w(n), scratch(n * n),
        eig_values(n), eig_work(n) {
    for (size_t i = 0; i < n; ++i) {
      cov[i * n + i] = scale[i] * scale[i];
      b[i * n + i] = 1.0;
    }
  }
};

// --- sampling ------------------------------------------------------------------

// Draws offspring j: z ~ N(0, I), y = B (D o z), x = m + sigma y; x is then
// clamped onto the box for evaluation, and its distance outside the box,
// in standard deviations of each coordinate, kept for the penalty. With
// `free_outside` > 0, the first `free_outside` deviations beyond a bound
// that the mean lies beyond too do not count.
void sample(const Constants& c, State& s, const std::vector<double>& lo,
            const std::vector<double>& hi, double free_outside, XorShift64& rng, size_t j) {
  const size_t n = c.n;
  double* z = s.z.data() + j * n;
  double* y = s.y.data() + j * n;
  double* x = s.x.data() + j * n;
  for (size_t k = 0; k < n; ++k) z[k] = rng.normal();
  double outside = 0.0;
  for (size_t i = 0; i < n; ++i) {
    double acc = 0.0;
    const double* row = s.b.data() + i * n;
    for (size_t k = 0; k < n; ++k) acc += row[k] * (s.d[k] * z[k]);
    y[i] = acc;
    const double drawn = s.mean[i] + s.sigma * acc;
    x[i] = nan_min(nan_max(drawn, lo[i]), hi[i]);
    if (x[i] != drawn) {
      double e = (drawn - x[i]) / (s.sigma * std::sqrt(s.cov[i * n + i]));
      if (free_outside > 0.0 && (drawn > x[i] ? s.mean[i] > hi[i] : s.mean[i] < lo[i])) {
        e = std::max(0.0, std::abs(e) - free_outside);
      }
      outside += e * e;
    }
  }
  s.outside[j] = outside / static_cast<double>(n);
}

// Whether the mean lies outside the box in at least half of the
// coordinates.
bool mostly_outside(const State& s, const std::vector<double>& lo,
                    const std::vector<double>& hi) noexcept {
  size_t out = 0;
  for (size_t i = 0; i < s.mean.size(); ++i) out += s.mean[i] < lo[i] || s.mean[i] > hi[i];
  return 2 * out >= s.mean.size();
}

// --- ranking ------------------------------------------------------------------

// Ranks by value plus the bound penalty, ascending and stable; a NaN value
// ranks as +inf (after every number). The penalty of an offspring drawn
// outside the box is its mean squared distance outside, in standard
// deviations, times the interquartile range of this generation's values:
// an offspring a deviation or so outside competes on its value, one far
// outside loses, so the mean is drawn back towards the box without a
// weight to tune.
void rank(State& s) {
  const size_t lambda = s.values.size();
  for (size_t j = 0; j < lambda; ++j) {
    s.ranked[j] = s.values[j] != s.values[j] ? INFINITY : s.values[j];
  }
  std::iota(s.order.begin(), s.order.end(), size_t{0});
  std::stable_sort(s.order.begin(), s.order.end(),
                   [&](size_t a, size_t b) { return s.ranked[a] < s.ranked[b]; });
  const double q1 = s.ranked[s.order[lambda / 4]];
  const double q3 = s.ranked[s.order[(3 * lambda) / 4 < lambda ? (3 * lambda) / 4 : lambda - 1]];
  double spread = q3 - q1;
  const double floor = 1e-12 * std::max(1.0, std::abs(s.ranked[s.order[lambda / 2]]));
  if (!(spread > floor)) spread = floor;  // flat values, or infinite ones
  if (!std::isfinite(spread)) spread = std::abs(q1) > 0.0 && std::isfinite(q1) ? std::abs(q1) : 1.0;
  bool any = false;
  for (size_t j = 0; j < lambda; ++j) {
    if (s.outside[j] > 0.0) {
      s.ranked[j] += spread * s.outside[j];
      any = true;
    }
  }
  if (any) {
    std::iota(s.order.begin(), s.order.end(), size_t{0});
    std::stable_sort(s.order.begin(), s.order.end(),
                     [&](size_t a, size_t b) { return s.ranked[a] < s.ranked[b]; });
  }
}

// --- updates --------------------------------------------------------------------

// Mean, cumulative step-size adaptation, the evolution path and the
// covariance (rank-one, rank-mu and the active negative part), for the
// generation numbered `g` (0 for the first) of the run.
void update(const Constants& c, State& s, uint64_t g) {
  const size_t n = c.n;

  // Weighted recombination of the mu best steps (as drawn), with a
  // learning rate of 1 for the mean.
  std::fill(s.y_w.begin(), s.y_w.end(), 0.0);
  std::fill(s.z_w.begin(), s.z_w.end(), 0.0);
  for (size_t i = 0; i < c.mu; ++i) {
    const size_t j = s.order[i];
    for (size_t k = 0; k < n; ++k) {
      s.y_w[k] += c.weights[i] * s.y[j * n + k];
      s.z_w[k] += c.weights[i] * s.z[j * n + k];
    }
  }
  for (size_t k = 0; k < n; ++k) s.mean[k] += s.sigma * s.y_w[k];

  // Step-size path, driven by C^-1/2 y_w = B z_w.
  const double cs_factor = std::sqrt(c.c_sigma * (2.0 - c.c_sigma) * c.mu_eff);
  for (size_t i = 0; i < n; ++i) {
    double acc = 0.0;
    for (size_t k = 0; k < n; ++k) acc += s.b[i * n + k] * s.z_w[k];
    s.p_sigma[i] = (1.0 - c.c_sigma) * s.p_sigma[i] + cs_factor * acc;
  }
  const double ps_norm = vector_norm(s.p_sigma);

  // The rank-one path stalls while the step-size path is unusually long.
  const double ps_bias =
      std::sqrt(1.0 - std::pow(1.0 - c.c_sigma, 2.0 * static_cast<double>(g + 1)));
  const bool h_sigma =
      ps_norm / ps_bias < (1.4 + 2.0 / (static_cast<double>(n) + 1.0)) * c.chi_n;
  const double cc_factor = std::sqrt(c.c_c * (2.0 - c.c_c) * c.mu_eff);
  for (size_t i = 0; i < n; ++i) {
    s.p_c[i] = (1.0 - c.c_c) * s.p_c[i] + (h_sigma ? cc_factor * s.y_w[i] : 0.0);
  }

  // Negative weights are rescaled by n / |C^-1/2 y|^2, so the active update
  // cannot shrink a direction without bound however long the step.
  for (size_t r = 0; r < c.lambda; ++r) {
    double w = c.weights[r];
    if (w < 0.0) {
      const double* z = s.z.data() + s.order[r] * n;
      double len_sq = 0.0;
      for (size_t k = 0; k < n; ++k) len_sq += z[k] * z[k];
      w *= static_cast<double>(n) / std::max(len_sq, 1e-300);
    }
    s.ranked[r] = w;  // reused as the effective weight of rank r
  }
  const double delta = h_sigma ? 0.0 : c.c_c * (2.0 - c.c_c);
  const double keep = 1.0 + c.c_1 * delta - c.c_1 - c.c_mu * c.weight_sum;
  // Upper triangle, mirrored, so C stays exactly symmetric.
  for (size_t i = 0; i < n; ++i) {
    for (size_t k = i; k < n; ++k) {
      double rank_mu = 0.0;
      for (size_t r = 0; r < c.lambda; ++r) {
        const double* y = s.y.data() + s.order[r] * n;
        rank_mu += s.ranked[r] * y[i] * y[k];
      }
      const double v = keep * s.cov[i * n + k] + c.c_1 * s.p_c[i] * s.p_c[k] + c.c_mu * rank_mu;
      s.cov[i * n + k] = v;
      s.cov[k * n + i] = v;
    }
  }

  // Step size last (it scales the steps the covariance update just used);
  // one generation changes it by at most a factor e.
  s.sigma *= std::exp(std::min(1.0, (c.c_sigma / c.d_sigma) * (ps_norm / c.chi_n - 1.0)));
}

// B and D from C. A failed decomposition (non-finite entries) keeps the
// previous B and D and reports false.
bool decompose(const Constants& c, State& s) {
  const size_t n = c.n;
  std::copy(s.cov.begin(), s.cov.end(), s.scratch.begin());
  if (!symmetric_eigen(n, s.scratch, s.eig_values, s.eig_work)) return false;
  s.b.swap(s.scratch);
  for (size_t i = 0; i < n; ++i) s.d[i] = std::sqrt(std::max(s.eig_values[i], 1e-300));
  return true;
}

// --- termination tests of a run ---------------------------------------------

double median_of(std::vector<double>& v) {
  const size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(mid), v.end());
  return v[mid];
}

// Per-generation best and median values of a run, for the flat-fitness and
// stagnation tests.
struct History {
  std::vector<double> best, median, scratch;
};

// Neither the best nor the median value of recent generations improve:
// over a window of the last 20% of the generations (at least
// 120 + 30 n / lambda, at most 20000), the median of the most recent 30% is
// no better than the median of the oldest 30%, for both histories.
bool stagnated(const Constants& c, History& p) {
  const double g = static_cast<double>(p.best.size());
  const double least = 120.0 + 30.0 * static_cast<double>(c.n) / static_cast<double>(c.lambda);
  if (g < least) return false;
  const size_t window =
      static_cast<size_t>(std::min(20000.0, std::max(least, std::ceil(0.2 * g))));
  const size_t part = static_cast<size_t>(std::ceil(0.3 * static_cast<double>(window)));
  auto worse = [&](const std::vector<double>& h) {
    const size_t start = h.size() - window;
    p.scratch.assign(h.begin() + static_cast<ptrdiff_t>(start),
                     h.begin() + static_cast<ptrdiff_t>(start + part));
    const double old = median_of(p.scratch);
    p.scratch.assign(h.end() - static_cast<ptrdiff_t>(part), h.end());
    return !(median_of(p.scratch) < old);
  };
  return worse(p.best) && worse(p.median);
}

// The highest and lowest per-generation best over the flat-value window,
// the last 10 + 30 n / lambda generations; false while the run is shorter.
bool recent_range(const Constants& c, const History& p, double& hi, double& lo) {
  const size_t span =
      10 + static_cast<size_t>(std::ceil(30.0 * static_cast<double>(c.n) /
                                         static_cast<double>(c.lambda)));
  if (p.best.size() < span) return false;
  hi = -INFINITY;
  lo = INFINITY;
  for (size_t i = p.best.size() - span; i < p.best.size(); ++i) {
    hi = std::max(hi, p.best[i]);
    lo = std::min(lo, p.best[i]);
  }
  return true;
}

// The run trails `lead`, the best value of the call, and its recent best
// values vary by less than `factor` times the lag. A converging run's
// remaining gain is of the order of that variation, so it will not catch up.
bool trails(const Constants& c, const History& p, double run_best, double lead,
            double factor) {
  double hi, lo;
  return factor > 0.0 && run_best > lead && recent_range(c, p, hi, lo) &&
         hi - lo < factor * (run_best - lead);
}

// The run's own tests, after the updates of generation `g` (0-based). Returns
// true and sets `stop` when one fires.
bool terminated(const Constants& c, const State& s, History& p, uint64_t g, double sigma0,
                double tol_fun, double tol_x, IpopStop& stop) {
  const size_t n = c.n;

  // Flat values: the per-generation bests over the last 10 + 30 n / lambda
  // generations and all values of this generation lie within tol_fun.
  double hi, lo;
  if (recent_range(c, p, hi, lo)) {
    for (double v : s.values) {
      hi = std::max(hi, v);
      lo = std::min(lo, v);
    }
    if (hi - lo < tol_fun) {
      stop = IpopStop::tol_fun;
      return true;
    }
  }

  // Every coordinate's standard deviation and the rank-one path are tiny.
  bool small = true;
  for (size_t i = 0; i < n && small; ++i) {
    small = s.sigma * std::sqrt(s.cov[i * n + i]) < tol_x && std::abs(s.sigma * s.p_c[i]) < tol_x;
  }
  if (small) {
    stop = IpopStop::tol_x;
    return true;
  }

  // A tenth of a standard deviation along one principal axis (cycling
  // through them) no longer moves the mean in floating point.
  const size_t axis = static_cast<size_t>(g % n);
  bool moved = false;
  for (size_t i = 0; i < n && !moved; ++i) {
    moved = s.mean[i] + 0.1 * s.sigma * s.d[axis] * s.b[i * n + axis] != s.mean[i];
  }
  if (!moved) {
    stop = IpopStop::no_effect_axis;
    return true;
  }

  // A fifth of a standard deviation in some single coordinate does not
  // move the mean.
  for (size_t i = 0; i < n; ++i) {
    if (s.mean[i] + 0.2 * s.sigma * std::sqrt(s.cov[i * n + i]) == s.mean[i]) {
      stop = IpopStop::no_effect_coord;
      return true;
    }
  }

  const double d_max = *std::max_element(s.d.begin(), s.d.end());
  const double d_min = *std::min_element(s.d.begin(), s.d.end());
  if (!(d_max * d_max <= 1e14 * d_min * d_min)) {
    stop = IpopStop::condition;
    return true;
  }

  if (stagnated(c, p)) {
    stop = IpopStop::stagnation;
    return true;
  }

  if (!(s.sigma * d_max <= 1e20 * sigma0)) {
    stop = IpopStop::tol_up_sigma;
    return true;
  }
  return false;
}

// --- the whole call ------------------------------------------------------------

using Clock = std::chrono::steady_clock;

// What all runs share: the objective over the full point, the budgets and
// the best point ever evaluated.
class Search {
 public:
  Search(const Bounds& bounds, const IpopOptions& o, Objective objective)
      : o_(o), objective_(objective), start_(Clock::now()) {
    full_.resize(bounds.dim());
    for (size_t k = 0; k < bounds.dim(); ++k) {
      full_[k] = (bounds.lower[k] + bounds.upper[k]) * 0.5;
      if (bounds.upper[k] > bounds.lower[k]) {
        free_.push_back(k);
        lo_.push_back(bounds.lower[k]);
        hi_.push_back(bounds.upper[k]);
      } else {
        full_[k] = bounds.lower[k];
      }
    }
    max_evals_ = o.max_evals != 0 ? o.max_evals : 10000 * static_cast<uint64_t>(bounds.dim());
    res_.result.x = full_;
  }

  size_t dim() const noexcept { return free_.size(); }
  const std::vector<double>& lower() const noexcept { return lo_; }
  const std::vector<double>& upper() const noexcept { return hi_; }
  uint64_t evaluations() const noexcept { return res_.result.evaluations; }
  IpopResult& result() noexcept { return res_; }

  // The first of the global stops that holds, if any.
  bool exhausted(IpopStop& why) const {
    if (res_.result.stopped) {
      why = IpopStop::stopped;
      return true;
    }
    if (res_.result.evaluations > 0 && res_.result.objective <= o_.target) {
      why = IpopStop::target;
      return true;
    }
    if (res_.result.evaluations >= max_evals_) {
      why = IpopStop::max_evals;
      return true;
    }
    if (std::isfinite(o_.max_time) &&
        std::chrono::duration<double>(Clock::now() - start_).count() >= o_.max_time) {
      why = IpopStop::max_time;
      return true;
    }
    return false;
  }

  // Evaluates the searched coordinates `x` (pinned ones filled in).
  double evaluate(const double* x) {
    for (size_t i = 0; i < free_.size(); ++i) full_[free_[i]] = x[i];
    const double v = objective_(full_);
    RunResult& r = res_.result;
    if (r.evaluations++ == 0 || improves(v, r.objective)) {
      r.objective = v;
      r.x = full_;
    }
    return v;
  }

  bool batched() const noexcept { return o_.batch != nullptr; }

  // Evaluations left before the budget is spent.
  uint64_t remaining() const noexcept {
    const uint64_t used = res_.result.evaluations;
    return used >= max_evals_ ? 0 : max_evals_ - used;
  }

  // Evaluates `count` points of the searched coordinates (`dim()` each, one
  // after the other) in one call of the batch evaluator; the best is taken
  // in point order, as point-by-point evaluation would.
  void evaluate_batch(const double* x, size_t count, double* out) {
    const size_t nf = free_.size(), nfull = full_.size();
    points_.resize(count * nfull);
    for (size_t j = 0; j < count; ++j) {
      double* p = points_.data() + j * nfull;
      std::copy(full_.begin(), full_.end(), p);  // pinned coordinates
      for (size_t i = 0; i < nf; ++i) p[free_[i]] = x[j * nf + i];
    }
    (*o_.batch)(points_, nfull, std::span<double>(out, count));
    RunResult& r = res_.result;
    for (size_t j = 0; j < count; ++j) {
      if (r.evaluations++ == 0 || improves(out[j], r.objective)) {
        r.objective = out[j];
        r.x.assign(points_.begin() + static_cast<std::ptrdiff_t>(j * nfull),
                   points_.begin() + static_cast<std::ptrdiff_t>((j + 1) * nfull));
      }
    }
  }

  // Appends the best value to the history and shows the monitor.
  void record() {
    RunResult& r = res_.result;
    r.history.push_back(r.objective);
    if (o_.monitor && !r.stopped) {
      const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
      r.stopped = (*o_.monitor)(Progress{r.history.size() - 1, r.evaluations, r.x, r.objective,
                                         elapsed});
    }
  }

 private:
  const IpopOptions& o_;
  Objective objective_;
  Clock::time_point start_;
  std::vector<size_t> free_;
  std::vector<double> lo_, hi_, full_, points_;
  uint64_t max_evals_ = 0;
  IpopResult res_;
};

// One run from `start` as `plan` says; returns false when a global stop
// ended it (recorded in `run.stop` either way).
bool run_once(Search& search, const IpopOptions& o, const std::vector<double>& start,
              const active::RunPlan& plan, const std::vector<double>& scale, XorShift64& rng,
              IpopRun& run) {
  const size_t lambda = plan.lambda;
  const double sigma0 = plan.sigma;
  const size_t n = search.dim();
  const Constants c(n, lambda);
  State s(n, lambda, sigma0, scale);
  s.mean = start;
  History history;
  const double tol_x = 1e-12 * sigma0;
  const uint64_t max_generations =
      o.max_generations != 0
          ? o.max_generations
          : 100 + static_cast<uint64_t>(150.0 * static_cast<double>((n + 3) * (n + 3)) /
                                        std::sqrt(static_cast<double>(lambda)));
  const uint64_t first_eval = search.evaluations();
  run.lambda = lambda;
  run.sigma = sigma0;
  run.small = plan.small;
  run.best = NAN;
  for (uint64_t g = 0;; ++g) {
    // The whole generation is drawn first, then evaluated in order.
    const double free_outside = plan.free_outside > 0.0 && mostly_outside(s, search.lower(),
                                                                          search.upper())
                                    ? plan.free_outside
                                    : 0.0;
    for (size_t j = 0; j < lambda; ++j) {
      sample(c, s, search.lower(), search.upper(), free_outside, rng, j);
    }
    if (search.batched()) {
      // A whole generation in one call, cut short by the budget: a partial
      // generation ends the call after recording its best.
      if (search.exhausted(run.stop)) {
        run.evaluations = search.evaluations() - first_eval;
        return false;
      }
      const size_t count = static_cast<size_t>(std::min<uint64_t>(lambda, search.remaining()));
      search.evaluate_batch(s.x.data(), count, s.values.data());
      for (size_t j = 0; j < count; ++j) {
        if (improves(s.values[j], run.best)) run.best = s.values[j];
      }
      if (count < lambda) {
        search.exhausted(run.stop);
        run.evaluations = search.evaluations() - first_eval;
        search.record();
        return false;
      }
    }
    for (size_t j = 0; j < lambda && !search.batched(); ++j) {
      if (search.exhausted(run.stop)) {
        run.evaluations = search.evaluations() - first_eval;
        if (j > 0) search.record();  // the partial generation's best
        return false;
      }
      s.values[j] = search.evaluate(s.x.data() + j * n);
      if (improves(s.values[j], run.best)) run.best = s.values[j];
    }
    rank(s);
    history.scratch.resize(lambda);
    for (size_t j = 0; j < lambda; ++j) {
      history.scratch[j] = s.values[j] != s.values[j] ? INFINITY : s.values[j];
    }
    history.best.push_back(*std::min_element(history.scratch.begin(), history.scratch.end()));
    history.median.push_back(median_of(history.scratch));
    update(c, s, g);
    if ((g + 1) % c.eigen_every == 0 && !decompose(c, s)) {
      search.record();
      run.generations = g + 1;
      run.evaluations = search.evaluations() - first_eval;
      run.stop = IpopStop::tol_up_sigma;  // the covariance stopped being finite
      return true;
    }
    search.record();
    run.generations = g + 1;
    run.evaluations = search.evaluations() - first_eval;
    IpopStop global;
    if (search.exhausted(global) &&
        (global == IpopStop::target || global == IpopStop::stopped)) {
      run.stop = global;
      return false;
    }
    if (terminated(c, s, history, g, sigma0, o.tol_fun, tol_x, run.stop)) return true;
    if (trails(c, history, run.best, search.result().result.objective, plan.behind)) {
      run.stop = IpopStop::behind;
      return true;
    }
    if (g + 1 >= max_generations) {
      run.stop = IpopStop::max_generations;
      return true;
    }
    // A run with a budget of its own ends before a generation would pass it.
    if (plan.max_evals != 0 && run.evaluations + lambda > plan.max_evals) {
      run.stop = IpopStop::run_budget;
      return true;
    }
  }
}

}  // namespace

namespace active {

void check_options(const Bounds& bounds, const IpopOptions& options, const char* variant) {
  check_bounds(bounds, true);
  const size_t lambda = options.pop_size != 0 ? options.pop_size : default_lambda(bounds.dim());
  check_population_size(lambda, bounds.dim(), "pop_size");
  if (lambda < 2) {
    throw std::invalid_argument(std::string("pop_size must be at least 2 for the ") + variant +
                                " CMA-ES variant, got " + std::to_string(lambda));
  }
  if (!(options.sigma >= 0.0) || !std::isfinite(options.sigma)) {
    throw std::invalid_argument("sigma must be a positive finite number, got " +
                                plain_number(options.sigma));
  }
  if (!(options.max_time >= 0.0)) {
    throw std::invalid_argument("max_time must be a non-negative number of seconds, got " +
                                plain_number(options.max_time));
  }
}

bool settles(const IpopOptions& options) noexcept {
  return options.max_evals == 0 && options.max_restarts == std::numeric_limits<size_t>::max();
}

bool gained(double before, double now, double tol) noexcept {
  if (before != before) return now == now;  // a number after NaN is a gain
  return before - now > tol * std::max(1.0, std::abs(before));
}

IpopResult restart_loop(const Bounds& bounds, const IpopOptions& options, Objective objective,
                        double sigma_fraction, const PlanNext& next,
                        const RunPlan& first_plan) {
  Search search(bounds, options, objective);
  IpopResult& res = search.result();
  XorShift64 rng(options.seed);

  // The box centre, evaluated once: the history starts with its value.
  const size_t n = search.dim();
  std::vector<double> start(n);
  for (size_t i = 0; i < n; ++i) start[i] = (search.lower()[i] + search.upper()[i]) * 0.5;
  search.evaluate(start.data());
  search.record();
  if (n == 0) {
    res.stop = IpopStop::no_space;
    res.result.converged = true;
    return res;
  }

  // Initial scale: the searched widths relative to their mean width.
  std::vector<double> scale(n);
  double mean_width = 0.0;
  for (size_t i = 0; i < n; ++i) mean_width += search.upper()[i] - search.lower()[i];
  mean_width /= static_cast<double>(n);
  for (size_t i = 0; i < n; ++i) scale[i] = (search.upper()[i] - search.lower()[i]) / mean_width;

  RunPlan first;
  first.lambda = options.pop_size != 0 ? options.pop_size : default_lambda(bounds.dim());
  first.sigma = options.sigma > 0.0 ? options.sigma : sigma_fraction * mean_width;
  first.free_outside = first_plan.free_outside;
  RunPlan plan = first;
  std::vector<double> best_after;  // the best value after each run
  double converged_best = NAN;     // the best of the runs ended by tol_fun or tol_x
  for (size_t restart = 0;; ++restart) {
    if (restart > 0) {
      // Runs larger than memory could hold end the restarts.
      if (!next(first, res.runs, rng, plan) ||
          plan.lambda > (size_t{1} << 40) / n || plan.lambda < 2) {
        break;
      }
      for (size_t i = 0; i < n; ++i) {
        start[i] = search.lower()[i] + (search.upper()[i] - search.lower()[i]) * rng.uniform();
      }
    }
    IpopRun run;
    const bool own_end = run_once(search, options, start, plan, scale, rng, run);
    res.runs.push_back(run);
    best_after.push_back(res.result.objective);
    if ((run.stop == IpopStop::tol_fun || run.stop == IpopStop::tol_x) &&
        improves(run.best, converged_best)) {
      converged_best = run.best;
    }
    res.stop = run.stop;
    if (!own_end) break;
    IpopStop global;
    if (search.exhausted(global)) {
      res.stop = global;
      break;
    }
    if (restart >= options.max_restarts) {
      // Converged when that last run ended by its own test, not its budget
      // nor by giving way to a better run.
      res.result.converged = run.stop != IpopStop::run_budget && run.stop != IpopStop::behind;
      break;
    }
    // Settled: a run that ended by flat values or tiny steps holds the best
    // value (within tol), and neither this nor the previous restart improved
    // the best value beyond tol.
    const double tol = options.tol_fun;
    if (settles(options) && restart >= 2 &&
        !gained(converged_best, res.result.objective, tol) &&
        !gained(best_after[restart - 2], best_after[restart], tol)) {
      res.stop = IpopStop::settled;
      res.result.converged = true;
      break;
    }
  }
  if (res.stop == IpopStop::target) res.result.converged = true;
  return res;
}

}  // namespace active
}  // namespace pelora::blackbox
