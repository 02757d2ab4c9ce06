// The model record owned by a Model; every later stage (exports, standard
// form, solving, diagnostics) reads it.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "core/expr/constraint.hpp"

namespace pelora {

enum class VarKind : uint8_t { Continuous = 0, Integer = 1, Binary = 2 };

struct VarRecord {
  std::string name;
  VarIndex index;
  double lower;
  double upper;
  VarKind kind;
};

// Linear, quadratic (even with no quadratic term) or nonlinear (at least one
// nonlinear term).
using Objective = std::variant<Expr, QuadExpr, NlExpr>;

enum class ProblemType : uint8_t { LP = 0, MILP = 1, QP = 2, MIQP = 3, NLP = 4 };

struct ModelData {
  std::optional<Objective> objective;
  std::string name = "model";
  std::vector<VarRecord> variables;
  std::unordered_map<std::string, VarIndex> name_to_index;
  std::vector<LinearConstraint> constraints;
  std::vector<NonlinearConstraint> nl_constraints;
  std::vector<std::vector<VarIndex>> soc_cones;  // head first
  std::vector<std::vector<VarIndex>> psd_cones;  // upper triangle, column-major
  bool maximize = false;
};

}  // namespace pelora
