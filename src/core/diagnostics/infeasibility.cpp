#include "core/diagnostics/infeasibility.hpp"

#include <cstdint>

#include "core/diagnostics/diagnostic_error.hpp"
#include "core/diagnostics/propagation.hpp"
#include "core/expr/text.hpp"
#include "core/format.hpp"

namespace pelora {

std::vector<size_t> infeasible_subsystem(const ModelSnapshot& snapshot) {
  BoundPropagator prop(snapshot.variables, snapshot.constraints);
  const size_t n = prop.num_rows();
  std::vector<uint8_t> member(n, 1);
  std::vector<size_t> kept;
  // The filter below only removes constraints whose removal keeps the rest
  // infeasible, so it must start from a set that is infeasible; otherwise
  // every constraint would stay and be reported as a conflict.
  if (!prop.infeasible(member, n)) return kept;
  for (size_t c = 0; c < n; ++c) {
    if (prop.infeasible(member, c)) member[c] = 0;
  }
  for (size_t c = 0; c < n; ++c) {
    if (member[c]) kept.push_back(c);
  }
  return kept;
}

namespace {

std::string display_name(const LinearConstraint& c, size_t position) {
  return c.name ? *c.name : "constraint_" + std::to_string(position);
}

}  // namespace

InfeasibilityReport infeasibility_report(const ResultData& result) {
  if (!result.snapshot || result.snapshot->constraints.empty()) {
    throw DiagnosticError(kNoModelDataMessage);
  }
  const ModelSnapshot& snap = *result.snapshot;
  InfeasibilityReport report;
  report.constraint_indices = infeasible_subsystem(snap);
  if (report.constraint_indices.empty()) {
    report.explanation = "No infeasible subsystem found.";
    return report;
  }
  report.explanation = "The following " + std::to_string(report.constraint_indices.size()) +
                       " constraints are mutually infeasible \xE2\x80\x94 no solution satisfies "
                       "all of them simultaneously:\n  ";
  bool first = true;
  for (size_t pos : report.constraint_indices) {
    const LinearConstraint& c = snap.constraints[pos];
    const std::string shown = display_name(c, pos);
    report.constraint_names.push_back(c.name ? *c.name : "unnamed");
    if (!first) report.explanation += "\n  ";
    first = false;
    report.explanation += "'" + shown + "' (" + constraint_text(ConstraintRecord(c)) + ")";
    switch (c.sense) {
      case Sense::Le:
        report.suggestions.push_back("Relax '" + shown + "': increase RHS from " +
                                     fixed_number(c.rhs, 4));
        break;
      case Sense::Ge:
        report.suggestions.push_back("Relax '" + shown + "': decrease RHS from " +
                                     fixed_number(c.rhs, 4));
        break;
      case Sense::Eq:
        report.suggestions.push_back("Relax '" + shown + "': change from equality to inequality");
        break;
    }
  }
  return report;
}

}  // namespace pelora
