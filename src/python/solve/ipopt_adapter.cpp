// Both Ipopt adapters build one casadi problem {x, f, g} over a symbolic
// column x. The standard-form parts go over in bulk: the cost as one dot
// product, the quadratic part as one bilinear form 0.5*x'Qx over the whole
// symmetric Q (each off-diagonal product counted for (i, j) and (j, i)), the
// linear rows as one sparse matrix product.
#include "python/solve/solver_settings.hpp"
#include "python/solve/ipopt_adapter.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"
#include "python/solve/arrays.hpp"
#include "python/solve/handoff.hpp"
#include "python/solve/interrupt.hpp"
#include "python/solve/nl_casadi.hpp"

namespace pelora::py {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Casadi {
  Ref module;
  Ref dm;
};

Casadi import_casadi(bool nonlinear) {
  Ref module;
  try {
    module = import_module("casadi");
  } catch (const ErrorAlreadySet&) {
    // A nonlinear model keeps its own message; otherwise the import's
    // ImportError names the solver and the package.
    if (!nonlinear || !PyErr_ExceptionMatches(PyExc_ImportError)) throw;
    PyErr_Clear();
    throw_error(PyExc_ImportError, kCasadiMissing);
  }
  Ref dm = get_attr(module.get(), "DM");
  return {std::move(module), std::move(dm)};
}

// The standard form's objective: dot(cost, x) + 0.5 * x'Qx.
Ref form_objective(const Casadi& ca, const SparseHandoff& h, const StandardForm& f, PyObject* x) {
  Ref cost_array = h.array(f.col_cost);
  Ref cost = call(ca.dm.get(), cost_array.get());
  Ref obj = call_method(ca.module.get(), "dot", cost.get(), x);
  if (f.hessian && f.hessian->nnz() > 0) {
    Ref q_matrix = h.csc(full_hessian(f));
    Ref q = call(ca.dm.get(), q_matrix.get());
    Ref quad = call_method(ca.module.get(), "bilin", q.get(), x, x);
    Ref half = py_float(0.5);
    Ref scaled = check(PyNumber_Multiply(quad.get(), half.get()));
    obj = check(PyNumber_Add(obj.get(), scaled.get()));
  }
  return obj;
}

// A x for the form's linear rows.
Ref linear_rows(const Casadi& ca, const SparseHandoff& h, const StandardForm& f, PyObject* x) {
  Ref a_matrix = h.constraint_matrix(f);
  Ref a = call(ca.dm.get(), a_matrix.get());
  return call_method(ca.module.get(), "mtimes", a.get(), x);
}

struct Problem {
  Ref x, f, g;  // g null when there are no constraints
  std::vector<double> lbg, ubg;
};

struct RunResult {
  Ref value;  // result["f"]
  Ref x;      // result["x"]
  std::string status;
  Ref stats;
};

// Creates an Ipopt solver for min x^2 with the one Ipopt option `key` = `value`.
void probe_ipopt_setting(PyObject* casadi, PyObject* key, PyObject* value) {
  Ref sx = get_attr(casadi, "SX");
  Ref x = call_method(sx.get(), "sym", py_str("x").get());
  Ref f = check(PyNumber_Multiply(x.get(), x.get()));
  Ref problem = check(PyDict_New());
  dict_set(problem.get(), "x", x.get());
  dict_set(problem.get(), "f", f.get());
  Ref ipopt_opts = check(PyDict_New());
  dict_set(ipopt_opts.get(), "print_level", py_int(0).get());
  dict_set(ipopt_opts.get(), "sb", py_str("yes").get());
  check_status(PyDict_SetItem(ipopt_opts.get(), key, value));
  Ref opts = check(PyDict_New());
  dict_set(opts.get(), "ipopt", ipopt_opts.get());
  dict_set(opts.get(), "print_time", Py_False);
  call_method(casadi, "nlpsol", py_str("probe").get(), py_str("ipopt").get(), problem.get(),
              opts.get());
}

// nlpsol + the call with start point and bounds; fills the outcome's status,
// primal values (when optimal), iterations and solve time. Returns the
// objective value as Ipopt reports it (only meaningful when optimal).
double run_ipopt(const Casadi& ca, const SparseHandoff& h, const StandardForm& f,
                 const Options& options, Problem& p, double t0, ResultData& r) {
  const SolveOptions& o = options.core;
  const bool with_g = static_cast<bool>(p.g);
  // Ctrl-C from here on: casadi stops Ipopt by itself when a
  // KeyboardInterrupt comes up during the run; the watch tells that apart
  // from other failures, and also keeps an interrupt that casadi absorbs
  // while it builds the solver.
  const InterruptWatch watch(/*raise=*/true);

  // Ipopt takes f and g as dense expressions; a row without entries (or an
  // objective without terms) is a structural zero until densified.
  Ref densify = get_attr(ca.module.get(), "densify");
  Ref problem = check(PyDict_New());
  dict_set(problem.get(), "x", p.x.get());
  dict_set(problem.get(), "f", call(densify.get(), p.f.get()).get());
  if (with_g) dict_set(problem.get(), "g", call(densify.get(), p.g.get()).get());

  Ref ipopt_opts = check(PyDict_New());
  dict_set(ipopt_opts.get(), "print_level", py_int(o.verbose ? 5 : 0).get());
  dict_set(ipopt_opts.get(), "sb", py_str("yes").get());
  if (o.time_limit) {
    dict_set(ipopt_opts.get(), "max_cpu_time", py_float(positive_time_limit(*o.time_limit)).get());
  }
  merge_settings(options, ipopt_opts.get());
  Ref opts = check(PyDict_New());
  dict_set(opts.get(), "ipopt", ipopt_opts.get());
  dict_set(opts.get(), "print_time", py_bool(o.verbose).get());

  Ref name = py_str("solver"), plugin = py_str("ipopt");
  Ref solver = call_blaming(
      "Ipopt", options,
      [&] {
        return call_method(ca.module.get(), "nlpsol", name.get(), plugin.get(), problem.get(),
                           opts.get());
      },
      [&](PyObject* k, PyObject* v) { probe_ipopt_setting(ca.module.get(), k, v); });
  if (watch.settle(true)) {
    r.solve_time = perf_counter() - t0;
    r.solver = "Ipopt";
    r.status = SolveStatus::Interrupted;
    return 0.0;
  }

  Ref kwargs = check(PyDict_New());
  // The warm start goes over whatever its length: casadi names a mismatch.
  const std::vector<double> x0 = o.warm_start ? *o.warm_start : start_point(f);
  dict_set(kwargs.get(), "x0", h.array(x0).get());
  dict_set(kwargs.get(), "lbx", h.array(lower_bounds(f.col_lower)).get());
  dict_set(kwargs.get(), "ubx", h.array(upper_bounds(f.col_upper)).get());
  if (with_g) {
    dict_set(kwargs.get(), "lbg", h.array(lower_bounds(p.lbg)).get());
    dict_set(kwargs.get(), "ubg", h.array(upper_bounds(p.ubg)).get());
  }
  Ref no_args = check(PyTuple_New(0));
  Ref result = Ref::steal(PyObject_Call(solver.get(), no_args.get(), kwargs.get()));
  if (!result) {
    // casadi may pass the KeyboardInterrupt it stopped Ipopt for on up:
    // the run ended for the signal.
    if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) throw_already_set();
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
    if (!watch.settle(true)) {
      PyErr_Restore(t.release(), v.release(), b.release());
      throw_already_set();
    }
    r.solve_time = perf_counter() - t0;
    r.solver = "Ipopt";
    r.status = SolveStatus::Interrupted;
    return 0.0;
  }
  r.solve_time = perf_counter() - t0;
  r.solver = "Ipopt";

  Ref stats = call_method(solver.get(), "stats");
  Ref status = check(PyObject_CallMethod(stats.get(), "get", "s", "return_status"));
  Ref text = check(PyObject_Str(status.get()));
  Py_ssize_t n = 0;
  const char* c = PyUnicode_AsUTF8AndSize(text.get(), &n);
  if (!c) throw_already_set();
  r.status = ipopt_status_from_text(std::string(c, static_cast<size_t>(n)));
  // Ipopt keeps no incumbent: an interrupted run reports no point.
  if (watch.settle(r.status != SolveStatus::Optimal)) r.status = SolveStatus::Interrupted;

  double value = 0.0;
  if (r.status == SolveStatus::Optimal) {
    Ref x = check(PyObject_GetItem(result.get(), py_str("x").get()));
    Ref full = call_method(x.get(), "full");
    Ref flat = call_method(full.get(), "flatten");
    r.primals = read_floats(flat.get());
    Ref fv = check(PyObject_GetItem(result.get(), py_str("f").get()));
    value = to_double(fv.get());
    Ref lam;
    if (f.num_row > 0) {
      lam = Ref::steal(PyObject_GetItem(result.get(), py_str("lam_g").get()));
      if (!lam) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_already_set();
        PyErr_Clear();
      }
    }
    if (lam) {
      // casadi's lam_g multiplies g in the Lagrangian f + lam_g'g, so
      // d(objective)/d(bound of g_i) is -lam_g[i]; the linear rows come
      // first in g.
      Ref lam_full = call_method(lam.get(), "full");
      Ref lam_flat = call_method(lam_full.get(), "flatten");
      const std::vector<double> all = read_floats(lam_flat.get());
      std::vector<double> duals(f.num_row, 0.0);
      for (size_t i = 0; i < f.num_row && i < all.size(); ++i) duals[i] = 0.0 - all[i];
      r.duals = model_duals(f, std::move(duals));
    } else if (f.num_row == 0) {
      r.duals.emplace();
    }
  }
  Ref iters = Ref::steal(PyObject_CallMethod(stats.get(), "get", "s", "iter_count"));
  if (!iters) PyErr_Clear();
  r.iterations = count_or_zero(iters.get());
  return value;
}

// Ipopt would drop cones and treat NaN bounds as infinite.
void check_for_ipopt(const StandardForm& f, const ModelData& model) {
  refuse_cones(f, "Ipopt", "solve without naming a solver (cones go to Clarabel)");
  refuse_nan_bounds(f, model);
}

}  // namespace

SolveStatus ipopt_status_from_text(const std::string& s) {
  if (s == "Solve_Succeeded" || s == "Solved_To_Acceptable_Level") return SolveStatus::Optimal;
  if (s == "Infeasible_Problem_Detected") return SolveStatus::Infeasible;
  if (s == "Unbounded" || s == "Diverging_Iterates") return SolveStatus::Unbounded;
  if (s == "Maximum_CpuTime_Exceeded" || s == "Maximum_WallTime_Exceeded") {
    return SolveStatus::TimeLimit;
  }
  if (s == "Maximum_Iterations_Exceeded") return SolveStatus::IterationLimit;
  return SolveStatus::Unknown;
}

AdapterOutcome solve_with_ipopt(const StandardForm& f, const ModelData& model,
                                const Options& options) {
  return has_nonlinear_terms(model) ? solve_with_ipopt_nonlinear(f, model, options)
                                    : solve_with_ipopt_quadratic(f, model, options);
}

namespace {

// The symbolic decision vector casadi.SX.sym("x", n).
Ref decision_vector(const Casadi& ca, size_t n) {
  Ref sx = get_attr(ca.module.get(), "SX");
  Ref name = py_str("x"), count = py_int(static_cast<long long>(n));
  return call_method(sx.get(), "sym", name.get(), count.get());
}

}  // namespace

AdapterOutcome solve_with_ipopt_quadratic(const StandardForm& f, const ModelData& model,
                                          const Options& options) {
  check_for_ipopt(f, model);
  refuse_nonlinear(model, "The quadratic Ipopt adapter", "use solver=\"ipopt\"");
  double t0 = perf_counter();
  if (impossible_bounds(f, model)) return infeasible_without_solving("Ipopt", t0);
  const Casadi ca = import_casadi(false);
  const SparseHandoff h;
  t0 = perf_counter();  // the packages' imports are not part of the run

  Problem p;
  p.x = decision_vector(ca, f.num_col);
  p.f = form_objective(ca, h, f, p.x.get());
  if (f.num_row > 0) {
    p.g = linear_rows(ca, h, f, p.x.get());
    p.lbg = f.row_lower;
    p.ubg = f.row_upper;
  }
  AdapterOutcome out;
  const double value = run_ipopt(ca, h, f, options, p, t0, out.data);
  if (out.data.status == SolveStatus::Optimal) out.data.objective = f.model_objective(value);
  return out;
}

AdapterOutcome solve_with_ipopt_nonlinear(const StandardForm& f, const ModelData& model,
                                          const Options& options) {
  check_for_ipopt(f, model);
  double t0 = perf_counter();
  if (impossible_bounds(f, model)) return infeasible_without_solving("Ipopt", t0);
  const Casadi ca = import_casadi(true);
  const SparseHandoff h;
  t0 = perf_counter();  // the packages' imports are not part of the run

  Problem p;
  p.x = decision_vector(ca, f.num_col);
  CasadiTranslator tr(ca.module.get(), p.x.get(), f.num_col);

  // The objective in the form's (minimising) sense, constant included: a
  // nonlinear objective is translated and negated for a maximising model;
  // linear and quadratic objectives come from the form, already signed.
  Ref obj = form_objective(ca, h, f, p.x.get());
  if (model.objective) {
    if (const auto* nl = std::get_if<NlExpr>(&*model.objective); nl && !nl->nl_terms.empty()) {
      Ref t = tr.expression(*nl);
      if (f.maximize) t = check(PyNumber_Negative(t.get()));
      obj = check(PyNumber_Add(t.get(), obj.get()));
    }
  }
  if (f.offset != 0.0) {
    Ref offset = py_float(f.offset);
    obj = check(PyNumber_Add(obj.get(), offset.get()));
  }
  p.f = obj;

  std::vector<Ref> parts;
  if (f.num_row > 0) {
    parts.push_back(linear_rows(ca, h, f, p.x.get()));
    p.lbg = f.row_lower;
    p.ubg = f.row_upper;
  }
  for (const NonlinearConstraint& c : model.nl_constraints) {
    parts.push_back(tr.expression(c.body));
    switch (c.sense) {
      case Sense::Le: p.lbg.push_back(-kInf); p.ubg.push_back(c.rhs); break;
      case Sense::Ge: p.lbg.push_back(c.rhs); p.ubg.push_back(kInf); break;
      case Sense::Eq: p.lbg.push_back(c.rhs); p.ubg.push_back(c.rhs); break;
    }
  }
  if (!parts.empty()) {
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    for (size_t i = 0; i < parts.size(); ++i) {
      PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), parts[i].release());  // steals
    }
    Ref vertcat = get_attr(ca.module.get(), "vertcat");
    p.g = check(PyObject_Call(vertcat.get(), tuple.get(), nullptr));
  }

  AdapterOutcome out;
  const double value = run_ipopt(ca, h, f, options, p, t0, out.data);
  if (out.data.status == SolveStatus::Optimal) out.data.objective = f.maximize ? -value : value;
  return out;
}

}  // namespace pelora::py
