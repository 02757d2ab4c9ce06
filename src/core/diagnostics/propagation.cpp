#include "core/diagnostics/propagation.hpp"

#include <cmath>
#include <string>

#include "core/diagnostics/diagnostic_error.hpp"

namespace pelora {

BoundPropagator::BoundPropagator(std::span<const VarRecord> variables,
                                 std::span<const LinearConstraint> constraints) {
  const size_t nvar = variables.size();
  lower0_.reserve(nvar);
  upper0_.reserve(nvar);
  for (const VarRecord& v : variables) {
    lower0_.push_back(v.lower);
    upper0_.push_back(v.upper);
  }
  size_t nnz = 0;
  for (const LinearConstraint& c : constraints) nnz += c.expr.terms.size();
  start_.reserve(constraints.size() + 1);
  var_.reserve(nnz);
  coef_.reserve(nnz);
  rhs_.reserve(constraints.size());
  constant_.reserve(constraints.size());
  sense_.reserve(constraints.size());
  size_t longest = 0;
  start_.push_back(0);
  for (size_t r = 0; r < constraints.size(); ++r) {
    const LinearConstraint& c = constraints[r];
    for (const Term& t : c.expr.terms) {
      if (t.index >= nvar) {
        throw DiagnosticError("Constraint " + std::to_string(r) + " refers to variable x" +
                              std::to_string(t.index) + ", which is not in this result's model (" +
                              std::to_string(nvar) + " variables); was it made by another model?");
      }
      var_.push_back(t.index);
      coef_.push_back(t.coef);
    }
    longest = std::max(longest, c.expr.terms.size());
    start_.push_back(static_cast<uint32_t>(var_.size()));
    rhs_.push_back(c.rhs);
    constant_.push_back(c.expr.constant);
    sense_.push_back(c.sense);
  }
  lb_.resize(nvar);
  ub_.resize(nvar);
  contrib_.resize(longest);
  suffix_.resize(longest + 1);
  nonfinite_.resize(longest);
}

bool BoundPropagator::raise_lower(uint32_t x, double v) noexcept {
  if (!(v > lb_[x])) return false;
  lb_[x] = v;
  if (lb_[x] > ub_[x] + kPropagationFeasTol) crossed_ = true;
  return true;
}

bool BoundPropagator::lower_upper(uint32_t x, double v) noexcept {
  if (!(v < ub_[x])) return false;
  ub_[x] = v;
  if (lb_[x] > ub_[x] + kPropagationFeasTol) crossed_ = true;
  return true;
}

// One row of a pass. First, a single-term row moves its variable's bound to
// (b - k) / a. Then every term with a positive coefficient of a `>=` row
// (`<=` row) gets the lower (upper) bound implied by the largest (smallest)
// activity the other terms can reach, provided all of their variables have
// finite bounds on both sides.
bool BoundPropagator::propagate_row(size_t r) {
  const uint32_t begin = start_[r];
  const size_t n = start_[r + 1] - begin;
  if (n == 0) return false;
  const double b = rhs_[r];
  const double k = constant_[r];
  const Sense sense = sense_[r];
  const uint32_t* vars = &var_[begin];
  const double* coefs = &coef_[begin];
  bool changed = false;

  if (n == 1) {
    const double a = coefs[0];
    const uint32_t x = vars[0];
    if (std::fabs(a) < kPropagationCoefFloor) return false;
    const double g = (b - k) / a;
    switch (sense) {
      case Sense::Eq:
        changed |= raise_lower(x, g);
        changed |= lower_upper(x, g);
        break;
      case Sense::Ge:
        if (a > 0) changed |= raise_lower(x, g);
        if (a < 0) changed |= lower_upper(x, g);
        break;
      case Sense::Le:
        if (a > 0) changed |= lower_upper(x, g);
        if (a < 0) changed |= raise_lower(x, g);
        break;
    }
  }
  if (sense == Sense::Eq) return changed;

  // `>=` needs the largest activity of the rest, `<=` the smallest; a
  // coefficient that is not positive counts as negative.
  const bool ge = sense == Sense::Ge;
  size_t nonfinite = 0;
  bool any_target = false;
  for (size_t j = 0; j < n; ++j) {
    const uint32_t x = vars[j];
    const double a = coefs[j];
    const uint8_t nf = !(std::isfinite(lb_[x]) && std::isfinite(ub_[x]));
    nonfinite_[j] = nf;
    nonfinite += nf;
    contrib_[j] = (a > 0) == ge ? a * ub_[x] : a * lb_[x];
    any_target |= a >= kPropagationCoefFloor;
  }
  // A term may move only when every other term is finite; with two infinite
  // terms none can (and an update never makes another term finite).
  if (!any_target || nonfinite >= 2) return changed;

  suffix_[n] = 0.0;
  for (size_t j = n; j-- > 0;) suffix_[j] = contrib_[j] + suffix_[j + 1];

  double prefix = k;
  for (size_t t = 0; t < n; ++t) {
    const double a = coefs[t];
    if (a >= kPropagationCoefFloor && nonfinite == nonfinite_[t]) {
      const uint32_t x = vars[t];
      const double candidate = (b - (prefix + suffix_[t + 1])) / a;
      // The bound moved here is not the one this row's sums read (for a
      // positive coefficient `>=` sums upper bounds and raises the lower one,
      // `<=` the reverse), so the sums stay valid; only whether the term is
      // now finite on both sides can change.
      if (ge ? raise_lower(x, candidate) : lower_upper(x, candidate)) {
        changed = true;
        if (crossed_) return true;
        const uint8_t nf = !(std::isfinite(lb_[x]) && std::isfinite(ub_[x]));
        nonfinite = nonfinite - nonfinite_[t] + nf;
        nonfinite_[t] = nf;
      }
    }
    prefix += contrib_[t];
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
  for (uint32_t j = begin; j < end; ++j) {
    const double a = coef_[j];
    const uint32_t x = var_[j];
    if (a > 0) {
      minact += a * lb_[x];
      maxact += a * ub_[x];
    } else {
      minact += a * ub_[x];
      maxact += a * lb_[x];
    }
  }
  const double b = rhs_[r];
  switch (sense_[r]) {
    case Sense::Le: return minact > b + kPropagationFeasTol;
    case Sense::Ge: return b - kPropagationFeasTol > maxact;
    case Sense::Eq: return minact > b + kPropagationFeasTol || b - kPropagationFeasTol > maxact;
  }
  return false;
}

bool BoundPropagator::infeasible(std::span<const uint8_t> member, size_t skip) {
  lb_ = lower0_;
  ub_ = upper0_;
  crossed_ = false;
  for (size_t x = 0; x < lb_.size(); ++x) {
    if (lb_[x] > ub_[x] + kPropagationFeasTol) return true;
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
