// Sensitivity data and plain-language explanations of a solution, read from
// a result's primal and dual values and its model snapshot.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/model/solve_result.hpp"

namespace pelora {

enum class BoundStatus : uint8_t { AtLower = 0, AtUpper = 1, Between = 2, Fixed = 3 };

const char* bound_status_text(BoundStatus s);

// Fixed when the box has no width (1e-8), else at a bound within 1e-6.
BoundStatus bound_status(double value, double lower, double upper) noexcept;

// Σ coefficient × value plus the expression's constant; a term whose
// variable has no value counts 0.
double constraint_activity(const LinearRow& c, std::span<const double> primals) noexcept;

// |activity − rhs| < 1e-6, whatever the sense.
bool is_binding(const LinearRow& c, std::span<const double> primals) noexcept;

struct WhyDetail {
  std::string variable;
  double value = 0.0;
  BoundStatus status = BoundStatus::Between;
  std::string explanation;
  // Binding constraints containing the variable: position and name (or "c{}").
  std::vector<std::pair<size_t, std::string>> binding_constraints;
};

// Both fail with DiagnosticError: "No solution available" without primals (or
// for an index beyond them), the missing-data message when `why` finds no
// model constraints, and an out-of-range message for an index the snapshot
// does not hold.
std::string why(const ResultData& result, size_t index);
WhyDetail why_detail(const ResultData& result, size_t index);

struct ShadowPrice {
  size_t position;
  std::string name;  // name or "c{}"
  double dual;
};

struct SensitivityReport {
  std::vector<ShadowPrice> shadow_prices;
  std::vector<ShadowPrice> most_impactful;  // at most 5, largest |dual| first, stable
  std::vector<std::pair<size_t, std::string>> active_constraints;
  std::vector<std::pair<std::string, BoundStatus>> variable_bounds;
};

// Never fails for missing data: absent duals or primals leave their lists empty.
SensitivityReport sensitivity(const ResultData& result);

}  // namespace pelora
