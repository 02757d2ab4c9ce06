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
#include "core/model/linear_rows.hpp"
#include "core/model/shared_vector.hpp"
#include "core/model/var_names.hpp"

namespace pelora {

enum class VarKind : uint8_t { Continuous = 0, Integer = 1, Binary = 2 };

// A model a record was copied from: its variables below `vars` and its rows
// with ids below `next_row` are this record's too.
struct ModelOrigin {
  ModelId id;
  uint64_t vars;
  uint64_t next_row;
};
inline constexpr size_t kMaxOrigins = 8;

// True when variables of `owner` below index `end` belong to a record with
// id `self` copied from `origins`.
inline bool owns_variables(ModelId self, const std::vector<ModelOrigin>& origins, ModelId owner,
                           size_t end) noexcept {
  if (end == 0 || owner == self || owner == kNoModel) return true;
  for (const ModelOrigin& o : origins)
    if (o.id == owner) return end <= o.vars;
  return false;
}
// Likewise for the row with id `row` of model `owner`.
inline bool owns_row(ModelId self, const std::vector<ModelOrigin>& origins, ModelId owner,
                     uint64_t row) noexcept {
  if (owner == self) return true;
  for (const ModelOrigin& o : origins)
    if (o.id == owner) return row < o.next_row;
  return false;
}

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
  // Variables, rows and row ids are shared with the snapshots of Results
  // and with copied models until either side edits them (shared_vector.hpp).
  SharedVector<VarRecord> variables;
  VarNames var_names;  // the names of `variables`, by index
  // Name -> newest variable of that name; filled on the first lookup (and
  // brought up to date by later ones), never while building.
  mutable std::unordered_map<std::string, VarIndex> name_to_index;
  mutable size_t names_indexed = 0;  // variables already entered in name_to_index
  LinearRows constraints;  // one arena for every linear row (linear_rows.hpp)
  std::vector<NonlinearConstraint> nl_constraints;
  std::vector<std::vector<VarIndex>> soc_cones;  // head first
  std::vector<std::vector<VarIndex>> psd_cones;  // upper triangle, column-major
  bool maximize = false;

  // Identity (core/model/editing.hpp): `id` is this record's own model id,
  // carried by its variables and expressions. A record copied from another
  // (Model.copy, unpickling) lists that model and the models it came from in
  // turn as `origins` and accepts their variables and row handles as they
  // were at the copy, which it holds under the same indices and row ids.
  ModelId id = kNoModel;
  std::vector<ModelOrigin> origins;  // nearest last, at most kMaxOrigins
  // Stable handles of the rows, ascending, one per entry of `constraints` /
  // `nl_constraints` (a handle keeps naming its row when earlier rows go).
  SharedVector<uint64_t> row_ids;
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
