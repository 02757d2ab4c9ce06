#include "core/diagnostics/explain.hpp"

#include <algorithm>
#include <cmath>

#include "core/diagnostics/diagnostic_error.hpp"
#include "core/format.hpp"

namespace pelora {

namespace {

constexpr double kFixedWidth = 1e-8;
constexpr double kAtBoundTol = 1e-6;
constexpr double kBindingTol = 1e-6;
constexpr size_t kMostImpactful = 5;

std::string position_name(const LinearRow& c, size_t position) {
  return c.name ? *c.name : "c" + std::to_string(position);
}

const LinearRows& constraints_of(const ResultData& r) {
  static const LinearRows none;
  return r.snapshot ? r.snapshot->constraints : none;
}

bool has_term(const LinearRow& c, size_t index) {
  for (VarIndex i : c.terms.indices()) {
    if (i == index) return true;
  }
  return false;
}

}  // namespace

const char* bound_status_text(BoundStatus s) {
  switch (s) {
    case BoundStatus::AtLower: return "at_lower";
    case BoundStatus::AtUpper: return "at_upper";
    case BoundStatus::Between: return "between";
    case BoundStatus::Fixed: return "fixed";
  }
  return "between";
}

BoundStatus bound_status(double value, double lower, double upper) noexcept {
  if (std::fabs(upper - lower) < kFixedWidth) return BoundStatus::Fixed;
  if (std::fabs(value - lower) < kAtBoundTol) return BoundStatus::AtLower;
  if (std::fabs(value - upper) < kAtBoundTol) return BoundStatus::AtUpper;
  return BoundStatus::Between;
}

double constraint_activity(const LinearRow& c, std::span<const double> primals) noexcept {
  double activity = 0.0;
  for (const Term& t : c.terms) {
    activity += t.coef * (t.index < primals.size() ? primals[t.index] : 0.0);
  }
  return activity;
}

bool is_binding(const LinearRow& c, std::span<const double> primals) noexcept {
  return std::fabs(constraint_activity(c, primals) - c.rhs) < kBindingTol;
}

WhyDetail why_detail(const ResultData& result, size_t index) {
  if (!result.primals) throw DiagnosticError(kNoSolutionMessage);
  if (!result.snapshot || result.snapshot->variables.empty()) {
    throw DiagnosticError(kNoModelDataMessage);
  }
  const ModelSnapshot& snap = *result.snapshot;
  const std::vector<double>& primals = *result.primals;
  if (index >= snap.variables.size()) {
    throw DiagnosticError("Variable x" + std::to_string(index) +
                          " is not in this result's model (" +
                          std::to_string(snap.variables.size()) +
                          " variables); was it made by another model?");
  }
  if (index >= primals.size()) throw DiagnosticError(kNoSolutionMessage);

  const VarRecord& rec = snap.variables[index];
  WhyDetail d;
  d.variable = snap.var_names[index];
  d.value = primals[index];
  d.status = bound_status(d.value, rec.lower, rec.upper);

  std::string names;  // explanation form: name or "unnamed"
  for (size_t pos = 0; pos < snap.constraints.size(); ++pos) {
    const LinearRow c = snap.constraints[pos];
    if (!has_term(c, index) || !is_binding(c, primals)) continue;
    if (!d.binding_constraints.empty()) names += ", ";
    names += c.name ? *c.name : "unnamed";
    d.binding_constraints.emplace_back(pos, position_name(c, pos));
  }
  const size_t k = d.binding_constraints.size();
  const std::string v = fixed_number(d.value, 6);
  std::string& text = d.explanation;
  switch (d.status) {
    case BoundStatus::AtLower:
      text = d.variable + " = " + v + " because it is at its lower bound (" +
             fixed_number(rec.lower, 6) + ").";
      text += k > 0 ? " " + std::to_string(k) + " binding constraint(s) involve this variable."
                    : std::string(" No binding constraints force it higher.");
      break;
    case BoundStatus::AtUpper:
      text = d.variable + " = " + v + " because it is at its upper bound (" +
             fixed_number(rec.upper, 6) + ").";
      if (k > 0) text += " " + std::to_string(k) + " binding constraint(s) push it to this limit.";
      break;
    case BoundStatus::Between:
      if (k > 0) {
        text = d.variable + " = " + v + " is determined by binding constraint(s): " + names;
      } else {
        text = d.variable + " = " + v + " \xE2\x80\x94 it is between its bounds [" +
               fixed_number(rec.lower, 6) + ", " + fixed_number(rec.upper, 6) +
               "] and no constraints are binding.";
      }
      break;
    case BoundStatus::Fixed:
      text = d.variable + " = " + v + " because it is fixed (lower = upper = " +
             fixed_number(rec.lower, 6) + ").";
      break;
  }
  return d;
}

std::string why(const ResultData& result, size_t index) {
  if (!result.primals) throw DiagnosticError(kNoSolutionMessage);
  if (constraints_of(result).empty()) throw DiagnosticError(kNoModelDataMessage);
  return why_detail(result, index).explanation;
}

SensitivityReport sensitivity(const ResultData& result) {
  SensitivityReport s;
  const LinearRows& cons = constraints_of(result);
  if (result.duals) {
    const std::vector<double>& duals = *result.duals;
    s.shadow_prices.reserve(cons.size());
    for (size_t pos = 0; pos < cons.size(); ++pos) {
      s.shadow_prices.push_back(
          {pos, position_name(cons[pos], pos), pos < duals.size() ? duals[pos] : 0.0});
    }
    s.most_impactful = s.shadow_prices;
    // Largest magnitude first, ties in constraint order; a NaN dual ranks last.
    std::stable_sort(s.most_impactful.begin(), s.most_impactful.end(),
                     [](const ShadowPrice& a, const ShadowPrice& b) {
                       const double x = std::fabs(a.dual), y = std::fabs(b.dual);
                       if (std::isnan(y)) return !std::isnan(x);
                       return x > y;
                     });
    if (s.most_impactful.size() > kMostImpactful) s.most_impactful.resize(kMostImpactful);
  }
  if (result.primals) {
    const std::vector<double>& primals = *result.primals;
    for (size_t pos = 0; pos < cons.size(); ++pos) {
      if (is_binding(cons[pos], primals)) {
        s.active_constraints.emplace_back(pos, position_name(cons[pos], pos));
      }
    }
    if (result.snapshot) {
      const std::vector<VarRecord>& vars = result.snapshot->variables;
      s.variable_bounds.reserve(vars.size());
      for (size_t i = 0; i < vars.size(); ++i) {
        const double value = i < primals.size() ? primals[i] : 0.0;
        s.variable_bounds.emplace_back(result.snapshot->var_names[i],
                                       bound_status(value, vars[i].lower, vars[i].upper));
      }
    }
  }
  return s;
}

}  // namespace pelora
