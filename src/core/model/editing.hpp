// Changing a model record after it was built. The binding layer writes a
// ModelData only through the building steps of building.hpp (add_variable,
// add_variables, set_batch_bounds, add_constraint, add_linear_constraints,
// add_soc_cone, add_psd_cone) and the functions below:
//
//   identity     init_identity, copied_model, owns / check_owner
//   rows         add_constraint (building.hpp) hands out a row id;
//                row_position maps an id to the row's current position
//   variables    set_variable_bounds, fix_variable, unfix_variable,
//                set_variable_kind
//   constraints  set_constraint_rhs, set_coefficient, remove_constraint
//   objective    set_objective
//
// Each checks everything first and throws EditError (nothing changed) for a
// bad edit, so a failed call leaves the record as it was. Positions shift
// when a row is removed; row ids never do. A Result's snapshot shares the
// record's storage copy-on-write (shared_vector.hpp, linear_rows.hpp): an
// edit while it is shared copies first, so no edit shows through it.
#pragma once
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/model/model_data.hpp"

namespace pelora {

// A refused edit (NaN, a bound outside a binary's [0, 1], a row that is not
// there). The Python layer raises it as ValueError.
class EditError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A model id never handed out before in this or (with overwhelming
// probability) any other process: ids travel with pickled expressions.
ModelId new_model_id();
// Gives a fresh record its own id (its names carry it).
void init_identity(ModelData& m);
// A copy of `src` with an id of its own, whose origin is `src`.
ModelData copied_model(const ModelData& src);

// True when variables of model `owner` with indices below `index_end` are
// this record's own (or its origin's, which it holds under the same indices).
bool owns(const ModelData& m, ModelId owner, size_t index_end) noexcept;
// Throws ForeignVariable (naming `var`) unless owns(m, owner, index_end).
void check_owner(const ModelData& m, ModelId owner, size_t index_end, std::optional<VarIndex> var);
// One past the largest variable index of an expression or constraint (0
// when it has no variable).
size_t index_end(const Expr& e);
size_t index_end(const QuadExpr& q);
size_t index_end(const NlExpr& n);
size_t index_end(const ConstraintRecord& c);
// The owner of a stored value and one of its variables, for check_owner.
ModelId owner_of(const ConstraintRecord& c);
inline ModelId owner_of_value(const Expr& e) { return e.owner; }
inline ModelId owner_of_value(const QuadExpr& q) { return q.linear.owner; }
inline ModelId owner_of_value(const NlExpr& n) { return n.linear.owner; }
std::optional<VarIndex> some_variable(const QuadExpr& q);
std::optional<VarIndex> some_variable(const NlExpr& n);

// Which of the two constraint lists a row lives in.
enum class RowKind : uint8_t { Linear = 0, Nonlinear = 1 };

// The current position of row `id`, or none when it was removed.
std::optional<size_t> row_position(const ModelData& m, RowKind kind, uint64_t id);

// Bounds as given (lower > upper is kept, as at creation, and reported by
// validate); NaN is refused, and a binary's bounds must lie in [0, 1].
// Clears a fix.
void set_variable_bounds(ModelData& m, VarIndex i, double lower, double upper);
// Both bounds to `value`, remembering the previous ones for unfix.
void fix_variable(ModelData& m, VarIndex i, double value);
// The bounds before the last fix; nothing for a variable that is not fixed.
void unfix_variable(ModelData& m, VarIndex i);
// A binary gets bounds [0, 1]; a binary turned continuous or integer keeps
// its [0, 1] bounds.
void set_variable_kind(ModelData& m, VarIndex i, VarKind kind);

void set_constraint_rhs(ModelData& m, RowKind kind, size_t pos, double rhs);
// The coefficient of variable `var` in linear row `pos` (0 removes the term).
void set_coefficient(ModelData& m, size_t pos, VarIndex var, double value);
// Drops the row; later rows move up by one position.
void remove_constraint(ModelData& m, RowKind kind, size_t pos);

void set_objective(ModelData& m, Objective objective, bool maximize);

}  // namespace pelora
