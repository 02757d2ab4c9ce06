// The solver-neutral record every solve path starts from: a minimisation over
// columns (one per variable) and rows (one per linear constraint), with the
// constraint matrix and the Hessian in compressed sparse column form.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/model/model_data.hpp"
#include "core/uninit_vector.hpp"

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

struct StandardForm {
  size_t num_col = 0;
  size_t num_row = 0;
  std::vector<int32_t> a_start;  // num_col + 1
  // Sized, then written by the transpose's scatter: no zero fill first.
  UninitVector<int32_t> a_index;  // row indices, strictly ascending within a column
  UninitVector<double> a_value;
  std::vector<double> col_lower, col_upper, col_cost;
  std::vector<double> row_lower, row_upper;
  std::vector<int32_t> integrality;  // 1 integer or binary, 0 continuous
  std::vector<std::vector<VarIndex>> soc_cones;
  std::vector<std::vector<VarIndex>> psd_cones;
  std::optional<Hessian> hessian;  // only for a quadratic objective
  double offset = 0.0;             // objective constant, sign-adjusted
  bool maximize = false;           // the record is the negated maximisation

  size_t nnz() const noexcept { return a_value.size(); }
  bool has_integer() const noexcept;
  // Frees the constraint matrix, the column vectors (costs and bounds) and
  // the row bounds once a solver holds its own copy and nothing later reads
  // them; sizes, integrality, the Hessian, cones and the objective's sign
  // and offset stay. A large model then does not sit in memory twice while
  // the solver runs. An all-zero integrality goes too: an empty one says the
  // same (has_integer() is false, no column is rounded). The row bounds of a
  // form without columns stay: a solver leaves such a model unsolved, and
  // they alone decide it.
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
StandardForm build_standard_form(const ModelData& model);

// The same symmetric matrix stored by its lower triangle (row >= column),
// column-wise, as HiGHS's triangular Hessian format expects.
Hessian lower_triangle(const Hessian& upper, size_t num_col);

ProblemType classify_problem(const ModelData& model);
const char* problem_type_text(ProblemType t);

}  // namespace pelora
