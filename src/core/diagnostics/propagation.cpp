#include "core/diagnostics/propagation.hpp"

#include <cmath>
#include <string>

#include "core/diagnostics/diagnostic_error.hpp"

namespace pelora {
namespace {

// The feasibility tolerance, relative for large magnitudes: derived bounds
// carry the rounding of sums whose size is that of the numbers involved, so
// an absolute 1e-8 would let rounding alone "prove" a feasible model
// infeasible.
double tolerance_at(double v) noexcept {
  const double m = std::fabs(v);
  return kPropagationFeasTol * (std::isfinite(m) && m > 1.0 ? m : 1.0);
}

bool bounds_cross(double lb, double ub) noexcept {
  if (!(lb > ub)) return false;
  return lb - ub > tolerance_at(std::fabs(lb) > std::fabs(ub) ? lb : ub);
}

}  // namespace

BoundPropagator::BoundPropagator(std::span<const VarRecord> variables,
                                 const LinearRows& constraints) {
  const size_t nvar = variables.size();
  lower0_.reserve(nvar);
  upper0_.reserve(nvar);
  for (const VarRecord& v : variables) {
    lower0_.push_back(v.lower);
    upper0_.push_back(v.upper);
  }
  const size_t nnz = constraints.nonzeros();
  start_.reserve(constraints.size() + 1);
  var_.reserve(nnz);
  coef_.reserve(nnz);
  rhs_.reserve(constraints.size());
  constant_.reserve(constraints.size());
  sense_.reserve(constraints.size());
  size_t longest = 0;
  start_.push_back(0);
  for (size_t r = 0; r < constraints.size(); ++r) {
    const LinearRow c = constraints[r];
    for (const Term& t : c.terms) {
      if (t.index >= nvar) {
        throw DiagnosticError("Constraint " + std::to_string(r) + " refers to variable x" +
                              std::to_string(t.index) + ", which is not in this result's model (" +
                              std::to_string(nvar) + " variables); was it made by another model?");
      }
      var_.push_back(t.index);
      coef_.push_back(t.coef);
    }
    longest = std::max(longest, c.terms.size());
    start_.push_back(static_cast<uint32_t>(var_.size()));
    rhs_.push_back(c.rhs);
    constant_.push_back(0.0);  // stored rows keep their constant in rhs
    sense_.push_back(c.sense);
  }
  lb_.resize(nvar);
  ub_.resize(nvar);
  contrib_.resize(longest);
  suffix_.resize(longest + 1);
  abs_suffix_.resize(longest + 1);
}

bool BoundPropagator::raise_lower(uint32_t x, double v) noexcept {
  if (!(v > lb_[x])) return false;
  lb_[x] = v;
  if (bounds_cross(lb_[x], ub_[x])) crossed_ = true;
  return true;
}

bool BoundPropagator::lower_upper(uint32_t x, double v) noexcept {
  if (!(v < ub_[x])) return false;
  ub_[x] = v;
  if (bounds_cross(lb_[x], ub_[x])) crossed_ = true;
  return true;
}

// One row of a pass. A row is a pair of one-sided bounds on its activity:
// `>=` and `==` give activity >= b, `<=` and `==` give activity <= b. For
// the side activity >= b, each term a*x is at least b minus the largest
// activity the other terms can reach, so a positive coefficient raises the
// lower bound of x and a negative one lowers its upper bound (the mirrored
// rule); the side activity <= b works the same way with the smallest
// activity. Only the other terms' bounds on the side that side reads matter:
// a variable unbounded the other way does not stop the row from moving a
// bound. A single-term row is the special case with an empty rest.
bool BoundPropagator::propagate_row(size_t r) {
  const uint32_t begin = start_[r];
  const size_t n = start_[r + 1] - begin;
  if (n == 0) return false;
  const Sense sense = sense_[r];
  bool changed = false;
  if (sense != Sense::Le) changed |= propagate_side(r, /*at_least=*/true);
  if (crossed_) return true;
  if (sense != Sense::Ge) changed |= propagate_side(r, /*at_least=*/false);
  return changed;
}

// One side of a row. The bound a term moves is never one this side's sums
// read (activity >= b sums upper bounds of positive terms and raises their
// lower bounds, and the reverse for negative terms), so the prefix and
// suffix sums stay valid while the terms are updated in turn.
bool BoundPropagator::propagate_side(size_t r, bool at_least) {
  const uint32_t begin = start_[r];
  const size_t n = start_[r + 1] - begin;
  const double b = rhs_[r];
  const double k = constant_[r];
  const uint32_t* vars = &var_[begin];
  const double* coefs = &coef_[begin];
  bool any_target = false;
  for (size_t j = 0; j < n; ++j) {
    const uint32_t x = vars[j];
    const double a = coefs[j];
    // An exact zero contributes nothing whatever the bound (no 0 * inf).
    if (a == 0.0) {
      contrib_[j] = 0.0;
      continue;
    }
    contrib_[j] = (a > 0) == at_least ? a * ub_[x] : a * lb_[x];
    any_target |= std::fabs(a) >= kPropagationCoefFloor;
  }
  if (!any_target) return false;
  // Every contribution of one side is either finite or an infinity of the
  // same sign, so the sums never meet inf - inf; an infinite rest gives an
  // infinite candidate, which moves nothing. The sums of magnitudes size the
  // rounding a candidate may carry.
  suffix_[n] = 0.0;
  abs_suffix_[n] = 0.0;
  for (size_t j = n; j-- > 0;) {
    suffix_[j] = contrib_[j] + suffix_[j + 1];
    abs_suffix_[j] = std::fabs(contrib_[j]) + abs_suffix_[j + 1];
  }

  bool changed = false;
  double prefix = k;
  double abs_prefix = std::fabs(k);
  for (size_t t = 0; t < n; ++t) {
    const double a = coefs[t];
    if (std::fabs(a) >= kPropagationCoefFloor) {
      const double rest = prefix + suffix_[t + 1];
      if (std::isfinite(rest)) {
        const uint32_t x = vars[t];
        const bool raise = (a > 0) == at_least;
        // Loosened by the rounding of the sums, so that rounding alone never
        // crosses two bounds of a feasible model.
        const double slack =
            kPropagationRounding * (std::fabs(b) + abs_prefix + abs_suffix_[t + 1]) / std::fabs(a);
        const double candidate = (b - rest) / a + (raise ? -slack : slack);
        if (raise ? raise_lower(x, candidate) : lower_upper(x, candidate)) {
          changed = true;
          if (crossed_) return true;
        }
      }
    }
    prefix += contrib_[t];
    abs_prefix += std::fabs(contrib_[t]);
  }
  return changed;
}

bool BoundPropagator::pass(std::span<const uint8_t> member, size_t skip) {
  bool changed = false;
  const size_t rows = num_rows();
  for (size_t r = 0; r < rows; ++r) {
    if (!in_set(member, skip, r)) continue;
    changed |= propagate_row(r);
    if (crossed_) return true;
  }
  return changed;
}

bool BoundPropagator::row_unreachable(size_t r) const noexcept {
  const uint32_t begin = start_[r], end = start_[r + 1];
  double minact = constant_[r];
  double maxact = constant_[r];
  double magnitude = std::fabs(constant_[r]);
  for (uint32_t j = begin; j < end; ++j) {
    const double a = coef_[j];
    const uint32_t x = var_[j];
    const double lo = a > 0 ? a * lb_[x] : a * ub_[x];
    const double hi = a > 0 ? a * ub_[x] : a * lb_[x];
    minact += lo;
    maxact += hi;
    if (std::isfinite(lo)) magnitude += std::fabs(lo);
    if (std::isfinite(hi)) magnitude += std::fabs(hi);
  }
  const double b = rhs_[r];
  const double tol = tolerance_at(b) + kPropagationRounding * magnitude;
  switch (sense_[r]) {
    case Sense::Le: return minact > b + tol;
    case Sense::Ge: return b - tol > maxact;
    case Sense::Eq: return minact > b + tol || b - tol > maxact;
  }
  return false;
}

bool BoundPropagator::infeasible(std::span<const uint8_t> member, size_t skip) {
  lb_ = lower0_;
  ub_ = upper0_;
  crossed_ = false;
  for (size_t x = 0; x < lb_.size(); ++x) {
    if (bounds_cross(lb_[x], ub_[x])) return true;
  }
  int passes = 0;
  bool changed = false;
  do {
    changed = pass(member, skip);
    ++passes;
    if (crossed_) return true;
  } while (changed && passes < kMaxPropagationPasses);

  const size_t rows = num_rows();
  for (size_t r = 0; r < rows; ++r) {
    if (in_set(member, skip, r) && start_[r + 1] - start_[r] >= 2 && row_unreachable(r)) {
      return true;
    }
  }
  return false;
}

}  // namespace pelora
