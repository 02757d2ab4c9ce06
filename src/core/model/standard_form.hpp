// The solver-neutral record every solve path starts from: a minimisation over
// columns (one per variable) and rows (one per linear constraint), with the
// constraint matrix and the Hessian in compressed sparse column form. The
// constraint matrix may instead stay the model's own row arena, lent
// row-wise (MatrixForm::LentRows), for a solver that takes rows as they are.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/model/model_data.hpp"

namespace pelora {

// Upper triangle (row <= column) of the symmetric Q with 0.5*x'Qx equal to
// the objective's quadratic part: c*x_i^2 gives Q_ii = 2c, c*x_i*x_j (i != j)
// gives Q_ij = c, with (i, j) and (j, i) merged onto (min, max).
struct Hessian {
  std::vector<int32_t> q_start;  // num_col + 1
  std::vector<int32_t> q_index;  // row of each entry, ascending within a column
  std::vector<double> q_value;

  size_t nnz() const noexcept { return q_value.size(); }
};

// How build_standard_form hands over the constraint matrix.
enum class MatrixForm : uint8_t {
  Columns,   // a_start/a_index/a_value, built at their final size
  LentRows,  // the model's rows lent as they lie, when their arena is packed
};

struct StandardForm {
  size_t num_col = 0;
  size_t num_row = 0;
  // The constraint matrix column-wise; empty while the rows are lent.
  std::vector<int32_t> a_start;  // num_col + 1
  std::vector<int32_t> a_index;  // row indices, strictly ascending within a column
  std::vector<double> a_value;
  // The constraint matrix row-wise, lent instead: the model's packed arena
  // (this copy shares its storage, so the model's next edit copies rather
  // than changing what the form reads) and the rows' starts, num_row + 1.
  // Row r holds entries [row_start[r], row_start[r + 1]) of
  // lent_rows->all_indices() / all_values(), in the order the model keeps.
  std::optional<LinearRows> lent_rows;
  std::vector<int32_t> row_start;
  std::vector<double> col_lower, col_upper, col_cost;
  std::vector<double> row_lower, row_upper;
  std::vector<int32_t> integrality;  // 1 integer or binary, 0 continuous
  std::vector<std::vector<VarIndex>> soc_cones;
  std::vector<std::vector<VarIndex>> psd_cones;
  std::optional<Hessian> hessian;  // only for a quadratic objective
  double offset = 0.0;             // objective constant, sign-adjusted
  bool maximize = false;           // the record is the negated maximisation

  size_t nnz() const noexcept { return lent_rows ? lent_rows->nonzeros() : a_value.size(); }
  bool lends_rows() const noexcept { return lent_rows.has_value(); }
  // The lent column indices as HiGHS's int32 (every index is below num_col,
  // which is at most INT32_MAX); empty unless the rows are lent.
  std::span<const int32_t> lent_indices() const noexcept;
  std::span<const double> lent_values() const noexcept;
  bool has_integer() const noexcept;
  // Frees the constraint matrix (or gives the lent rows back) and the column
  // vectors (costs and bounds)
  // once a solver holds its own copy and nothing later reads them; sizes,
  // rows, integrality, the Hessian, cones and the objective's sign and
  // offset stay. A large model then does not sit in memory twice while the
  // solver runs.
  void release_columns() noexcept;
  // The model's own objective value from the value of this minimisation
  // (without offset) as a solver reports it.
  double model_objective(double solver_value) const noexcept {
    const double v = solver_value + offset;
    return maximize ? -v : v;
  }
};

// A model the standard form cannot describe: a variable index at or beyond
// the model's variable count (a Var taken from another model) or a NaN
// coefficient. The Python layer raises it as ValueError.
class InvalidModel : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Fails with InvalidModel when a constraint (linear or nonlinear), the
// objective or a cone refers to a variable the model does not have.
void check_variable_indices(const ModelData& model);

// Builds the standard form of `model` (checking indices first). Every vector
// is allocated once at its final size. A NaN coefficient in a constraint or
// the objective fails with InvalidModel (solvers would silently drop it or
// report a NaN optimum); NaN bounds are left to the solver, which refuses them.
// With MatrixForm::LentRows the rows are lent when the model's arena is
// packed (LinearRows::pack), and built column-wise otherwise.
StandardForm build_standard_form(const ModelData& model, MatrixForm matrix = MatrixForm::Columns);

// The column-wise matrix of a form whose rows are lent, built from them (the
// loan then ends); nothing for a form that has its columns already. The
// matrix is the one MatrixForm::Columns builds.
void build_columns(StandardForm& f);

// The same symmetric matrix stored by its lower triangle (row >= column),
// column-wise, as HiGHS's triangular Hessian format expects.
Hessian lower_triangle(const Hessian& upper, size_t num_col);

ProblemType classify_problem(const ModelData& model);
const char* problem_type_text(ProblemType t);

}  // namespace pelora
