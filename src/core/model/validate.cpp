#include "core/model/validate.hpp"

#include <cmath>
#include <limits>
#include <unordered_set>

#include "core/format.hpp"

namespace pelora {
namespace {

constexpr double kBoundSlack = 1e-10;
constexpr double kTinyCoefficient = 1e-15;
constexpr double kMaxCoefficientRatio = 1e6;
constexpr double kLargeRhs = 1e12;
constexpr double kActivitySlack = 1e-6;

// Marks every variable a nonlinear (or quadratic) body mentions. Subtrees may
// be shared, so each node is visited once, from an explicit stack.
void mark_used(const NlExpr& body, std::vector<bool>& used) {
  auto mark = [&](VarIndex i) {
    if (static_cast<size_t>(i) < used.size()) used[i] = true;
  };
  for (const Term& t : body.linear.terms) mark(t.index);
  std::unordered_set<const NlNode*> seen;
  std::vector<const NlNode*> stack;
  for (const NlTerm& t : body.nl_terms) stack.push_back(t.node.get());
  while (!stack.empty()) {
    const NlNode* n = stack.back();
    stack.pop_back();
    if (!n || !seen.insert(n).second) continue;
    if (n->kind == NlKind::Var) mark(n->var);
    stack.push_back(n->a.get());
    stack.push_back(n->b.get());
  }
}

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

  // 2. Variables no constraint of any kind mentions (a zero coefficient
  // counts): linear, nonlinear and quadratic rows, and cones.
  std::vector<bool> used(nvars, false);
  for (const LinearRow& c : m.constraints) {
    for (VarIndex i : c.terms.indices()) {
      if (in_range(i)) used[i] = true;
    }
  }
  for (const NonlinearConstraint& c : m.nl_constraints) mark_used(c.body, used);
  for (const auto* cones : {&m.soc_cones, &m.psd_cones}) {
    for (const std::vector<VarIndex>& cone : *cones) {
      for (VarIndex i : cone) {
        if (in_range(i)) used[i] = true;
      }
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
  for (const LinearRow& c : m.constraints) {
    for (const Term& t : c.terms) {
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
    const LinearRow c = m.constraints[i];
    if (std::fabs(c.rhs) > kLargeRhs) {
      const std::string name = c.name ? *c.name : "constraint_" + std::to_string(i);
      out.push_back({Severity::Warn, "large_rhs",
                     "Constraint '" + name + "' has very large RHS: " + sci_number(c.rhs, 2)});
    }
  }

  // 6. Constraints without variables.
  size_t empty = 0;
  for (const LinearRow& c : m.constraints) {
    if (c.terms.empty()) ++empty;
  }
  if (empty > 0) {
    out.push_back({Severity::Info, "empty_constraint",
                   std::to_string(empty) + " constraint(s) have no variables"});
  }

  // 7. Constraints the bounds alone make unsatisfiable. An infinite (or NaN)
  // bound makes the activity on its side unbounded, so that side can meet
  // any right-hand side and is not tested.
  for (const LinearRow& c : m.constraints) {
    if (c.terms.size() < 2 || c.sense == Sense::Eq) continue;
    double min_act = 0.0, max_act = 0.0;
    bool min_finite = true, max_finite = true;
    for (const Term& t : c.terms) {
      if (!in_range(t.index)) continue;
      const VarRecord& v = m.variables[t.index];
      const double for_min = t.coef > 0 ? v.lower : v.upper;
      const double for_max = t.coef > 0 ? v.upper : v.lower;
      if (std::isfinite(for_min)) {
        min_act += t.coef * for_min;
      } else if (t.coef != 0.0) {
        min_finite = false;
      }
      if (std::isfinite(for_max)) {
        max_act += t.coef * for_max;
      } else if (t.coef != 0.0) {
        max_finite = false;
      }
    }
    const std::string name = c.name ? *c.name : "unnamed";
    if (c.sense == Sense::Le && min_finite && min_act > c.rhs + kActivitySlack) {
      out.push_back({Severity::Error, "trivially_infeasible",
                     "Constraint '" + name + "' is trivially infeasible: min activity " +
                         fixed_number(min_act, 4) + " > RHS " + fixed_number(c.rhs, 4)});
    } else if (c.sense == Sense::Ge && max_finite && max_act < c.rhs - kActivitySlack) {
      out.push_back({Severity::Error, "trivially_infeasible",
                     "Constraint '" + name + "' is trivially infeasible: max activity " +
                         fixed_number(max_act, 4) + " < RHS " + fixed_number(c.rhs, 4)});
    }
  }
  return out;
}

}  // namespace pelora
