// Pieces the OSQP, Clarabel, Ipopt and SLSQP adapters share: matrices built
// in C++ and handed to scipy.sparse in one constructor call each, writable
// NumPy arrays over copies of C++ vectors, the common start point, and the
// checks that keep an adapter from solving a different problem than the
// model states (cones or nonlinear terms it cannot see).
#pragma once
#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/model/model_data.hpp"
#include "core/model/standard_form.hpp"
#include "python/runtime/ref.hpp"
#include "python/solve/adapter.hpp"

namespace pelora::py {

// A compressed-sparse-column matrix assembled on the C++ side for one
// hand-off; row indices ascend within each column.
struct CscMatrix {
  size_t rows = 0, cols = 0;
  std::vector<int32_t> start;  // cols + 1
  std::vector<int32_t> index;
  std::vector<double> value;
};

// numpy and scipy.sparse, imported once per adapter call, with the two
// constructors the adapters use.
class SparseHandoff {
 public:
  SparseHandoff();  // imports numpy and scipy.sparse

  PyObject* numpy() const noexcept { return np_.get(); }
  PyObject* sparse() const noexcept { return sparse_.get(); }

  // Writable one-dimensional arrays holding a copy of `v` (one block copy
  // into a bytearray the array keeps alive). Writable, because packages may
  // sort or canonicalise the arrays of a matrix in place.
  Ref array(std::span<const double> v) const;
  Ref array(std::span<const int32_t> v) const;

  // scipy.sparse.csc_matrix((value, index, start), shape=(rows, cols)).
  Ref csc(std::span<const int32_t> start, std::span<const int32_t> index,
          std::span<const double> value, size_t rows, size_t cols) const;
  Ref csc(const CscMatrix& m) const { return csc(m.start, m.index, m.value, m.rows, m.cols); }

  // The constraint matrix of the form, shape (num_row, num_col).
  Ref constraint_matrix(const StandardForm& f) const;
  // The Hessian's stored upper triangle, shape (num_col, num_col); an empty
  // matrix of that shape when the form has none.
  Ref hessian_upper(const StandardForm& f) const;

 private:
  Ref make(const void* data, size_t bytes, PyObject* dtype) const;
  Ref np_, sparse_, frombuffer_, float64_, int32_, csc_matrix_;
};

// The whole symmetric Q (both triangles) from the form's upper triangle, so
// that 0.5*x'Qx counts every off-diagonal product for (i, j) and (j, i).
// Empty (no entries) when the form has no Hessian.
CscMatrix full_hessian(const StandardForm& f);

// The start point of the nonlinear adapters: per column the mean of the
// lower bound (0 when not finite) and the upper bound (that lower value + 1
// when not finite).
std::vector<double> start_point(const StandardForm& f);

// Copies of bound vectors with every non-finite lower value as -infinity and
// every non-finite upper value as +infinity (a NaN bound becomes infinite).
std::vector<double> lower_bounds(std::span<const double> v);
std::vector<double> upper_bounds(std::span<const double> v);

// True when any nonlinear constraint or the objective has a nonlinear term.
bool has_nonlinear_terms(const ModelData& m);

// ValueError before anything is solved when the model has cones (or
// nonlinear terms) that the adapter named `display` would silently drop,
// answering a different problem. `hint` names the solver to use instead.
void refuse_cones(const StandardForm& f, const char* display, const char* hint);
void refuse_nonlinear(const ModelData& m, const char* display, const char* hint);

// ValueError before anything is solved when a variable bound, a row bound or
// a nonlinear constraint's right-hand side is NaN: solvers would drop such a
// constraint or wander off with it and still report an answer.
void refuse_nan_bounds(const StandardForm& f, const ModelData& m);

// True when some pair of bounds can never be met: a variable or linear row
// whose lower side is above its upper side, is +infinity, or whose upper side
// is -infinity (`x >= inf`, `x == inf`), or a nonlinear constraint `<= -inf`,
// `>= inf` or `== +-inf`. Packages refuse such data with opaque errors, or
// drop the infinite side and answer a different problem. A form from
// standard_form_of has every side beyond kSolverInfinity made infinite
// already; a nonlinear right-hand side beyond it counts as infinite here.
bool impossible_bounds(const StandardForm& f, const ModelData& m);
// The same test over one set of (lower, upper) pairs.
bool bounds_never_met(std::span<const double> lower, std::span<const double> upper);

// The outcome for a model with impossible bounds, found without calling the
// package: "infeasible", no values, no iterations.
AdapterOutcome infeasible_without_solving(const char* display, double t0);

// A time limit for packages that refuse one at or below zero (OSQP, Ipopt):
// such a limit leaves no time, so the smallest positive number goes over
// and the package stops at once with its time-limit status, as Clarabel,
// SCIP and HiGHS do with 0. Positive and NaN limits go over unchanged.
double positive_time_limit(double seconds);

// Dictionary helpers for keyword arguments and settings.
void dict_set(PyObject* dict, const char* key, PyObject* value);

// A float read from `o` (which may be a NumPy scalar or a 1x1 matrix with
// __float__); raises on failure.
double to_double(PyObject* o);
// An iteration counter: the integer value of `o`, or 0 when it is missing,
// not an integer or out of range (the failure is discarded).
uint64_t count_or_zero(PyObject* o);
// The attribute `name` of `o`, or null when it cannot be read (discarded).
Ref attr_or_null(PyObject* o, const char* name);

}  // namespace pelora::py
