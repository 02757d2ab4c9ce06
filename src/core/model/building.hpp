// Building steps of a model record: variables (single and batch), stored
// copies of constraints and objectives, cone size checks. The Python Model
// converts and checks its arguments first and then calls these under its lock.
#pragma once
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/model_data.hpp"

namespace pelora {

// Indices are 32-bit; the largest model holds this many variables.
inline constexpr size_t kMaxVariables = std::numeric_limits<VarIndex>::max();

// True when `count` more variables still fit the index range.
inline bool variables_fit(const ModelData& m, size_t count) noexcept {
  return count <= kMaxVariables - m.variables.size();
}

// Appends one variable and returns its index. The newest variable of a name
// is the one ModelData::find_variable finds; binaries always get bounds [0, 1].
VarIndex add_variable(ModelData& m, std::string name, double lower, double upper, VarKind kind);

// Makes room for `count` more variables (strong guarantee: on failure the
// record is unchanged).
void reserve_variables(ModelData& m, size_t count);

// Appends `count` variables named prefix_0, prefix_1, ... and returns the
// index of the first. The names are one shared block, made when asked for.
VarIndex add_variables(ModelData& m, std::string_view prefix, size_t count, double lower,
                       double upper, VarKind kind);

// Stored copies: exactly sized, private term storage (a stored nonzero costs
// one Term), so the model never shares a growing buffer with user values.
ConstraintRecord stored_constraint(const ConstraintRecord& c, std::optional<std::string> name);
Objective stored_objective(Objective o);

// Appends a constraint record to the list of its kind and returns the row's
// id (see editing.hpp: row_position).
uint64_t add_constraint(ModelData& m, ConstraintRecord c);
// Appends linear rows at once; returns the position of the first.
size_t add_linear_constraints(ModelData& m, LinearRows rows);

// Appends a cone (entries checked by the caller) and returns its position.
size_t add_soc_cone(ModelData& m, std::vector<VarIndex> entries);
size_t add_psd_cone(ModelData& m, std::vector<VarIndex> entries);
// Per-variable bounds of a batch just added from index `first` (either may be null).
void set_batch_bounds(ModelData& m, VarIndex first, const std::vector<double>* lowers,
                      const std::vector<double>* uppers);

// Cone sizes: a second-order cone needs a head and at least one more entry;
// a PSD cone takes n = d(d+1)/2 entries for some d >= 1 (returns d).
inline bool soc_size_ok(size_t n) noexcept { return n >= 2; }
std::optional<size_t> psd_dimension(size_t n) noexcept;

}  // namespace pelora
