#include "python/solve/solver_settings.hpp"
#include "python/solve/scip_adapter.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/model/descent_ray.hpp"
#include "core/model/form_cleanup.hpp"
#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"
#include "python/solve/arrays.hpp"
#include "python/solve/handoff.hpp"
#include "python/solve/interrupt.hpp"
#include "python/solve/nl_scip.hpp"

namespace pelora::py {

namespace {

// SCIP's own limits for the thread parameters.
constexpr uint32_t kMaxScipThreads = 64;
// SCIP_STAGE_PRESOLVING: from here on the solving statistics exist.
constexpr uint64_t kStagePresolving = 5;

struct Keyword {
  const char* name;
  PyObject* value;  // borrowed
};

// callable(*args, **keywords).
Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args,
            std::initializer_list<Keyword> keywords) {
  Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
  Py_ssize_t i = 0;
  for (PyObject* a : args) {
    Py_INCREF(a);
    PyTuple_SetItem(tuple.get(), i++, a);  // steals the new reference
  }
  Ref kw = check(PyDict_New());
  for (const Keyword& k : keywords) check_status(PyDict_SetItemString(kw.get(), k.name, k.value));
  return check(PyObject_Call(callable, tuple.get(), kw.get()));
}

void set_param(PyObject* m, const char* name, PyObject* value) {
  Ref key = py_str(name);
  call_method(m, "setParam", key.get(), value);
}

std::string text_of(PyObject* o) {
  Ref s = check(PyObject_Str(o));
  Py_ssize_t n = 0;
  const char* c = PyUnicode_AsUTF8AndSize(s.get(), &n);
  if (!c) throw_already_set();
  return std::string(c, static_cast<size_t>(n));
}

double float_of(PyObject* o) {
  const double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) throw_already_set();
  return d;
}

uint64_t count_of(PyObject* o) {
  const unsigned long long n = PyLong_AsUnsignedLongLong(o);
  if (PyErr_Occurred()) {  // negative or not an integer: no count
    PyErr_Clear();
    return 0;
  }
  return n;
}

bool any_nan(std::span<const double> v) {
  return std::any_of(v.begin(), v.end(), [](double d) { return std::isnan(d); });
}
bool all_finite(std::span<const double> v) {
  return std::all_of(v.begin(), v.end(), [](double d) { return std::isfinite(d); });
}

// Data SCIP cannot take: NaN bounds (which it would silently accept),
// infinite or NaN costs and coefficients (which it refuses with an error).
// Such a model is not solved, as HiGHS refuses it too.
bool scip_accepts(const StandardForm& f, std::span<const double> cost) {
  if (any_nan(f.col_lower) || any_nan(f.col_upper) || any_nan(f.row_lower) ||
      any_nan(f.row_upper)) {
    return false;
  }
  if (!all_finite(cost) || !all_finite(f.a_value) || !std::isfinite(f.offset)) return false;
  return !f.hessian || all_finite(f.hessian->q_value);
}

// getStatus() texts; the gap limit is the requested `gap` reached, which
// counts as optimal (as with HiGHS's mip_rel_gap). Texts for limits this
// adapter never sets give "unknown".
SolveStatus scip_status(const std::string& s) {
  if (s == "optimal" || s == "gaplimit") return SolveStatus::Optimal;
  if (s == "infeasible") return SolveStatus::Infeasible;
  if (s == "unbounded") return SolveStatus::Unbounded;
  if (s == "inforunbd") return SolveStatus::InfeasibleOrUnbounded;
  if (s == "timelimit") return SolveStatus::TimeLimit;
  // SCIP catches Ctrl-C itself during optimize (misc/catchctrlc).
  if (s == "userinterrupt") return SolveStatus::Interrupted;
  if (s == "nodelimit" || s == "totalnodelimit" || s == "stallnodelimit") {
    return SolveStatus::IterationLimit;
  }
  return SolveStatus::Unknown;
}

// The pyscipopt pieces one solve uses.
struct Scip {
  Ref pyscipopt, scip, numpy;
  Ref model;         // pyscipopt.Model
  Ref expr_t, cons_t;  // Expr, ExprCons
  Ref none = Ref::borrow(Py_None);
  double infinity = 1e20;

  // A bound for SCIP: None beyond its infinity.
  Ref bound(double v) const {
    if (std::fabs(v) >= infinity) return none;
    return py_float(v);
  }

  // The term key (pyscipopt Term) of a variable: the only key of its
  // `terms` dictionary.
  Ref term_of(PyObject* var) const {
    Ref terms = get_attr(var, "terms");
    if (!PyDict_Check(terms.get()) || PyDict_Size(terms.get()) != 1) {
      throw InternalFailure("pyscipopt variable without its single term");
    }
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    PyDict_Next(terms.get(), &pos, &key, &value);
    return Ref::borrow(key);
  }

  // ExprCons(Expr(terms), lhs, rhs) for a polynomial in term keys.
  Ref polynomial_cons(PyObject* terms, double lhs, double rhs) const {
    Ref expr = call(expr_t.get(), terms);
    Ref lo = bound(lhs), up = bound(rhs);
    return call(cons_t.get(), expr.get(), lo.get(), up.get());
  }

  // A free continuous variable with objective coefficient `obj`.
  Ref free_var(const char* name, double obj) const {
    Ref add = get_attr(model.get(), "addVar");
    Ref n = py_str(name), o = py_float(obj);
    return call_kw(add.get(), {},
                   {{"name", n.get()}, {"lb", Py_None}, {"ub", Py_None}, {"obj", o.get()}});
  }

  void add_cons(PyObject* cons) const { call_method(model.get(), "addCons", cons); }
};

// dict[key] += value (set when absent).
void accumulate(PyObject* dict, PyObject* key, double value) {
  PyObject* old = PyDict_GetItemWithError(dict, key);  // borrowed
  if (!old && PyErr_Occurred()) throw_already_set();
  Ref v = py_float(old ? float_of(old) + value : value);
  check_status(PyDict_SetItem(dict, key, v.get()));
}

// The columns: one addMatrixVar call over arrays of bounds, types and costs.
Ref add_columns(const Scip& s, const StandardForm& f, std::span<const double> cost) {
  const Numpy np;
  const size_t n = f.num_col;
  auto clamp = [&](double v) { return std::clamp(v, -s.infinity, s.infinity); };
  std::vector<double> lower(n), upper(n);
  std::vector<char32_t> types(n);
  for (size_t j = 0; j < n; ++j) {
    lower[j] = clamp(f.col_lower[j]);
    upper[j] = clamp(f.col_upper[j]);
    types[j] = f.integrality[j] ? U'I' : U'C';
  }
  Ref lb = np.view(lower), ub = np.view(upper), obj = np.view(cost);
  Ref bytes = check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(types.data()),
                                              static_cast<Py_ssize_t>(n * sizeof(char32_t))));
  Ref frombuffer = get_attr(s.numpy.get(), "frombuffer");
  Ref dtype = py_str("<U1");
  Ref vtype = call(frombuffer.get(), bytes.get(), dtype.get());
  Ref size = py_int(static_cast<long long>(n));
  Ref shape = check(PyTuple_Pack(1, size.get()));
  Ref add = get_attr(s.model.get(), "addMatrixVar");
  return call_kw(add.get(), {shape.get()},
                 {{"vtype", vtype.get()}, {"lb", lb.get()}, {"ub", ub.get()}, {"obj", obj.get()}});
}

// The linear rows: the form's columns turned into rows, one Expr per row
// built from a dictionary of term keys, all handed over in one
// addMatrixCons call. Rows with two infinite sides constrain nothing and
// are left out.
// Returns the constraint objects with the form row of each (for the duals).
struct RowConstraints {
  Ref constraints;           // the MatrixConstraint addMatrixCons returned, or null
  std::vector<size_t> rows;  // the form's row of each, in order
};

RowConstraints add_rows(const Scip& s, const StandardForm& f, const std::vector<Ref>& terms) {
  RowConstraints added;
  const size_t m = f.num_row;
  std::vector<int32_t> start(m + 1, 0);
  for (int32_t r : f.a_index) ++start[static_cast<size_t>(r) + 1];
  for (size_t r = 0; r < m; ++r) start[r + 1] += start[r];
  std::vector<int32_t> col(f.nnz());
  std::vector<double> value(f.nnz());
  {
    std::vector<int32_t> next(start.begin(), start.end() - 1);
    for (size_t j = 0; j < f.num_col; ++j) {
      for (int32_t k = f.a_start[j]; k < f.a_start[j + 1]; ++k) {
        const size_t pos = static_cast<size_t>(next[static_cast<size_t>(f.a_index[k])]++);
        col[pos] = static_cast<int32_t>(j);
        value[pos] = f.a_value[k];
      }
    }
  }

  Ref conss = check(PyList_New(0));
  for (size_t r = 0; r < m; ++r) {
    const double lo = f.row_lower[r], up = f.row_upper[r];
    if (lo <= -s.infinity && up >= s.infinity) continue;
    Ref dict = check(PyDict_New());
    for (int32_t k = start[r]; k < start[r + 1]; ++k) {
      Ref v = py_float(value[k]);
      check_status(PyDict_SetItem(dict.get(), terms[static_cast<size_t>(col[k])].get(), v.get()));
    }
    Ref cons = s.polynomial_cons(dict.get(), lo, up);
    check_status(PyList_Append(conss.get(), cons.get()));
    added.rows.push_back(r);
  }
  const Py_ssize_t count = PyList_Size(conss.get());
  if (count == 0) return added;

  Ref size = py_int(count);
  Ref object_t = Ref::borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  Ref empty = get_attr(s.numpy.get(), "empty");
  Ref array = call_kw(empty.get(), {size.get()}, {{"dtype", object_t.get()}});
  Ref all = check(PySlice_New(nullptr, nullptr, nullptr));
  check_status(PyObject_SetItem(array.get(), all.get(), conss.get()));
  Ref matrix_cons_t = get_attr(s.pyscipopt.get(), "MatrixExprCons");
  Ref matrix = call_method(array.get(), "view", matrix_cons_t.get());
  added.constraints = call_method(s.model.get(), "addMatrixCons", matrix.get());
  return added;
}

// A side of a single-variable row counts as active within this distance,
// relative to the side (SCIP's own feasibility tolerance).
constexpr double kActiveSide = 1e-6;
// A reduced cost below this (relative to the column's cost) is zero.
constexpr double kZeroReducedCost = 1e-9;

// SCIP turns a row over a single variable into a bound of that variable and
// prices it in the variable's reduced cost, reporting 0 for the row. Such a
// row gets the dual back here: the reduced cost c_j - sum_i a_ij y_i left
// over by the priced rows, divided by the row's coefficient, when a side of
// the row is active at `x` and the reduced cost pushes against that side (a
// binding upper side has a non-positive dual in a minimisation, a lower side
// a non-negative one). One active row per variable takes it; what is left
// belongs to the variable's own bounds.
void price_single_variable_rows(const StandardForm& f, std::span<const double> x,
                                std::vector<double>& duals) {
  constexpr size_t kNone = static_cast<size_t>(-1);
  std::vector<size_t> entries(f.num_row, 0), column(f.num_row, kNone);
  std::vector<double> coef(f.num_row, 0.0);
  std::vector<double> reduced(f.col_cost.begin(), f.col_cost.end());
  for (size_t j = 0; j < f.num_col; ++j) {
    for (int32_t k = f.a_start[j]; k < f.a_start[j + 1]; ++k) {
      const size_t r = static_cast<size_t>(f.a_index[k]);
      const double a = f.a_value[k];
      if (a == 0.0) continue;
      reduced[j] -= a * duals[r];
      ++entries[r];
      column[r] = j;
      coef[r] = a;
    }
  }
  std::vector<bool> taken(f.num_col, false);
  for (size_t r = 0; r < f.num_row; ++r) {
    if (entries[r] != 1) continue;
    const size_t j = column[r];
    if (taken[j] || std::fabs(reduced[j]) <= kZeroReducedCost * (1.0 + std::fabs(f.col_cost[j]))) {
      continue;
    }
    const double activity = coef[r] * x[j];
    auto active = [&](double side) {
      return std::isfinite(side) && std::fabs(activity - side) <= kActiveSide * (1.0 + std::fabs(side));
    };
    const double d = reduced[j] / coef[r];
    if ((active(f.row_upper[r]) && d < 0.0) || (active(f.row_lower[r]) && d > 0.0)) {
      duals[r] += d;
      taken[j] = true;
    }
  }
}

// The row duals of a solved continuous LP at its point `x`: getDualsolLinear
// of each row's constraint, d(objective)/d(active side) of the
// minimisation, single-variable rows priced from the reduced costs; a row
// that was left out (no finite side) prices 0. Nothing when SCIP has no
// duals.
std::optional<std::vector<double>> scip_row_duals(const Scip& s, const StandardForm& f,
                                                  const RowConstraints& rc,
                                                  std::span<const double> x) {
  std::vector<double> duals(f.num_row, 0.0);
  if (!rc.constraints) return duals;
  bool complete = false;
  const bool ran = ran_or_cleared([&] {
    Ref flat = get_attr(rc.constraints.get(), "flat");
    Ref list = check(PySequence_List(flat.get()));
    if (static_cast<size_t>(PyList_Size(list.get())) != rc.rows.size()) return;
    Ref dual_of = get_attr(s.model.get(), "getDualsolLinear");
    for (size_t k = 0; k < rc.rows.size(); ++k) {
      Ref d = call(dual_of.get(), PyList_GetItem(list.get(), static_cast<Py_ssize_t>(k)));
      duals[rc.rows[k]] = float_of(d.get());
    }
    complete = true;
  });
  if (!ran || !complete) return std::nullopt;
  price_single_variable_rows(f, x, duals);
  return model_duals(f, std::move(duals));
}

// SCIP takes a linear objective only: the quadratic term 0.5*x'Qx moves into
// the constraint q(x) - t <= 0 over an epigraph variable t that carries
// objective coefficient 1 (the linear costs stay on the columns).
void add_quadratic_epigraph(const Scip& s, const Hessian& h, size_t num_col,
                            const std::vector<Ref>& terms) {
  Ref t = s.free_var("quadratic_objective", 1.0);
  Ref dict = check(PyDict_New());
  for (size_t j = 0; j < num_col; ++j) {
    for (int32_t k = h.q_start[j]; k < h.q_start[j + 1]; ++k) {
      const size_t i = static_cast<size_t>(h.q_index[k]);
      // Upper triangle of the symmetric Q: x_i^2 carries Q_ii / 2, x_i*x_j
      // (i < j) carries Q_ij.
      const double coef = i == j ? 0.5 * h.q_value[k] : h.q_value[k];
      Ref key = check(PyNumber_Multiply(terms[i].get(), terms[j].get()));
      accumulate(dict.get(), key.get(), coef);
    }
  }
  Ref t_term = s.term_of(t.get());
  accumulate(dict.get(), t_term.get(), -1.0);
  Ref cons = s.polynomial_cons(dict.get(), -s.infinity, 0.0);
  s.add_cons(cons.get());
}

// head >= ||tail||_2 as tail'tail - head^2 <= 0 with head >= 0, the form
// SCIP recognises as a second-order cone.
void add_soc_cone(const Scip& s, const std::vector<VarIndex>& cone,
                  const std::vector<Ref>& terms) {
  if (cone.empty()) return;
  Ref dict = check(PyDict_New());
  for (size_t k = 0; k < cone.size(); ++k) {
    PyObject* term = terms[cone[k]].get();
    Ref square = check(PyNumber_Multiply(term, term));
    accumulate(dict.get(), square.get(), k == 0 ? -1.0 : 1.0);
  }
  Ref quadratic = s.polynomial_cons(dict.get(), -s.infinity, 0.0);
  s.add_cons(quadratic.get());
  Ref head = check(PyDict_New());
  accumulate(head.get(), terms[cone[0]].get(), 1.0);
  Ref nonnegative = s.polynomial_cons(head.get(), 0.0, s.infinity);
  s.add_cons(nonnegative.get());
}

// c'x + 0.5*x'Qx of the form (without offset).
double form_objective(const StandardForm& f, const std::vector<double>& x) {
  double v = 0.0;
  for (size_t j = 0; j < f.num_col; ++j) v += f.col_cost[j] * x[j];
  if (f.hessian) {
    const Hessian& h = *f.hessian;
    for (size_t j = 0; j < f.num_col; ++j) {
      for (int32_t k = h.q_start[j]; k < h.q_start[j + 1]; ++k) {
        const size_t i = static_cast<size_t>(h.q_index[k]);
        v += (i == j ? 0.5 : 1.0) * h.q_value[k] * x[i] * x[j];
      }
    }
  }
  return v;
}

void apply_options(const Scip& s, const SolveOptions& o) {
  PyObject* m = s.model.get();
  if (!o.verbose) call_method(m, "hideOutput");
  if (o.time_limit && !std::isnan(*o.time_limit)) {
    set_param(m, "limits/time", py_float(std::clamp(*o.time_limit, 0.0, s.infinity)).get());
  }
  if (o.gap && !std::isnan(*o.gap)) set_param(m, "limits/gap", py_float(std::max(*o.gap, 0.0)).get());
  if (o.threads) {
    Ref t = py_int(std::min(*o.threads, kMaxScipThreads));
    set_param(m, "lp/threads", t.get());
    set_param(m, "parallel/maxnthreads", t.get());
  }
  if (!o.effective_presolve()) {
    Ref settings = get_attr(s.pyscipopt.get(), "SCIP_PARAMSETTING");
    Ref off = get_attr(settings.get(), "OFF");
    call_method(m, "setPresolve", off.get());
  }
}

// The warm start as a partial solution: SCIP completes it (values for the
// auxiliary variables, repairs) with its own heuristics. NaN values stay
// unknown.
void add_start(const Scip& s, std::span<PyObject* const> vars, const std::vector<double>& x) {
  Ref sol = call_method(s.model.get(), "createPartialSol");
  Ref set = get_attr(s.model.get(), "setSolVal");
  for (size_t j = 0; j < vars.size(); ++j) {
    if (std::isnan(x[j])) continue;
    Ref v = py_float(x[j]);
    call(set.get(), sol.get(), vars[j], v.get());
  }
  call_method(s.model.get(), "addSol", sol.get());
}

}  // namespace

AdapterOutcome solve_with_scip(const StandardForm& f, const ModelData& model,
                               const Options& options) {
  const SolveOptions& o = options.core;
  double t0 = perf_counter();
  AdapterOutcome out;
  ResultData& r = out.data;
  r.solver = "SCIP";

  if (!f.psd_cones.empty()) {
    throw_value_error(
        "SCIP does not take PSD cones; solve models with PSD cones with solver=\"clarabel\"");
  }

  // A nonlinear objective is not in the form's costs: its linear part goes
  // onto the columns here, its nonlinear terms into an epigraph constraint.
  const NlExpr* nl_objective = nullptr;
  if (model.objective) nl_objective = std::get_if<NlExpr>(&*model.objective);
  const double sign = f.maximize ? -1.0 : 1.0;
  std::vector<double> cost = f.col_cost;
  double nl_offset = 0.0;
  if (nl_objective) {
    for (const Term& t : nl_objective->linear.terms) cost[t.index] += sign * t.coef;
    nl_offset = sign * nl_objective->linear.constant;
  }
  const bool nan_rhs = std::any_of(model.nl_constraints.begin(), model.nl_constraints.end(),
                                   [](const NonlinearConstraint& c) { return std::isnan(c.rhs); });
  if (!scip_accepts(f, cost) || !std::isfinite(nl_offset) || nan_rhs) {
    r.status = SolveStatus::Error;
    r.solve_time = perf_counter() - t0;
    return out;
  }
  // Sides no point can meet (`x == inf`, crossed bounds): SCIP refuses
  // infinite sides as data, so the answer is given here.
  if (impossible_bounds(f, model)) {
    r.status = SolveStatus::Infeasible;
    r.solve_time = perf_counter() - t0;
    return out;
  }

  Scip s;
  s.pyscipopt = import_module("pyscipopt");
  s.scip = import_module("pyscipopt.scip");
  s.numpy = import_module("numpy");
  t0 = perf_counter();  // the packages' imports are not part of the run
  s.expr_t = get_attr(s.scip.get(), "Expr");
  s.cons_t = get_attr(s.scip.get(), "ExprCons");
  Ref model_t = get_attr(s.pyscipopt.get(), "Model");
  s.model = call(model_t.get());
  s.infinity = float_of(call_method(s.model.get(), "infinity").get());
  // SCIP takes a side beyond its infinity as infinite: one no point can then
  // meet (x <= -1e25) would reach it as a constraint without sides.
  auto beyond = [&](const std::vector<double>& lower, const std::vector<double>& upper) {
    for (size_t k = 0; k < lower.size(); ++k) {
      if (lower[k] >= s.infinity || upper[k] <= -s.infinity) return true;
    }
    return false;
  };
  if (beyond(f.col_lower, f.col_upper) || beyond(f.row_lower, f.row_upper)) {
    r.status = SolveStatus::Infeasible;
    r.solve_time = perf_counter() - t0;
    return out;
  }
  // A non-convex objective that falls without end along a free direction
  // would keep SCIP's spatial search branching for ever: the model is then
  // unbounded when feasible, and only its feasibility is left to SCIP.
  const bool nonlinear = (nl_objective && !nl_objective->nl_terms.empty()) || !model.nl_constraints.empty();
  bool feasibility_only = false;
  if (!nonlinear && f.hessian && f.hessian->nnz() > 0) {
    std::vector<bool> fixed(f.num_col, false);
    for (const auto& cone : f.soc_cones)
      for (VarIndex v : cone) fixed[v] = true;
    feasibility_only = has_descent_ray(f, fixed, s.infinity);
  }
  if (feasibility_only) std::fill(cost.begin(), cost.end(), 0.0);
  apply_options(s, o);
  // A continuous LP keeps its rows as they are (no presolve, no bound
  // propagation) so that the final LP's duals price the model's rows.
  const bool continuous_lp = !f.has_integer() && !(f.hessian && f.hessian->nnz() > 0) &&
                             f.soc_cones.empty() && model.nl_constraints.empty() &&
                             !nl_objective;
  if (continuous_lp) {
    Ref settings = get_attr(s.pyscipopt.get(), "SCIP_PARAMSETTING");
    Ref off = get_attr(settings.get(), "OFF");
    call_method(s.model.get(), "setPresolve", off.get());
    call_method(s.model.get(), "disablePropagation");
  }
  for_each_setting(options, [&](const std::string& key, PyObject* k, PyObject* v) {
    refusing("SCIP", key, v, [&] { call_method(s.model.get(), "setParam", k, v); });
  });

  Ref x = add_columns(s, f, cost);
  Ref var_list = check(PySequence_List(x.get()));
  std::vector<PyObject*> vars(f.num_col);  // borrowed from var_list
  if (static_cast<size_t>(PyList_Size(var_list.get())) != f.num_col) {
    throw InternalFailure("addMatrixVar returned a different number of variables");
  }
  for (size_t j = 0; j < f.num_col; ++j) {
    vars[j] = PyList_GetItem(var_list.get(), static_cast<Py_ssize_t>(j));
  }

  const bool quadratic = f.hessian && f.hessian->nnz() > 0 && !feasibility_only;
  std::vector<Ref> terms;
  if (f.num_row > 0 || quadratic || !f.soc_cones.empty()) {
    terms.reserve(f.num_col);
    for (PyObject* v : vars) terms.push_back(s.term_of(v));
  }
  const RowConstraints row_constraints = add_rows(s, f, terms);
  if (quadratic) add_quadratic_epigraph(s, *f.hessian, f.num_col, terms);
  for (const auto& cone : f.soc_cones) add_soc_cone(s, cone, terms);

  if ((nl_objective && !nl_objective->nl_terms.empty()) || !model.nl_constraints.empty()) {
    ScipExpressions nl(s.scip.get(), vars);
    if (nl_objective) nl.add_uses(*nl_objective);
    for (const NonlinearConstraint& c : model.nl_constraints) nl.add_uses(c.body);
    if (nl_objective && !nl_objective->nl_terms.empty()) {
      // Epigraph: sign * (nonlinear terms) - t <= 0, minimising t.
      Ref t = s.free_var("nonlinear_objective", 1.0);
      Ref body = nl.sum(*nl_objective, sign, /*with_linear=*/false, t.get(), -1.0);
      Ref zero = py_float(0.0);
      Ref cons = call(s.cons_t.get(), body.get(), Py_None, zero.get());
      s.add_cons(cons.get());
    }
    for (const NonlinearConstraint& c : model.nl_constraints) {
      Ref body = nl.sum(c.body, 1.0, /*with_linear=*/true);
      Ref lo = c.sense == Sense::Le ? s.none : s.bound(c.rhs);
      Ref up = c.sense == Sense::Ge ? s.none : s.bound(c.rhs);
      if (lo.get() == Py_None && up.get() == Py_None) continue;  // `<= inf` or `>= -inf`
      Ref cons = call(s.cons_t.get(), body.get(), lo.get(), up.get());
      s.add_cons(cons.get());
    }
  }

  if (o.warm_start && o.warm_start->size() == f.num_col && f.num_col > 0) {
    std::vector<double> start = *o.warm_start;
    if (o.warm_start_index) {  // a partial start: only the given entries (NaN is skipped)
      std::vector<double> given(start.size(), std::nan(""));
      for (int32_t j : *o.warm_start_index) given[static_cast<size_t>(j)] = start[static_cast<size_t>(j)];
      start = std::move(given);
    }
    add_start(s, vars, start);
  }

  const InterruptWatch watch;  // SCIP answers Ctrl-C itself while it runs
  // The search runs with the interpreter lock released where pyscipopt
  // offers it, so other threads keep running meanwhile.
  Ref nogil = Ref::steal(PyObject_GetAttrString(s.model.get(), "optimizeNogil"));
  PyErr_Clear();
  call_method(s.model.get(), nogil ? "optimizeNogil" : "optimize");
  r.solve_time = perf_counter() - t0;

  r.status = scip_status(text_of(call_method(s.model.get(), "getStatus").get()));
  if (feasibility_only && count_of(call_method(s.model.get(), "getNSols").get()) > 0) {
    r.status = SolveStatus::Unbounded;
  }
  watch.settle(r.status == SolveStatus::Interrupted);
  const bool no_point = r.status == SolveStatus::Infeasible ||
                        r.status == SolveStatus::Unbounded ||
                        r.status == SolveStatus::InfeasibleOrUnbounded;
  const uint64_t solutions = count_of(call_method(s.model.get(), "getNSols").get());
  if (!no_point && solutions > 0) {
    Ref values = call_method(s.model.get(), "getVal", x.get());
    std::vector<double> primals = read_floats(values.get());
    if (primals.size() != f.num_col) throw InternalFailure("SCIP returned a different number of values");
    round_integer_columns(f.integrality, primals);
    // The objective at the returned point: SCIP's own value carries the
    // epigraph variable, which meets its constraint only within tolerance.
    double objective = nl_objective ? evaluate_nl(*nl_objective, primals)
                                    : f.model_objective(form_objective(f, primals));
    if (!std::isfinite(objective)) {
      objective = f.model_objective(
          float_of(call_method(s.model.get(), "getObjVal").get()) + nl_offset);
    }
    r.objective = objective;
    r.primals = std::move(primals);
    const double gap = float_of(call_method(s.model.get(), "getGap").get());
    if (std::isfinite(gap) && gap < s.infinity) r.gap = gap;
    if (continuous_lp && r.status == SolveStatus::Optimal) {
      r.duals = scip_row_duals(s, f, row_constraints, *r.primals);
    }
  }
  // The counters exist once SCIP has transformed the problem (a run that
  // stops before, or a stand-in that does not solve, has none).
  if (count_of(call_method(s.model.get(), "getStage").get()) >= kStagePresolving) {
    r.nodes = count_of(call_method(s.model.get(), "getNTotalNodes").get());
    r.iterations = count_of(call_method(s.model.get(), "getNLPIterations").get());
  }
  return out;
}

}  // namespace pelora::py
