// Irreducible infeasible subsystem of a model's linear constraints, found by
// a deletion filter over bound propagation (no solver involved), with its
// explanation text and one relaxation hint per member.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "core/model/solve_result.hpp"

namespace pelora {

struct InfeasibilityReport {
  std::vector<size_t> constraint_indices;    // ascending positions
  std::vector<std::string> constraint_names;  // name, or "unnamed"
  std::string explanation;
  std::vector<std::string> suggestions;      // one per member
};

// Positions of the constraints left by the deletion filter: empty when the
// whole set is not proven infeasible. Fails with DiagnosticError for a term
// whose variable is not in `snapshot`.
std::vector<size_t> infeasible_subsystem(const ModelSnapshot& snapshot);

// The report of a result. Fails with DiagnosticError when the result holds no
// model constraints.
InfeasibilityReport infeasibility_report(const ResultData& result);

}  // namespace pelora
