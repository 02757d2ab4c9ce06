// Optional clean-ups of a standard form before it is handed to a solver:
// tiny bounds snapped to zero, and rows that can never be violated removed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/model/standard_form.hpp"

namespace pelora {

// Below this magnitude a finite column or row bound is replaced by 0.0.
inline constexpr double kTinyBound = 1e-9;
// Relative margin by which an activity bound must clear a row bound before
// that side of the row counts as redundant.
inline constexpr double kRedundancyMargin = 1e-7;

// At this magnitude a bound is infinite to every solver package used here
// (HiGHS and SCIP take 1e20 as their infinity).
inline constexpr double kSolverInfinity = 1e20;

// Sets every bound (columns and rows) of magnitude below kTinyBound to 0.0.
void clean_tiny_bounds(StandardForm& f);

// Makes every bound (columns and rows) of magnitude kSolverInfinity or more
// infinite with its sign, so that every solver reads such a side alike: a
// lower side of +inf or an upper side of -inf is one no point meets, and
// the other way round the side constrains nothing.
void widen_infinite_bounds(StandardForm& f);

// Removes the rows whose activity range over the column bounds lies strictly
// inside their bounds (both sides redundant). Returns the original index of
// every kept row, in order; the form is rebuilt only when a row was removed.
std::vector<uint32_t> eliminate_redundant_rows(StandardForm& f);

// Duals of the reduced form spread back onto the original rows: a removed
// row gets 0.0. `kept` is what eliminate_redundant_rows returned. Entries
// beyond the kept rows (duals of variable-bound rows that some solvers add
// after the model rows) follow the original rows unchanged.
std::vector<double> expand_row_duals(const std::vector<double>& duals,
                                     const std::vector<uint32_t>& kept, size_t original_rows);

// True when the value of every integer column (integrality != 0) is within
// `tol` of an integer.
bool integral_at(const std::vector<int32_t>& integrality, const std::vector<double>& x, double tol);
// Rounds the values of the integer columns to the nearest integer (halves
// away from zero).
void round_integer_columns(const std::vector<int32_t>& integrality, std::vector<double>& x);

// True when `x` meets every column bound and every row of the form within
// `rel_tol` relative to the bound (an absolute `rel_tol` below magnitude 1).
bool feasible_at(const StandardForm& f, const std::vector<double>& x, double rel_tol);

// The form's objective c'x + 0.5 x'Qx (without offset) at `x`, the Hessian
// read as its stored upper triangle of a symmetric Q.
double form_objective_at(const StandardForm& f, const std::vector<double>& x);

}  // namespace pelora
