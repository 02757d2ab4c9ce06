// SLSQP gets the objective as a small Python function compiled from a fixed
// source text; the data reach it only through the globals dictionary (the
// symmetric Q as a sparse matrix, the cost vector), never through the text.
#include "python/solve/slsqp_adapter.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/model/form_cleanup.hpp"
#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"
#include "python/solve/arrays.hpp"
#include "python/solve/handoff.hpp"
#include "python/solve/solver_settings.hpp"

namespace pelora::py {

namespace {

// 0.5*x'Px over the full symmetric P (both triangles), so that an
// off-diagonal product c*x_i*x_j, stored once as c, counts for (i, j) and
// (j, i).
constexpr char kQuadraticSource[] = "lambda x: 0.5 * x @ P @ x + q @ x";
constexpr char kLinearSource[] = "lambda x: q @ x";
// Their exact gradients: without them SLSQP differences the objective
// numerically, which on badly scaled models stops it after one step.
constexpr char kQuadraticGradient[] = "lambda x: P @ x + q";
constexpr char kLinearGradient[] = "lambda x: q.copy()";

// A point SLSQP calls a solution must meet every bound and row this closely
// (relative to the side, absolute below magnitude 1); otherwise the run
// failed.
constexpr double kFeasibility = 1e-6;
// Optimality check of a point SLSQP calls a solution: a side counts as
// active within kAtSide (relative, absolute below magnitude 1), a reduced
// cost or dual as zero within kStationary relative to the terms it sums.
constexpr double kAtSide = 1e-6;
constexpr double kStationary = 1e-6;

// scipy's SLSQP exit modes: 0 converged, 9 the iteration cap; 2 to 8 are
// failures of the method (too many equality rows, subproblems it could not
// solve, a line search that found no descent). A mode scipy does not
// document stays "unknown".
SolveStatus slsqp_status(long mode) {
  if (mode == 0) return SolveStatus::Optimal;
  if (mode == 9) return SolveStatus::IterationLimit;
  if (mode >= 2 && mode <= 8) return SolveStatus::Error;
  return SolveStatus::Unknown;
}

Ref compile_objective(const char* source, PyObject* globals) {
  Ref code = check(Py_CompileString(source, "<string>", Py_eval_input));
  return check(PyEval_EvalCode(code.get(), globals, globals));
}

// The rows of the form whose `equality` flag (lower == upper) is `want`, as a
// matrix of their own with the rows renumbered in order, and their bounds.
// A row without entries that 0 satisfies constrains nothing and is left out:
// its zero gradient makes SLSQP's subproblems singular. So is a row with no
// finite side, which scipy would drop itself and then fail over.
struct RowGroup {
  CscMatrix a;
  std::vector<double> lower, upper;
  std::vector<size_t> origin;  // the form's row of each kept row
};

RowGroup select_rows(const StandardForm& f, bool want) {
  RowGroup g;
  std::vector<bool> has_entries(f.num_row, false);
  for (int32_t r : f.a_index) has_entries[static_cast<size_t>(r)] = true;
  std::vector<int32_t> renumber(f.num_row, -1);
  for (size_t r = 0; r < f.num_row; ++r) {
    if ((f.row_lower[r] == f.row_upper[r]) != want) continue;
    if (!has_entries[r] && f.row_lower[r] <= 0.0 && 0.0 <= f.row_upper[r]) continue;
    if (std::isinf(f.row_lower[r]) && std::isinf(f.row_upper[r])) continue;
    renumber[r] = static_cast<int32_t>(g.lower.size());
    g.lower.push_back(f.row_lower[r]);
    g.upper.push_back(f.row_upper[r]);
    g.origin.push_back(r);
  }
  g.a.rows = g.lower.size();
  g.a.cols = f.num_col;
  g.a.start.resize(f.num_col + 1);
  for (size_t j = 0; j < f.num_col; ++j) {
    g.a.start[j] = static_cast<int32_t>(g.a.index.size());
    for (int32_t k = f.a_start[j]; k < f.a_start[j + 1]; ++k) {
      const int32_t row = renumber[static_cast<size_t>(f.a_index[k])];
      if (row < 0) continue;
      g.a.index.push_back(row);
      g.a.value.push_back(f.a_value[k]);
    }
  }
  g.a.start[f.num_col] = static_cast<int32_t>(g.a.index.size());
  return g;
}

// Runs f() with scipy's "Unknown solver options" warning raised as an
// OptimizeWarning exception (only when `active`: without user settings the
// warning filters are left alone).
template <class F>
Ref with_unknown_options_refused(PyObject* optimize, bool active, F&& f) {
  if (!active) return f();
  Ref warnings = import_module("warnings");
  Ref guard = call_method(warnings.get(), "catch_warnings");
  call_method(guard.get(), "__enter__");
  struct Exit {
    PyObject* guard;
    ~Exit() {
      // Leaving the guard must not lose (or be confused by) a pending error.
      PyObject *t = nullptr, *v = nullptr, *b = nullptr;
      PyErr_Fetch(&t, &v, &b);
      Ref r = Ref::steal(PyObject_CallMethod(guard, "__exit__", "OOO", Py_None, Py_None, Py_None));
      if (!r) PyErr_Clear();
      PyErr_Restore(t, v, b);
    }
  } exit{guard.get()};
  Ref category = get_attr(optimize, "OptimizeWarning");
  call_method(warnings.get(), "filterwarnings", py_str("error").get(),
              py_str("Unknown solver options").get(), category.get());
  return f();
}

// minimize(x^2, [1.0], method="SLSQP", options={key: value}) with unknown
// options refused.
void probe_slsqp_setting(PyObject* optimize, PyObject* minimize, PyObject* key, PyObject* value) {
  Ref globals = check(PyDict_New());
  Ref fun = compile_objective("lambda x: float(x[0] * x[0])", globals.get());
  Ref x0 = check(Py_BuildValue("[d]", 1.0));
  Ref settings = check(PyDict_New());
  check_status(PyDict_SetItem(settings.get(), key, value));
  Ref kwargs = check(PyDict_New());
  dict_set(kwargs.get(), "method", py_str("SLSQP").get());
  dict_set(kwargs.get(), "options", settings.get());
  Ref args = check(PyTuple_Pack(2, fun.get(), x0.get()));
  with_unknown_options_refused(optimize, true, [&] {
    return check(PyObject_Call(minimize, args.get(), kwargs.get()));
  });
}

// The row duals from SLSQP's KKT multipliers, or nothing when they are not
// one per constraint scipy made. scipy lists the equality constraints
// first (c = Ax - b = 0, so d(objective)/d(b) = m), then the inequality
// ones, lower sides before upper sides, each in row order (c = Ax - lower
// >= 0 gives d/d(lower) = m; c = upper - Ax >= 0 gives d/d(upper) = -m).
std::optional<std::vector<double>> slsqp_form_duals(const StandardForm& f,
                                                    const RowGroup (&g)[2],
                                                    PyObject* multipliers) {
  std::vector<double> m;
  if (!ran_or_cleared([&] { m = read_floats(multipliers); })) return std::nullopt;
  const RowGroup& eq = g[0];
  const RowGroup& in = g[1];
  size_t lower_sides = 0, upper_sides = 0;
  for (size_t k = 0; k < in.lower.size(); ++k) {
    lower_sides += std::isinf(in.lower[k]) ? 0 : 1;
    upper_sides += std::isinf(in.upper[k]) ? 0 : 1;
  }
  if (m.size() != eq.origin.size() + lower_sides + upper_sides) return std::nullopt;
  std::vector<double> duals(f.num_row, 0.0);
  size_t pos = 0;
  for (size_t k = 0; k < eq.origin.size(); ++k) duals[eq.origin[k]] = m[pos++];
  for (size_t k = 0; k < in.origin.size(); ++k) {
    if (!std::isinf(in.lower[k])) duals[in.origin[k]] += m[pos++];
  }
  for (size_t k = 0; k < in.origin.size(); ++k) {
    if (!std::isinf(in.upper[k])) duals[in.origin[k]] -= m[pos++];
  }
  return duals;
}

// Whether x with the row duals y (d objective / d side, of the form's
// minimisation) meets the optimality conditions of the form: a row with a
// dual pushing on a side sits at that side, and every column's reduced cost
// g_j - sum_i a_ij y_i (g the objective's gradient) is zero, or of the sign
// its active bound allows. SLSQP stops on a small change of the objective,
// which on a badly scaled LP happens at points that are feasible but far
// from optimal; this tells them apart.
bool stationary_at(const StandardForm& f, const std::vector<double>& x,
                   const std::vector<double>& y) {
  const size_t n = f.num_col;
  if (x.size() != n || y.size() != f.num_row) return false;
  std::vector<double> gradient(f.col_cost.begin(), f.col_cost.end());
  std::vector<double> scale(n, 0.0);  // magnitude of the terms summed per column
  for (size_t j = 0; j < n; ++j) scale[j] = std::fabs(gradient[j]);
  if (f.hessian) {
    const CscMatrix p = full_hessian(f);
    for (size_t j = 0; j < n; ++j) {
      for (int32_t k = p.start[j]; k < p.start[j + 1]; ++k) {
        const double term = p.value[k] * x[static_cast<size_t>(p.index[k])];
        gradient[j] += term;
        scale[j] += std::fabs(term);
      }
    }
  }
  std::vector<double> activity(f.num_row, 0.0);
  for (size_t j = 0; j < n; ++j) {
    for (int32_t k = f.a_start[j]; k < f.a_start[j + 1]; ++k) {
      const size_t r = static_cast<size_t>(f.a_index[k]);
      const double term = f.a_value[k] * y[r];
      gradient[j] -= term;
      scale[j] += std::fabs(term);
      activity[r] += f.a_value[k] * x[j];
    }
  }
  auto at = [](double v, double side) {
    return std::isfinite(side) && std::fabs(v - side) <= kAtSide * std::max(1.0, std::fabs(side));
  };
  double largest = 0.0;
  for (double v : y) largest = std::max(largest, std::fabs(v));
  for (size_t r = 0; r < f.num_row; ++r) {
    const double zero = kStationary * (1.0 + largest);
    if (y[r] < -zero && !at(activity[r], f.row_upper[r])) return false;
    if (y[r] > zero && !at(activity[r], f.row_lower[r])) return false;
  }
  for (size_t j = 0; j < n; ++j) {
    const double zero = kStationary * (1.0 + scale[j]);
    if (gradient[j] > zero && !at(x[j], f.col_lower[j])) return false;
    if (gradient[j] < -zero && !at(x[j], f.col_upper[j])) return false;
  }
  return true;
}

}  // namespace

int64_t slsqp_maxiter(double time_limit) {
  const double v = std::trunc(time_limit * 100.0);
  if (std::isnan(v)) return 0;
  // SLSQP keeps its iteration cap in a C int: a larger count would wrap
  // around (2^31 becomes a negative cap) and stop the run before its first
  // iteration, so the cap is clamped to the 32-bit range.
  constexpr auto kMax = std::numeric_limits<int32_t>::max();
  constexpr auto kMin = std::numeric_limits<int32_t>::min();
  if (v >= static_cast<double>(kMax)) return kMax;
  if (v <= static_cast<double>(kMin)) return kMin;
  return static_cast<int64_t>(v);
}

AdapterOutcome solve_with_slsqp(const StandardForm& f, const ModelData& model,
                                const Options& options) {
  const SolveOptions& o = options.core;
  refuse_cones(f, "SLSQP", "solve without naming a solver (cones go to Clarabel)");
  refuse_nonlinear(model, "SLSQP", "use solver=\"ipopt\"");
  refuse_nan_bounds(f, model);
  double t0 = perf_counter();
  if (impossible_bounds(f, model)) return infeasible_without_solving("SciPy/SLSQP", t0);
  Ref optimize = import_module("scipy.optimize");
  const SparseHandoff h;
  t0 = perf_counter();  // the packages' imports are not part of the run

  Ref x0 = h.array(start_point(f));
  Ref lb = h.array(lower_bounds(f.col_lower));
  Ref ub = h.array(upper_bounds(f.col_upper));
  Ref bounds = call_method(optimize.get(), "Bounds", lb.get(), ub.get());

  Ref kwargs = check(PyDict_New());
  dict_set(kwargs.get(), "method", py_str("SLSQP").get());
  dict_set(kwargs.get(), "bounds", bounds.get());
  // Equality and inequality rows go in separate LinearConstraint objects,
  // which SLSQP handles as its two constraint kinds.
  Ref list = check(PyList_New(0));
  RowGroup groups[2];  // equality rows, inequality rows
  if (f.num_row > 0) {
    for (const bool equality : {true, false}) {
      RowGroup& g = groups[equality ? 0 : 1];
      g = select_rows(f, equality);
      if (g.lower.empty()) continue;
      Ref a = h.csc(g.a);
      Ref rl = h.array(g.lower), ru = h.array(g.upper);
      Ref constraint = call_method(optimize.get(), "LinearConstraint", a.get(), rl.get(), ru.get());
      check_status(PyList_Append(list.get(), constraint.get()));
    }
  }
  if (PyList_Size(list.get()) > 0) dict_set(kwargs.get(), "constraints", list.get());
  if (o.time_limit || has_settings(options)) {
    Ref settings = check(PyDict_New());
    if (o.time_limit) {
      Ref maxiter = check(PyLong_FromLongLong(slsqp_maxiter(*o.time_limit)));
      dict_set(settings.get(), "maxiter", maxiter.get());
    }
    merge_settings(options, settings.get());
    dict_set(kwargs.get(), "options", settings.get());
  }

  Ref globals = check(PyDict_New());
  Ref q = h.array(f.col_cost);
  dict_set(globals.get(), "q", q.get());
  Ref fun, jac;
  if (f.hessian) {
    Ref p = h.csc(full_hessian(f));
    dict_set(globals.get(), "P", p.get());
    dict_set(globals.get(), "np", h.numpy());
    fun = compile_objective(kQuadraticSource, globals.get());
    jac = compile_objective(kQuadraticGradient, globals.get());
  } else {
    fun = compile_objective(kLinearSource, globals.get());
    jac = compile_objective(kLinearGradient, globals.get());
  }
  dict_set(kwargs.get(), "jac", jac.get());

  Ref minimize = get_attr(optimize.get(), "minimize");
  Ref args = check(PyTuple_Pack(2, fun.get(), x0.get()));
  Ref res = call_blaming(
      "SciPy/SLSQP", options,
      [&] {
        return with_unknown_options_refused(optimize.get(), has_settings(options), [&] {
          return check(PyObject_Call(minimize.get(), args.get(), kwargs.get()));
        });
      },
      [&](PyObject* k, PyObject* v) { probe_slsqp_setting(optimize.get(), minimize.get(), k, v); });
  AdapterOutcome out;
  ResultData& r = out.data;
  r.solve_time = perf_counter() - t0;
  r.solver = "SciPy/SLSQP";

  Ref success = get_attr(res.get(), "success");
  const int ok = PyObject_IsTrue(success.get());
  if (ok < 0) throw_already_set();
  long mode = ok ? 0 : -2;
  if (Ref code = attr_or_null(res.get(), "status")) {
    const long m = PyLong_AsLong(code.get());
    if (m == -1 && PyErr_Occurred()) {
      PyErr_Clear();
    } else {
      mode = m;
    }
  }
  r.status = ok ? SolveStatus::Optimal : slsqp_status(mode == 0 ? -2 : mode);
  // SLSQP always reports its last point; a failed run says so by its status,
  // and so does a "solution" that breaks a bound or a row.
  Ref x = get_attr(res.get(), "x");
  r.primals = read_floats(x.get());
  // Multipliers of a run that did not converge price nothing.
  std::optional<std::vector<double>> duals;
  if (r.status == SolveStatus::Optimal) {
    if (Ref m = attr_or_null(res.get(), "multipliers")) duals = slsqp_form_duals(f, groups, m.get());
  }
  if (r.status == SolveStatus::Optimal && !feasible_at(f, *r.primals, kFeasibility)) {
    r.status = SolveStatus::Error;
    write_stderr("[pelora-opt] warning: SLSQP reported success at a point that breaks a bound or "
                 "a row; status 'error'\n");
  } else if (r.status == SolveStatus::Optimal && duals && !stationary_at(f, *r.primals, *duals)) {
    r.status = SolveStatus::Unknown;
    write_stderr("[pelora-opt] warning: SLSQP reported success at a point that does not meet the "
                 "optimality conditions (its steps stalled); status 'unknown'\n");
  } else if (r.status != SolveStatus::Optimal) {
    std::string message = "no message";
    if (Ref text = attr_or_null(res.get(), "message")) {
      if (Ref str = Ref::steal(PyObject_Str(text.get()))) {
        Py_ssize_t n = 0;
        if (const char* c = PyUnicode_AsUTF8AndSize(str.get(), &n)) message.assign(c, static_cast<size_t>(n));
      }
      PyErr_Clear();
    }
    write_stderr("[pelora-opt] warning: SLSQP stopped (exit mode " + std::to_string(mode) +
                 "): " + message + "; status '" + status_text(r.status) + "'\n");
  }
  Ref fun_value = get_attr(res.get(), "fun");
  r.objective = f.model_objective(to_double(fun_value.get()));
  r.iterations = count_or_zero(attr_or_null(res.get(), "nit").get());
  if (r.status == SolveStatus::Optimal && duals) r.duals = model_duals(f, std::move(*duals));
  return out;
}

}  // namespace pelora::py
