// OSQP solves  min 0.5 x'Px + q'x  s.t.  l <= A x <= u.  The model rows and
// the variable bounds become one stacked constraint matrix [A; I], built
// column by column in C++ and handed over with one csc_matrix call; P is the
// form's upper triangle as it is stored.
#include "python/solve/osqp_adapter.hpp"

#include <string>
#include <vector>

#include <dlfcn.h>
#include <signal.h>

#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/messages.hpp"
#include "python/solve/arrays.hpp"
#include "python/solve/handoff.hpp"
#include "python/solve/interrupt.hpp"
#include "python/solve/solver_settings.hpp"

namespace pelora::py {

namespace {

bool contains(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

// [A; I]: each column holds the form's entries of that column, then a 1 in
// the bound row num_row + j.
CscMatrix stacked_constraints(const StandardForm& f) {
  CscMatrix m;
  m.rows = f.num_row + f.num_col;
  m.cols = f.num_col;
  m.start.resize(f.num_col + 1);
  m.index.resize(f.nnz() + f.num_col);
  m.value.resize(f.nnz() + f.num_col);
  size_t pos = 0;
  for (size_t j = 0; j < f.num_col; ++j) {
    m.start[j] = static_cast<int32_t>(pos);
    for (int32_t k = f.a_start[j]; k < f.a_start[j + 1]; ++k, ++pos) {
      m.index[pos] = f.a_index[k];
      m.value[pos] = f.a_value[k];
    }
    m.index[pos] = static_cast<int32_t>(f.num_row + j);
    m.value[pos] = 1.0;
    ++pos;
  }
  m.start[f.num_col] = static_cast<int32_t>(pos);
  return m;
}

std::vector<double> concat(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> out;
  out.reserve(a.size() + b.size());
  out.insert(out.end(), a.begin(), a.end());
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

std::string text_of(PyObject* o) {
  Ref s = check(PyObject_Str(o));
  Py_ssize_t n = 0;
  const char* c = PyUnicode_AsUTF8AndSize(s.get(), &n);
  if (!c) throw_already_set();
  return std::string(c, static_cast<size_t>(n));
}

// OSQP refuses a problem without variables; its answer is known: the rows
// (constant comparisons) hold or not, and the objective is the constant.
AdapterOutcome without_variables(const StandardForm& f, double t0) {
  AdapterOutcome out;
  ResultData& r = out.data;
  r.solver = "OSQP";
  bool feasible = true;
  for (size_t k = 0; k < f.num_row; ++k) {
    feasible = feasible && f.row_lower[k] <= 0.0 && 0.0 <= f.row_upper[k];
  }
  r.status = feasible ? SolveStatus::Optimal : SolveStatus::Infeasible;
  if (feasible) {
    r.primals.emplace();
    r.duals.emplace(f.num_row, 0.0);
    r.objective = f.model_objective(0.0);
  }
  r.iterations = 0;
  r.solve_time = perf_counter() - t0;
  return out;
}

// The problem data keywords of setup are not settings.
constexpr const char* kOsqpData[] = {"P", "q", "A", "l", "u"};

// The user's settings join the setup keywords, replacing the adapter's own.
void apply_osqp_settings(PyObject*, const Options& options, PyObject* kwargs) {
  for_each_setting(options, [&](const std::string& key, PyObject*, PyObject* v) {
    for (const char* d : kOsqpData) {
      if (key == d) throw_refused("OSQP", key, v, "problem data, not a setting");
    }
  });
  merge_settings(options, kwargs);
}

// Sets up min x^2 s.t. 0 <= x <= 1 with the one setting `key` = `value`.
void probe_osqp_setting(PyObject* osqp, PyObject* key, PyObject* value) {
  Ref sparse = import_module("scipy.sparse");
  Ref eye = call_method(sparse.get(), "eye", py_int(1).get());
  Ref csc = call_method(eye.get(), "tocsc");
  Ref numpy = import_module("numpy");
  Ref zero_list = check(Py_BuildValue("[d]", 0.0)), one_list = check(Py_BuildValue("[d]", 1.0));
  Ref zeros = call_method(numpy.get(), "array", zero_list.get());
  Ref ones = call_method(numpy.get(), "array", one_list.get());
  Ref kwargs = check(PyDict_New());
  dict_set(kwargs.get(), "P", csc.get());
  dict_set(kwargs.get(), "q", zeros.get());
  dict_set(kwargs.get(), "A", csc.get());
  dict_set(kwargs.get(), "l", zeros.get());
  dict_set(kwargs.get(), "u", ones.get());
  dict_set(kwargs.get(), "verbose", Py_False);
  check_status(PyDict_SetItem(kwargs.get(), key, value));
  Ref solver = call_method(osqp, "OSQP");
  Ref setup = get_attr(solver.get(), "setup");
  Ref no_args = check(PyTuple_New(0));
  check(PyObject_Call(setup.get(), no_args.get(), kwargs.get()));
}

// OSQP's setup raises its exception with the bare error code as message;
// the code for a non-convex objective becomes a message saying so. Any
// other failure stays pending as it was.
void refuse_nonconvex_setup(PyObject* osqp) {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
  bool nonconvex = false;
  if (Ref ext = Ref::steal(PyObject_GetAttrString(osqp, "ext_builtin"))) {
    Ref kinds = Ref::steal(PyObject_GetAttrString(ext.get(), "osqp_error_type"));
    Ref code = kinds ? Ref::steal(PyObject_GetAttrString(kinds.get(), "OSQP_NONCVX_ERROR")) : Ref();
    Ref number = code ? Ref::steal(PyNumber_Index(code.get())) : Ref();
    Ref text = number ? Ref::steal(PyObject_Str(number.get())) : Ref();
    Ref said = v ? Ref::steal(PyObject_Str(v.get())) : Ref();
    nonconvex = text && said && PyUnicode_Compare(text.get(), said.get()) == 0;
  }
  PyErr_Clear();
  if (nonconvex) {
    throw_value_error(
        "OSQP refused the problem: its quadratic objective is not convex (OSQP solves convex "
        "problems only; solver=\"scip\" takes a non-convex quadratic objective)");
  }
  PyErr_Restore(t.release(), v.release(), b.release());
}

// OSQP puts its own SIGINT handler in place while it solves: a signal stops
// its iterations, but one that lands while it polishes the solution (or
// after its last look) is kept by that handler and never reaches Python.
// osqp_is_interrupted() of the solver's extension module says whether the
// solve that just ended caught one; false when that cannot be asked.
bool osqp_caught_sigint(PyObject* solver) {
  Ref ext = Ref::steal(PyObject_GetAttrString(solver, "ext"));
  Ref file = ext ? Ref::steal(PyObject_GetAttrString(ext.get(), "__file__")) : Ref();
  const char* path = file ? PyUnicode_AsUTF8AndSize(file.get(), nullptr) : nullptr;
  if (!path) {
    PyErr_Clear();
    return false;
  }
  // The module is loaded already: this only finds it.
  void* lib = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (!lib) return false;
  using Query = int (*)();
  const auto query = reinterpret_cast<Query>(dlsym(lib, "osqp_is_interrupted"));
  const bool caught = query && query() != 0;
  dlclose(lib);
  return caught;
}

}  // namespace

SolveStatus osqp_status_from_text(const std::string& s) {
  // "unsolved" (the solver never ran to an answer) must not read as solved,
  // and a dual infeasibility certificate means the objective is unbounded
  // below, not that the constraints are inconsistent.
  if (contains(s, "unsolved")) return SolveStatus::Unknown;
  if (contains(s, "solved")) return SolveStatus::Optimal;
  if (contains(s, "dual infeasible")) return SolveStatus::Unbounded;
  if (contains(s, "infeasible")) return SolveStatus::Infeasible;
  // OSQP words its time limit "run time limit reached".
  if (contains(s, "time_limit") || contains(s, "time limit")) return SolveStatus::TimeLimit;
  if (contains(s, "maximum iterations")) return SolveStatus::IterationLimit;
  // OSQP stops on Ctrl-C by itself ("interrupted by user").
  if (contains(s, "interrupted")) return SolveStatus::Interrupted;
  return SolveStatus::Unknown;
}

AdapterOutcome solve_with_osqp(const StandardForm& f, const ModelData& model,
                               const Options& options) {
  const SolveOptions& o = options.core;
  refuse_cones(f, "OSQP", "solve without naming a solver (cones go to Clarabel)");
  refuse_nonlinear(model, "OSQP", "use solver=\"ipopt\"");
  refuse_nan_bounds(f, model);
  double t0 = perf_counter();
  if (impossible_bounds(f, model)) return infeasible_without_solving("OSQP", t0);
  if (f.num_col == 0) return without_variables(f, t0);
  Ref osqp = import_module("osqp");
  const SparseHandoff h;
  t0 = perf_counter();  // the packages' imports are not part of the run

  Ref p = h.hessian_upper(f);
  Ref a = h.csc(stacked_constraints(f));
  Ref q = h.array(f.col_cost);
  Ref l = h.array(concat(f.row_lower, f.col_lower));
  Ref u = h.array(concat(f.row_upper, f.col_upper));

  Ref solver = call_method(osqp.get(), "OSQP");
  Ref kwargs = check(PyDict_New());
  dict_set(kwargs.get(), "P", p.get());
  dict_set(kwargs.get(), "q", q.get());
  dict_set(kwargs.get(), "A", a.get());
  dict_set(kwargs.get(), "l", l.get());
  dict_set(kwargs.get(), "u", u.get());
  dict_set(kwargs.get(), "verbose", py_bool(o.verbose).get());
  if (o.time_limit) {
    dict_set(kwargs.get(), "time_limit", py_float(positive_time_limit(*o.time_limit)).get());
  }
  dict_set(kwargs.get(), "eps_abs", py_float(1e-8).get());
  dict_set(kwargs.get(), "eps_rel", py_float(1e-8).get());
  apply_osqp_settings(osqp.get(), options, kwargs.get());
  Ref setup = get_attr(solver.get(), "setup");
  Ref no_args = check(PyTuple_New(0));
  try {
    call_blaming("OSQP", options,
                 [&] { return check(PyObject_Call(setup.get(), no_args.get(), kwargs.get())); },
                 [&](PyObject* k, PyObject* v) { probe_osqp_setting(osqp.get(), k, v); });
  } catch (const ErrorAlreadySet&) {
    refuse_nonconvex_setup(osqp.get());
    throw;
  }

  // Statuses other than "solved" are read from the result, not raised.
  Ref solve = get_attr(solver.get(), "solve");
  Ref solve_kwargs = check(PyDict_New());
  dict_set(solve_kwargs.get(), "raise_error", Py_False);
  // OSQP answers Ctrl-C itself while it iterates; one during the setup
  // raises KeyboardInterrupt here, before the solve, and one that OSQP's
  // handler kept while polishing raises it after.
  const InterruptWatch watch;
  Ref res = check(PyObject_Call(solve.get(), no_args.get(), solve_kwargs.get()));
  AdapterOutcome out;
  ResultData& r = out.data;
  r.solve_time = perf_counter() - t0;
  r.solver = "OSQP";

  Ref info = get_attr(res.get(), "info");
  Ref status = get_attr(info.get(), "status");
  const std::string status_text = text_of(status.get());
  r.status = osqp_status_from_text(status_text);
  // A signal OSQP's handler kept without stopping for it is handed to
  // Python's handler as if it came now: with the watch armed it raises
  // KeyboardInterrupt here, otherwise the user's handler sees it.
  if (r.status != SolveStatus::Interrupted && osqp_caught_sigint(solver.get())) {
    PyErr_SetInterruptEx(SIGINT);
  }
  watch.settle(r.status == SolveStatus::Interrupted);
  if (r.status == SolveStatus::Optimal) {
    Ref x = get_attr(res.get(), "x");
    r.primals = read_floats(x.get());
    Ref obj = get_attr(info.get(), "obj_val");
    r.objective = f.model_objective(to_double(obj.get()));
    // OSQP's y prices l <= Ax <= u with the opposite sign to
    // d(objective)/d(bound); the bound rows after the model rows are the
    // variable bounds, which are not linear constraints of the model.
    Ref y = get_attr(res.get(), "y");
    std::vector<double> all = read_floats(y.get());
    std::vector<double> rows(f.num_row, 0.0);
    for (size_t i = 0; i < f.num_row && i < all.size(); ++i) rows[i] = 0.0 - all[i];
    r.duals = model_duals(f, std::move(rows));
  }
  r.iterations = count_or_zero(attr_or_null(info.get(), "iter").get());
  // Chosen automatically for a QP, OSQP may stop at its iteration limit on a
  // model it would solve with more iterations; say how to get an answer.
  if (!options.solver && r.status != SolveStatus::Optimal &&
      contains(status_text, "maximum iterations")) {
    warn_line("[pelora-opt] warning: OSQP stopped at its iteration limit (" +
              std::to_string(r.iterations.value_or(0)) +
              " iterations) without a solution; raise the limit with "
              "solver_options={\"max_iter\": ...} or solve with solver=\"clarabel\"");
  }
  return out;
}

}  // namespace pelora::py
