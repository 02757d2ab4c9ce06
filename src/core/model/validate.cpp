#include "core/model/validate.hpp"

#include <cmath>
#include <limits>

#include "core/format.hpp"

namespace pelora {
namespace {

constexpr double kBoundSlack = 1e-10;
constexpr double kTinyCoefficient = 1e-15;
constexpr double kMaxCoefficientRatio = 1e6;
constexpr double kLargeRhs = 1e12;
constexpr double kActivitySlack = 1e-6;
// Stand-in for an infinite bound in activity sums.
constexpr double kBigBound = 1e20;

double finite_lower(double v) { return std::isfinite(v) ? v : -kBigBound; }
double finite_upper(double v) { return std::isfinite(v) ? v : kBigBound; }

}  // namespace

const char* severity_text(Severity s) {
  switch (s) {
    case Severity::Info: return "INFO";
    case Severity::Warn: return "WARN";
    case Severity::Error: return "ERROR";
  }
  return "INFO";
}

std::vector<ValidationWarning> validate_model(const ModelData& m) {
  std::vector<ValidationWarning> out;
  const size_t nvars = m.variables.size();
  auto in_range = [&](VarIndex i) { return static_cast<size_t>(i) < nvars; };

  // 1. Bound conflicts.
  for (size_t i = 0; i < nvars; ++i) {
    const VarRecord& v = m.variables[i];
    if (v.lower > v.upper + kBoundSlack) {
      out.push_back({Severity::Error, "infeasible_bounds",
                     "Variable '" + m.var_name(i) + "' has infeasible bounds: lower=" +
                         fixed_number(v.lower, 4) + " > upper=" + fixed_number(v.upper, 4)});
    }
  }

  // 2. Variables no linear constraint mentions (a zero coefficient counts).
  std::vector<bool> used(nvars, false);
  for (const LinearConstraint& c : m.constraints) {
    for (const Term& t : c.expr.terms) {
      if (in_range(t.index)) used[t.index] = true;
    }
  }
  for (size_t i = 0; i < nvars; ++i) {
    if (!used[i]) {
      out.push_back({Severity::Info, "unused_variable",
                     "Variable '" + m.var_name(i) + "' is not used in any constraint"});
    }
  }

  if (m.constraints.empty()) return out;

  // 4. Coefficient range.
  double lo = std::numeric_limits<double>::infinity(), hi = 0.0;
  for (const LinearConstraint& c : m.constraints) {
    for (const Term& t : c.expr.terms) {
      if (!in_range(t.index)) continue;
      const double a = std::fabs(t.coef);
      if (a > kTinyCoefficient) {
        if (a < lo) lo = a;
        if (a > hi) hi = a;
      }
    }
  }
  if (hi > 0 && lo > 0 && hi / lo > kMaxCoefficientRatio) {
    out.push_back({Severity::Warn, "scaling",
                   "Coefficient range is " + sci_number(hi / lo, 0) + " (min=" +
                       sci_number(lo, 2) + ", max=" + sci_number(hi, 2) +
                       ") \xE2\x80\x94 may cause numerical issues. Consider scaling."});
  }

  // 5. Huge right-hand sides.
  for (size_t i = 0; i < m.constraints.size(); ++i) {
    const LinearConstraint& c = m.constraints[i];
    if (std::fabs(c.rhs) > kLargeRhs) {
      const std::string name = c.name ? *c.name : "constraint_" + std::to_string(i);
      out.push_back({Severity::Warn, "large_rhs",
                     "Constraint '" + name + "' has very large RHS: " + sci_number(c.rhs, 2)});
    }
  }

  // 6. Constraints without variables.
  size_t empty = 0;
  for (const LinearConstraint& c : m.constraints) {
    if (c.expr.terms.empty()) ++empty;
  }
  if (empty > 0) {
    out.push_back({Severity::Info, "empty_constraint",
                   std::to_string(empty) + " constraint(s) have no variables"});
  }

  // 7. Constraints the bounds alone make unsatisfiable.
  for (const LinearConstraint& c : m.constraints) {
    if (c.expr.terms.size() < 2 || c.sense == Sense::Eq) continue;
    double min_act = c.expr.constant, max_act = c.expr.constant;
    for (const Term& t : c.expr.terms) {
      if (!in_range(t.index)) continue;
      const VarRecord& v = m.variables[t.index];
      const double lower = finite_lower(v.lower), upper = finite_upper(v.upper);
      if (t.coef > 0) {
        min_act += t.coef * lower;
        max_act += t.coef * upper;
      } else {
        min_act += t.coef * upper;
        max_act += t.coef * lower;
      }
    }
    const std::string name = c.name ? *c.name : "unnamed";
    if (c.sense == Sense::Le && min_act > c.rhs + kActivitySlack) {
      out.push_back({Severity::Error, "trivially_infeasible",
                     "Constraint '" + name + "' is trivially infeasible: min activity " +
                         fixed_number(min_act, 4) + " > RHS " + fixed_number(c.rhs, 4)});
    } else if (c.sense == Sense::Ge && max_act < c.rhs - kActivitySlack) {
      out.push_back({Severity::Error, "trivially_infeasible",
                     "Constraint '" + name + "' is trivially infeasible: max activity " +
                         fixed_number(max_act, 4) + " < RHS " + fixed_number(c.rhs, 4)});
    }
  }
  return out;
}

}  // namespace pelora
