// Irreducible infeasible subsystem of a model's linear constraints, found by
// a deletion filter over bound propagation, with its explanation text and one
// relaxation hint per member. A caller that can solve LPs may lend two hooks:
// an exact judge, which checks a proven set and finishes it with a deletion
// filter of its own (propagation alone may keep a row the rest does not need),
// and a solver's own subsystem, tried when propagation proves nothing.
#pragma once
#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/model/solve_result.hpp"

namespace pelora {

struct InfeasibilityReport {
  std::vector<size_t> constraint_indices;    // ascending positions
  std::vector<std::string> constraint_names;  // name, or "unnamed"
  std::string explanation;
  std::vector<std::string> suggestions;      // one per member
  // Whether every member was shown to be needed: without it the others
  // admit a point. False when some member could not be decided (the LP
  // check could not tell, or the set was too large to check one by one).
  bool irreducible = true;
};

// The constraint positions of an infeasible subsystem, and whether it was
// shown to be irreducible.
struct Subsystem {
  std::vector<size_t> rows;  // ascending
  bool irreducible = true;
};

struct SubsystemHooks {
  // Whether the constraints at `rows` (ascending positions), with every
  // variable's bounds, admit no point: true infeasible, false feasible,
  // nullopt when it cannot tell.
  std::function<std::optional<bool>(std::span<const size_t> rows)> judge;
  // Positions of an infeasible subsystem found by a solver, or empty.
  std::function<std::vector<size_t>()> solver_subsystem;
};

// The constraints left by the deletion filter: empty when no infeasible set
// is proven (and always when the variables' bounds alone contradict each
// other). A set the judge finds feasible is never reported. Irreducible only
// when the judge found the set without each member feasible (never without
// a judge: propagation cannot show that a set admits a point). Fails with
// DiagnosticError for a term whose variable is not in `snapshot`.
Subsystem infeasible_subsystem(const ModelSnapshot& snapshot, const SubsystemHooks& hooks = {});

// The report of a result. Fails with DiagnosticError when the result holds no
// model constraints.
InfeasibilityReport infeasibility_report(const ResultData& result,
                                         const SubsystemHooks& hooks = {});

}  // namespace pelora
