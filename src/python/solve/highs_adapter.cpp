#include "python/solve/highs_adapter.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <initializer_list>
#include <limits>
#include <numeric>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/messages.hpp"
#include "python/solve/handoff.hpp"
#include "python/solve/interrupt.hpp"
#include "python/solve/solver_settings.hpp"

namespace pelora::py {

namespace {

// -1 until a solve passes a thread count.
std::atomic<int64_t> g_last_threads{-1};

std::string lower_text(PyObject* o) {
  Ref s = check(PyObject_Str(o));
  Py_ssize_t n = 0;
  const char* c = PyUnicode_AsUTF8AndSize(s.get(), &n);
  if (!c) throw_already_set();
  std::string out(c, static_cast<size_t>(n));
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  return out;
}

bool contains(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

// The value of h.getInfoValue(name) when HiGHS reports it as valid. HiGHS
// answers with a warning status and an unset (garbage) value when the
// information does not exist, e.g. after a failed run; that counts as
// unreadable, as does any failure of the query, which is discarded.
Ref readable_info(PyObject* highspy, PyObject* h, const char* name) {
  try {
    Ref key = py_str(name);
    Ref pair = call_method(h, "getInfoValue", key.get());
    if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) return {};
    if (!highs_status_is(highspy, PyTuple_GetItem(pair.get(), 0), "kOk")) return {};
    return Ref::borrow(PyTuple_GetItem(pair.get(), 1));
  } catch (const ErrorAlreadySet&) {
    PyErr_Clear();
  } catch (const PyError&) {
  }
  return {};
}

uint64_t count_or_zero(const Ref& v) {
  if (!v || !PyLong_Check(v.get())) return 0;
  const unsigned long long n = PyLong_AsUnsignedLongLong(v.get());
  if (PyErr_Occurred()) {  // negative or too large
    PyErr_Clear();
    return 0;
  }
  return n;
}

double float_or_zero(const Ref& v) {
  if (!v) return 0.0;
  const double d = PyFloat_AsDouble(v.get());
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return 0.0;
  }
  return d;
}

}  // namespace

bool solution_flag(PyObject* sol, const char* name) {
  Ref v = Ref::steal(PyObject_GetAttrString(sol, name));
  if (!v) {
    PyErr_Clear();
    return true;
  }
  const int t = PyObject_IsTrue(v.get());
  if (t < 0) throw_already_set();
  return t != 0;
}

namespace {

void apply_options(PyObject* h, const SolveOptions& o) {
  if (!o.verbose) set_highs_option(h, "output_flag", Py_False);
  if (o.time_limit) set_highs_option(h, "time_limit", py_float(*o.time_limit).get());
  if (o.gap) set_highs_option(h, "mip_rel_gap", py_float(*o.gap).get());
  if (o.threads) {
    check_highs_threads(h, *o.threads);
    set_highs_option(h, "threads", py_int(*o.threads).get());
  } else {
    note_highs_automatic_threads();
  }
  if (o.solver_method) set_highs_option(h, "solver", py_str(*o.solver_method).get());
  if (o.run_crossover) set_highs_option(h, "run_crossover", py_str(*o.run_crossover).get());
  if (o.parallel) set_highs_option(h, "parallel", py_str(*o.parallel).get());
  if (o.simplex_scale_strategy) {
    set_highs_option(h, "simplex_scale_strategy", py_int(*o.simplex_scale_strategy).get());
  }
  if (!o.effective_presolve()) set_highs_option(h, "presolve", py_str("off").get());
}

// The start point for the MIP search, every column given (HiGHS's sparse
// setSolution form; the dense form is not offered by highspy).
void set_start_point(PyObject* h, const Numpy& np, const std::vector<double>& x) {
  std::vector<int32_t> index(x.size());
  std::iota(index.begin(), index.end(), 0);
  Ref n = py_int(static_cast<long long>(x.size()));
  Ref idx = np.view(index);
  Ref val = np.view(x);
  call_method(h, "setSolution", n.get(), idx.get(), val.get());
}

// HiGHS reports magnitudes of 1e30 and more for "no limit".
double ranging_value(double v) {
  constexpr double kHighsHuge = 1e30;
  if (v >= kHighsHuge) return std::numeric_limits<double>::infinity();
  if (v <= -kHighsHuge) return -std::numeric_limits<double>::infinity();
  return v;
}

// The `value_` list of one HiGHS ranging record, cut to `n` entries (HiGHS
// may hand back a longer buffer).
std::vector<double> ranging_values(PyObject* ranging, const char* record, size_t n) {
  Ref rec = get_attr(ranging, record);
  Ref values = get_attr(rec.get(), "value_");
  std::vector<double> v = read_floats(values.get());
  if (v.size() < n) throw_runtime_error("HiGHS ranging record is shorter than the model");
  v.resize(n);
  for (double& x : v) x = ranging_value(x);
  return v;
}

// Which rows are basic in HiGHS's final basis.
std::vector<uint8_t> basic_rows(PyObject* highspy, PyObject* h, size_t num_row) {
  Ref basis = call_method(h, "getBasis");
  Ref status = get_attr(basis.get(), "row_status");
  Ref cls = get_attr(highspy, "HighsBasisStatus");
  Ref basic = get_attr(cls.get(), "kBasic");
  const Py_ssize_t n = PySequence_Size(status.get());
  if (n < 0) throw_already_set();
  if (static_cast<size_t>(n) < num_row) throw_runtime_error("HiGHS basis is shorter than the model");
  std::vector<uint8_t> out(num_row);
  for (size_t i = 0; i < num_row; ++i) {
    Ref item = check(PySequence_GetItem(status.get(), static_cast<Py_ssize_t>(i)));
    const int eq = PyObject_RichCompareBool(item.get(), basic.get(), Py_EQ);
    if (eq < 0) throw_already_set();
    out[i] = static_cast<uint8_t>(eq);
  }
  return out;
}

// HiGHS's ranging of the optimal basis, turned into the model's terms: a
// maximisation was handed over negated, so its cost interval is negated and
// flipped; row bounds are right-hand sides less the constraint's constant.
// For a basic (slack) row HiGHS ranges the row's activity rather than its
// bound; the bound of such a row keeps the basis optimal from its activity
// on outwards (up to +inf for `<=`, down to -inf for `>=`). Empty when HiGHS
// has none (no basis, for example after an interior-point run without
// crossover).
LpRanging read_ranging(PyObject* highspy, PyObject* h, PyObject* sol, const StandardForm& f,
                       const ModelData& model) {
  LpRanging out;
  Ref pair = call_method(h, "getRanging");
  if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) return out;
  if (!highs_status_is(highspy, PyTuple_GetItem(pair.get(), 0), "kOk")) return out;
  PyObject* rg = PyTuple_GetItem(pair.get(), 1);
  const std::vector<double> cost_dn = ranging_values(rg, "col_cost_dn", f.num_col);
  const std::vector<double> cost_up = ranging_values(rg, "col_cost_up", f.num_col);
  const std::vector<double> row_dn = ranging_values(rg, "row_bound_dn", f.num_row);
  const std::vector<double> row_up = ranging_values(rg, "row_bound_up", f.num_row);
  out.cost.reserve(f.num_col);
  for (size_t j = 0; j < f.num_col; ++j) {
    out.cost.emplace_back(f.maximize ? -cost_up[j] : cost_dn[j],
                          f.maximize ? -cost_dn[j] : cost_up[j]);
  }
  const std::vector<uint8_t> basic = basic_rows(highspy, h, f.num_row);
  Ref row_value = get_attr(sol, "row_value");
  const std::vector<double> activity = read_floats(row_value.get());
  if (activity.size() < f.num_row) throw_runtime_error("HiGHS row values are shorter than the model");
  constexpr double inf = std::numeric_limits<double>::infinity();
  out.rhs.reserve(f.num_row);
  for (size_t i = 0; i < f.num_row; ++i) {
    const bool known = i < model.constraints.size();
    const double k = 0.0;  // stored rows keep their constant in the rhs
    const Sense sense = known ? model.constraints.sense(i) : Sense::Eq;
    if (basic[i] && sense != Sense::Eq) {
      const double a = activity[i] + k;
      out.rhs.emplace_back(sense == Sense::Le ? a : -inf, sense == Sense::Le ? inf : a);
    } else {
      out.rhs.emplace_back(row_dn[i] + k, row_up[i] + k);
    }
  }
  return out;
}

}  // namespace

void apply_highs_settings(PyObject* highspy, PyObject* h, const Options& options) {
  for_each_setting(options, [&](const std::string& key, PyObject* k, PyObject* v) {
    Ref status;
    refusing("HiGHS", key, v, [&] { status = call_method(h, "setOptionValue", k, v); });
    if (highs_status_is(highspy, status.get(), "kError")) {
      throw_refused("HiGHS", key, v, "no such option, or a value of the wrong type or range");
    }
  });
}

double perf_counter() {
  Ref time = import_module("time");
  Ref t = call_method(time.get(), "perf_counter");
  const double v = PyFloat_AsDouble(t.get());
  if (v == -1.0 && PyErr_Occurred()) throw_already_set();
  return v;
}

Ref new_highs(PyObject* highspy, bool verbose) {
  static bool banner_shown = false;
  if (verbose || banner_shown) {
    banner_shown = true;
    return call_method(highspy, "Highs");
  }
  std::fflush(stdout);
  const int saved = dup(1);
  const int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved < 0 || devnull < 0) {
    if (saved >= 0) close(saved);
    if (devnull >= 0) close(devnull);
    return call_method(highspy, "Highs");
  }
  dup2(devnull, 1);
  close(devnull);
  struct RestoreStdout {
    int fd;
    ~RestoreStdout() {
      std::fflush(stdout);
      dup2(fd, 1);
      close(fd);
    }
  };
  Ref h;
  {
    RestoreStdout restore{saved};
    h = call_method(highspy, "Highs");
  }
  banner_shown = true;
  return h;
}

void set_highs_option(PyObject* h, const char* name, PyObject* value) {
  Ref key = py_str(name);
  call_method(h, "setOptionValue", key.get(), value);
}

void note_highs_automatic_threads() {
  // A run without a count may size the scheduler by HiGHS's own default:
  // the next explicit count must not take it for the one it set before.
  g_last_threads.store(0);
}

void check_highs_threads(PyObject* h, uint32_t threads) {
  const int64_t previous = g_last_threads.exchange(static_cast<int64_t>(threads));
  if (previous == static_cast<int64_t>(threads)) return;
  bool reset = false;
  if (Ref f = Ref::steal(PyObject_GetAttrString(h, "resetGlobalScheduler"))) {
    reset = static_cast<bool>(Ref::steal(PyObject_CallFunctionObjArgs(f.get(), Py_True, nullptr)));
  }
  if (reset) return;
  PyErr_Clear();
  // The first explicit count may meet a scheduler that an earlier solve
  // without `threads` sized by HiGHS's default; the reset above covers that,
  // and without it there is no earlier count to warn about.
  if (previous < 1) return;
  warn_line("[pelora-opt] warning: HiGHS thread count changed (" + std::to_string(previous) +
            " -> " + std::to_string(threads) +
            ") within this process and resetGlobalScheduler is unavailable; solve may "
            "return status 'unknown'. Keep `threads` uniform per process.");
}

bool highs_status_is(PyObject* highspy, PyObject* status, const char* name) {
  Ref cls = get_attr(highspy, "HighsStatus");
  Ref expected = get_attr(cls.get(), name);
  const int eq = PyObject_RichCompareBool(status, expected.get(), Py_EQ);
  if (eq < 0) throw_already_set();
  return eq == 1;
}

bool load_into_highs(PyObject* highspy, PyObject* h, const Numpy& np, const StandardForm& f,
                     bool with_hessian) {
  Ref fmt_cls = get_attr(highspy, "MatrixFormat");
  Ref colwise = get_attr(fmt_cls.get(), "kColwise");
  Ref sense_cls = get_attr(highspy, "ObjSense");
  Ref minimize = get_attr(sense_cls.get(), "kMinimize");

  Ref num_col = py_int(static_cast<long long>(f.num_col));
  Ref num_row = py_int(static_cast<long long>(f.num_row));
  Ref num_nz = py_int(static_cast<long long>(f.nnz()));
  Ref offset = py_float(0.0);
  // passModel copies every array into HiGHS before it returns, and these
  // arrays die with this frame while `f` lives on: they borrow f's storage.
  Ref cost = np.borrow(f.col_cost), cl = np.borrow(f.col_lower), cu = np.borrow(f.col_upper);
  Ref rl = np.borrow(f.row_lower), ru = np.borrow(f.row_upper);
  Ref start = np.borrow(f.a_start), index = np.borrow(f.a_index), value = np.borrow(f.a_value);
  Ref integrality = np.borrow(f.integrality);

  // The Hessian's lower triangle, when there is one (arrays borrowed as above).
  const bool quadratic = with_hessian && f.hessian && f.hessian->nnz() > 0;
  const Hessian lower = quadratic ? lower_triangle(*f.hessian, f.num_col) : Hessian{};
  Ref triangular, q_nnz, qs, qi, qv;
  if (quadratic) {
    Ref q_cls = get_attr(highspy, "HessianFormat");
    triangular = get_attr(q_cls.get(), "kTriangular");
    q_nnz = py_int(static_cast<long long>(lower.nnz()));
    qs = np.borrow(lower.q_start), qi = np.borrow(lower.q_index), qv = np.borrow(lower.q_value);
  }

  Ref status;
  if (!f.has_integer()) {
    // No integrality array for a continuous model (an all-zero one makes
    // HiGHS warn that it has no integer variables): empty rows first, then
    // the columns with their entries, then the Hessian.
    const std::vector<int32_t> none;
    Ref empty = np.borrow(none);
    Ref zero = py_int(0);
    status = call_method(h, "addRows", num_row.get(), rl.get(), ru.get(), zero.get(), empty.get(),
                         empty.get(), np.borrow(std::span<const double>()).get());
    if (highs_status_is(highspy, status.get(), "kError")) return false;
    status = call_method(h, "addCols", num_col.get(), cost.get(), cl.get(), cu.get(), num_nz.get(),
                         start.get(), index.get(), value.get());
    if (quadratic && !highs_status_is(highspy, status.get(), "kError")) {
      status = call_method(h, "passHessian", num_col.get(), q_nnz.get(), triangular.get(), qs.get(),
                           qi.get(), qv.get());
    }
  } else if (quadratic) {
    status = call_method(h, "passModel", num_col.get(), num_row.get(), num_nz.get(), q_nnz.get(),
                         colwise.get(), triangular.get(), minimize.get(), offset.get(), cost.get(),
                         cl.get(), cu.get(), rl.get(), ru.get(), start.get(), index.get(),
                         value.get(), qs.get(), qi.get(), qv.get(), integrality.get());
  } else {
    status = call_method(h, "passModel", num_col.get(), num_row.get(), num_nz.get(),
                         colwise.get(), minimize.get(), offset.get(), cost.get(), cl.get(),
                         cu.get(), rl.get(), ru.get(), start.get(), index.get(), value.get(),
                         integrality.get());
  }
  return !highs_status_is(highspy, status.get(), "kError");
}

SolveStatus highs_status_from_text(std::string s, bool iteration_rule) {
  if (contains(s, "optimal")) return SolveStatus::Optimal;
  const bool infeasible = contains(s, "infeasible"), unbounded = contains(s, "unbounded");
  if (infeasible && unbounded) return SolveStatus::InfeasibleOrUnbounded;
  if (infeasible) return SolveStatus::Infeasible;
  if (unbounded) return SolveStatus::Unbounded;
  if (contains(s, "time_limit") || contains(s, "timelimit")) return SolveStatus::TimeLimit;
  if (iteration_rule && (contains(s, "iteration_limit") || contains(s, "iterationlimit"))) {
    return SolveStatus::IterationLimit;
  }
  if (contains(s, "interrupt")) return SolveStatus::Interrupted;
  if (contains(s, "error")) return SolveStatus::Error;
  return SolveStatus::Unknown;
}

SolveStatus highs_status(PyObject* h, bool iteration_rule) {
  Ref st = call_method(h, "getModelStatus");
  return highs_status_from_text(lower_text(st.get()), iteration_rule);
}

namespace {

// Hands the heap's free pages back to the system before a large run on a
// worker thread (the run goes there to answer Ctrl-C in every phase). glibc
// gives that thread an arena of its own: what the calling thread freed just
// before (the form's columns, the model's building temporaries) would stay
// resident beside everything HiGHS allocates there, instead of being reused
// as it is by a run on the calling thread. The call walks the heap (some
// milliseconds for a model of millions of entries): a form of fewer than
// kTrimFrom columns, rows and entries frees too little to pay for it.
constexpr size_t kTrimFrom = 1000000;

void return_free_memory(size_t form_size) {
#if defined(__GLIBC__)
  if (form_size >= kTrimFrom) malloc_trim(0);
#else
  (void)form_size;
#endif
}

// `release`, when given, is `f` itself: its columns go once HiGHS holds them.
AdapterOutcome run_highs(const StandardForm& f, const ModelData& model, const Options& options,
                         StandardForm* release) {
  // HiGHS sees only the linear rows and the quadratic objective: a model with
  // cones or nonlinear terms would be answered as a different problem.
  refuse_cones(f, "HiGHS", "solve without naming a solver (cones go to Clarabel)");
  refuse_nonlinear(model, "HiGHS", "use solver=\"ipopt\", or solver=\"scip\" with integer variables");
  const SolveOptions& o = options.core;
  double t0 = perf_counter();
  // HiGHS refuses a side that no point can meet (x >= inf) as bad data; the
  // model is simply infeasible, as every other adapter reports it.
  if (impossible_bounds(f, model)) return infeasible_without_solving("HiGHS", t0);
  Ref highspy = import_module("highspy");
  const Numpy np;
  t0 = perf_counter();  // the packages' imports are not part of the run
  Ref h = new_highs(highspy.get(), o.verbose);
  apply_options(h.get(), o);
  apply_highs_settings(highspy.get(), h.get(), options);
  const bool integer = f.has_integer();

  AdapterOutcome out;
  ResultData& r = out.data;
  r.solver = "HiGHS";
  if (!load_into_highs(highspy.get(), h.get(), np, f, /*with_hessian=*/true)) {
    // HiGHS refused the data (for example an infinite or NaN cost): nothing
    // was solved.
    r.status = SolveStatus::Error;
    r.solve_time = perf_counter() - t0;
    return out;
  }
  // From here on f's matrix, costs, column bounds and (with columns) row
  // bounds are not read.
  const size_t form_size = f.num_col + f.num_row + f.nnz();
  if (release) release->release_columns();
  if (integer && o.warm_start && o.warm_start_index) {
    // A partial start: only the given entries; HiGHS completes them.
    std::vector<double> given;
    for (int32_t j : *o.warm_start_index) given.push_back((*o.warm_start)[static_cast<size_t>(j)]);
    Ref n = py_int(static_cast<long long>(given.size()));
    Ref idx = np.view(*o.warm_start_index);
    Ref val = np.view(given);
    call_method(h.get(), "setSolution", n.get(), idx.get(), val.get());
  } else if (integer && o.warm_start && o.warm_start->size() == f.num_col) {
    set_start_point(h.get(), np, *o.warm_start);
  }
  if (o.basis_given) call_method(h.get(), "setBasis", options.basis.get());

  // Ctrl-C stops the run through HiGHS's interrupt callbacks, or gives up a
  // run stuck in a phase without them: it then has no values to read.
  const InterruptWatch watch;
  if (release && watch.armed()) return_free_memory(form_size);
  const Ref run_status = run_highs_answering_ctrl_c(h.get(), watch);
  r.solve_time = perf_counter() - t0;
  if (!run_status) {
    watch.settle(true);
    r.status = SolveStatus::Interrupted;
    return out;
  }

  // A run that ends in error (for example a mixed-integer quadratic model,
  // which HiGHS cannot solve) leaves no usable status or solution.
  r.status = highs_status_is(highspy.get(), run_status.get(), "kError")
                 ? SolveStatus::Error
                 : highs_status(h.get(), /*iteration_rule=*/true);
  watch.settle(r.status == SolveStatus::Interrupted);

  if (f.num_col == 0 && r.status == SolveStatus::Unknown) {
    // HiGHS leaves a model without columns unsolved ("model empty"). Every
    // row's activity is then 0: optimal at the empty point when each row
    // admits 0, infeasible otherwise.
    bool feasible = true;
    for (size_t i = 0; i < f.num_row; ++i) {
      feasible = feasible && f.row_lower[i] <= 0.0 && 0.0 <= f.row_upper[i];
    }
    r.status = feasible ? SolveStatus::Optimal : SolveStatus::Infeasible;
    if (feasible) {
      r.objective = f.model_objective(0.0);
      r.primals.emplace();
      if (!integer) r.duals = std::vector<double>(f.num_row, 0.0);
    }
  } else if (r.status == SolveStatus::Optimal || r.status == SolveStatus::TimeLimit ||
             r.status == SolveStatus::Interrupted) {
    Ref key = py_str("objective_function_value");
    Ref pair = call_method(h.get(), "getInfoValue", key.get());
    Ref value = check(PySequence_GetItem(pair.get(), 1));
    const double objective = PyFloat_AsDouble(value.get());
    if (objective == -1.0 && PyErr_Occurred()) throw_already_set();
    Ref sol = call_method(h.get(), "getSolution");
    // A time limit may strike before any feasible point is known.
    if (solution_flag(sol.get(), "value_valid")) {
      r.objective = f.model_objective(objective);
      Ref col_value = get_attr(sol.get(), "col_value");
      r.primals = read_floats(col_value.get());
      if (integer) {
        r.nodes = count_or_zero(readable_info(highspy.get(), h.get(), "mip_node_count"));
        r.gap = float_or_zero(readable_info(highspy.get(), h.get(), "mip_gap"));
      } else if (solution_flag(sol.get(), "dual_valid")) {
        // HiGHS's row duals are d(objective)/d(active row bound) of the
        // minimisation it solved.
        Ref row_dual = get_attr(sol.get(), "row_dual");
        r.duals = model_duals(f, read_floats(row_dual.get()));
      }
      const bool lp = !integer && !(f.hessian && f.hessian->nnz() > 0);
      if (o.ranging && lp && r.status == SolveStatus::Optimal) {
        r.ranging = read_ranging(highspy.get(), h.get(), sol.get(), f, model);
      }
    }
  }
  // Simplex, interior-point (with its crossover), first-order and QP
  // iterations: a QP or an IPM run without crossover counts too.
  uint64_t iterations = 0;
  for (const char* counter : {"simplex_iteration_count", "ipm_iteration_count",
                              "crossover_iteration_count", "pdlp_iteration_count",
                              "qp_iteration_count"}) {
    iterations += count_or_zero(readable_info(highspy.get(), h.get(), counter));
  }
  r.iterations = iterations;
  out.basis = call_method(h.get(), "getBasis");
  return out;
}

}  // namespace

AdapterOutcome solve_with_highs(const StandardForm& f, const ModelData& model,
                                const Options& options) {
  return run_highs(f, model, options, nullptr);
}

AdapterOutcome solve_with_highs_handing_over(StandardForm& f, const ModelData& model,
                                             const Options& options) {
  return run_highs(f, model, options, &f);
}

}  // namespace pelora::py
