#include "core/diagnostics/infeasibility.hpp"

#include <algorithm>
#include <cstdint>

#include "core/diagnostics/diagnostic_error.hpp"
#include "core/diagnostics/propagation.hpp"
#include "core/expr/text.hpp"
#include "core/format.hpp"

namespace pelora {

namespace {

std::vector<size_t> members_of(std::span<const uint8_t> member) {
  std::vector<size_t> kept;
  for (size_t c = 0; c < member.size(); ++c) {
    if (member[c]) kept.push_back(c);
  }
  return kept;
}

// Deletion filter over propagation. Propagation is not monotone (its pass
// limit and visiting order make a smaller set sometimes easier to prove), so
// a row kept in one sweep may become removable after later removals; sweeps
// repeat until one removes nothing.
std::vector<size_t> propagation_filter(BoundPropagator& prop) {
  const size_t n = prop.num_rows();
  std::vector<uint8_t> member(n, 1);
  // The filter only removes constraints whose removal keeps the rest
  // infeasible, so it must start from a set that is infeasible; otherwise
  // every constraint would stay and be reported as a conflict.
  if (!prop.infeasible(member, n)) return {};
  for (bool removed = true; removed;) {
    removed = false;
    for (size_t c = 0; c < n; ++c) {
      if (member[c] && prop.infeasible(member, c)) {
        member[c] = 0;
        removed = true;
      }
    }
  }
  return members_of(member);
}

// Deletion filter with the exact judge over an infeasible set: a member
// goes when the others stay infeasible without it. With an exact judge one
// sweep would do; a judge that works to a tolerance, or cannot decide on
// some sets, may let a later sweep remove a member an earlier one kept, so
// sweeps repeat until one removes nothing. A member the judge cannot decide
// on in that last sweep stays, and the set is then not known irreducible.
// The filter costs one LP solve per member and sweep, so a set beyond
// kMaxJudgedMembers is left as it is (still infeasible, perhaps reducible).
constexpr size_t kMaxJudgedMembers = 1000;

Subsystem judged_filter(const SubsystemHooks& hooks, std::vector<size_t> set) {
  if (set.size() > kMaxJudgedMembers) return {std::move(set), false};
  std::vector<size_t> rest;
  for (bool removed = true; removed;) {
    removed = false;
    bool undecided = false;
    for (size_t i = 0; i < set.size();) {
      rest.clear();
      for (size_t j = 0; j < set.size(); ++j) {
        if (j != i) rest.push_back(set[j]);
      }
      const std::optional<bool> verdict =
          rest.empty() ? std::optional<bool>(false) : hooks.judge(rest);
      if (verdict == std::optional<bool>(true)) {
        set.erase(set.begin() + static_cast<std::ptrdiff_t>(i));
        removed = true;
      } else {
        undecided = undecided || !verdict;
        ++i;
      }
    }
    if (!removed) return {std::move(set), !undecided};
  }
  return {std::move(set), false};  // not reached
}

bool boxes_contradict(const ModelSnapshot& snapshot) {
  for (const VarRecord& v : snapshot.variables) {
    if (v.lower > v.upper + kPropagationFeasTol) return true;
  }
  return false;
}

}  // namespace

Subsystem infeasible_subsystem(const ModelSnapshot& snapshot, const SubsystemHooks& hooks) {
  BoundPropagator prop(snapshot.variables, snapshot.constraints);
  // Contradictory bounds need no constraint at all: there is no subsystem of
  // constraints to report.
  if (boxes_contradict(snapshot)) return {};
  std::vector<size_t> kept = propagation_filter(prop);
  if (!hooks.judge) return {kept, kept.empty()};
  if (!kept.empty()) {
    const std::optional<bool> verdict = hooks.judge(kept);
    if (!verdict) return {std::move(kept), false};
    if (*verdict) return judged_filter(hooks, std::move(kept));
    // Propagation works to a tolerance; a set that an LP solve satisfies is
    // not reported as a conflict (the solver's subsystem may still be).
  }
  if (!hooks.solver_subsystem) return {};
  std::vector<size_t> found = hooks.solver_subsystem();
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  if (found.empty() || found.back() >= snapshot.constraints.size()) return {};
  if (hooks.judge(found) != std::optional<bool>(true)) return {};
  return judged_filter(hooks, std::move(found));
}

namespace {

std::string display_name(const LinearRow& c, size_t position) {
  return c.name ? *c.name : "constraint_" + std::to_string(position);
}

}  // namespace

InfeasibilityReport infeasibility_report(const ResultData& result,
                                         const SubsystemHooks& hooks) {
  if (!result.snapshot || result.snapshot->constraints.empty()) {
    throw DiagnosticError(kNoModelDataMessage);
  }
  const ModelSnapshot& snap = *result.snapshot;
  InfeasibilityReport report;
  Subsystem found = infeasible_subsystem(snap, hooks);
  report.constraint_indices = std::move(found.rows);
  report.irreducible = found.irreducible;
  if (report.constraint_indices.empty()) {
    report.explanation = "No infeasible subsystem found.";
    return report;
  }
  report.explanation = "The following " + std::to_string(report.constraint_indices.size()) +
                       " constraints are mutually infeasible \xE2\x80\x94 no solution satisfies "
                       "all of them simultaneously:\n  ";
  // The variables by their model names (an index beyond the snapshot, which
  // a model no longer lets in, keeps its positional x{index}).
  const VariableNamer name_of = [&snap](VarIndex i) {
    return i < snap.var_names.size() ? snap.var_names[i] : "x" + std::to_string(i);
  };
  bool first = true;
  for (size_t pos : report.constraint_indices) {
    const LinearRow c = snap.constraints[pos];
    const std::string shown = display_name(c, pos);
    report.constraint_names.push_back(c.name ? *c.name : "unnamed");
    if (!first) report.explanation += "\n  ";
    first = false;
    report.explanation += "'" + shown + "' (" + linear_constraint_text(to_constraint(c), name_of) + ")";
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
