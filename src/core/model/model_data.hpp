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
#include "core/model/var_names.hpp"

namespace pelora {

enum class VarKind : uint8_t { Continuous = 0, Integer = 1, Binary = 2 };

// The name lives in ModelData::var_names (var_name(i)); a record is 24 bytes.
struct VarRecord {
  VarIndex index;
  VarKind kind;
  double lower;
  double upper;
};

// Linear, quadratic (even with no quadratic term) or nonlinear (at least one
// nonlinear term).
using Objective = std::variant<Expr, QuadExpr, NlExpr>;

enum class ProblemType : uint8_t { LP = 0, MILP = 1, QP = 2, MIQP = 3, NLP = 4 };

struct ModelData {
  std::optional<Objective> objective;
  std::string name = "model";
  std::vector<VarRecord> variables;
  VarNames var_names;  // the names of `variables`, by index
  // Name -> newest variable of that name; filled on the first lookup (and
  // brought up to date by later ones), never while building.
  mutable std::unordered_map<std::string, VarIndex> name_to_index;
  mutable size_t names_indexed = 0;  // variables already entered in name_to_index
  std::vector<LinearConstraint> constraints;
  std::vector<NonlinearConstraint> nl_constraints;
  std::vector<std::vector<VarIndex>> soc_cones;  // head first
  std::vector<std::vector<VarIndex>> psd_cones;  // upper triangle, column-major
  bool maximize = false;

  // Identity (core/model/editing.hpp): `id` is this record's own model id,
  // carried by its variables and expressions. A record copied from another
  // (Model.copy, unpickling) names that model as `origin` and accepts its
  // first `origin_vars` variables, which it holds under the same indices.
  ModelId id = kNoModel;
  ModelId origin = kNoModel;
  size_t origin_vars = 0;
  uint64_t origin_next_row = 0;  // the origin's rows below this id are held here
  // Stable handles of the rows, ascending, one per entry of `constraints` /
  // `nl_constraints` (a handle keeps naming its row when earlier rows go).
  std::vector<uint64_t> row_ids;
  std::vector<uint64_t> nl_row_ids;
  uint64_t next_row_id = 1;
  // The bounds a variable had before Var.fix(), restored by unfix().
  std::unordered_map<VarIndex, std::pair<double, double>> fixed_bounds;

  // The name of variable i (i < variables.size()).
  std::string var_name(size_t i) const { return var_names[i]; }
  // The newest variable named `name`, if any.
  std::optional<VarIndex> find_variable(const std::string& name) const;
};

}  // namespace pelora
