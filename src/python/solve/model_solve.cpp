#include "python/solve/model_solve.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/model/descent_ray.hpp"
#include "core/model/form_cleanup.hpp"
#include "core/model/standard_form.hpp"
#include "python/algebra/objects.hpp"
#include "python/model/model_object.hpp"
#include "python/result/result_object.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/imports.hpp"
#include "python/runtime/messages.hpp"
#include "python/runtime/sigint.hpp"
#include "python/solve/dispatch.hpp"
#include "python/solve/highs_adapter.hpp"
#include "python/solve/options_reader.hpp"

namespace pelora::py {

const char kModelSolveDoc[] =
    "solve($self, **kwargs)\n--\n\nSolve the model. Auto-detects problem type and selects best "
    "solver.\n\nOptions:\n  solver: str \xe2\x80\x94 force a specific solver (\"highs\", \"osqp\", "
    "\"scipy\")\n  time_limit: float \xe2\x80\x94 seconds\n  gap: float \xe2\x80\x94 MIP gap "
    "tolerance\n  verbose: bool \xe2\x80\x94 solver output\n  threads: int \xe2\x80\x94 number of "
    "threads\n  warm_start: Result \xe2\x80\x94 previous solution for warm starting\n  presolve: "
    "bool \xe2\x80\x94 run presolve (default True)\n  ranging: bool \xe2\x80\x94 LP cost and "
    "right-hand-side ranges in sensitivity() (HiGHS, continuous LP)\n"
    "  solver_options: dict \xe2\x80\x94 the chosen solver's own settings, applied after\n"
    "    the options above (so they override them); a key the solver refuses raises\n"
    "    ValueError naming it. Common ones:\n"
    "      HiGHS: \"simplex_iteration_limit\", \"mip_feasibility_tolerance\", \"log_to_console\"\n"
    "      OSQP: \"max_iter\", \"eps_abs\", \"eps_rel\", \"polishing\"\n"
    "      Clarabel: \"max_iter\", \"tol_gap_rel\", \"tol_feas\", \"verbose\"\n"
    "      Ipopt: \"max_iter\", \"tol\", \"print_level\"\n"
    "      SCIP: \"limits/nodes\", \"numerics/feastol\", \"display/verblevel\"\n"
    "      SciPy/SLSQP: \"maxiter\", \"ftol\", \"disp\"";

namespace {

// A small mixed-integer model first tries its LP relaxation.
constexpr size_t kRelaxationMaxColumns = 4000;
constexpr double kIntegralTolerance = 1e-6;
// The rounded point must meet every row and bound this closely (relative);
// otherwise the full mixed-integer solve runs.
constexpr double kRoundedFeasibility = 1e-9;

constexpr Params<0> kSolveParams{"Model.solve()", {}, 0, true};

// The relaxation of `form` through HiGHS, kept when it is optimal and already
// integral (integer columns then rounded). Any Python exception it raises is
// discarded: the full solve follows.
std::optional<AdapterOutcome> try_relaxation(StandardForm& form, const ModelData& model,
                                             const Options& options) {
  // The form's integrality is swapped out for zeros for the length of the
  // relaxed solve and restored on every path.
  std::vector<int32_t> integrality(form.num_col, 0);
  form.integrality.swap(integrality);
  struct Restore {
    StandardForm& f;
    std::vector<int32_t>& saved;
    ~Restore() { f.integrality.swap(saved); }
  } restore{form, integrality};

  std::optional<AdapterOutcome> out;
  // Interrupts and exits are not solver failures: they go on up.
  if (!ran_or_cleared([&] { out = solve_with_highs(form, model, options); })) return std::nullopt;
  ResultData& r = out->data;
  if (r.status == SolveStatus::Interrupted) {
    // Ctrl-C during the relaxation ends the solve; the relaxation's point
    // is no integer solution.
    r.objective.reset();
    r.primals.reset();
    r.duals.reset();
    return out;
  }
  if (r.status != SolveStatus::Optimal || !r.primals ||
      !integral_at(integrality, *r.primals, kIntegralTolerance)) {
    return std::nullopt;
  }
  std::vector<double> rounded = *r.primals;
  round_integer_columns(integrality, rounded);
  if (!feasible_at(form, rounded, kRoundedFeasibility)) return std::nullopt;
  // The objective is the model's own at the point returned, not the
  // relaxation's value before rounding.
  r.objective = form.model_objective(form_objective_at(form, rounded));
  r.primals = std::move(rounded);
  r.nodes.reset();
  r.gap.reset();
  return out;
}

// The start-point forms the option reader leaves to the model: a dict
// {Var: value} (all variables: a full start; some: a partial one) and the
// length of a list, which must be one value per variable.
void read_start_forms(const ModelData& model, PyObject* kwargs, SolveOptions& o) {
  PyObject* w = kwargs && PyDict_Check(kwargs) ? PyDict_GetItemString(kwargs, "warm_start") : nullptr;
  if (!w || w == Py_None) return;
  const size_t n = model.variables.size();
  if (PyDict_Check(w)) {
    std::vector<std::pair<VarIndex, double>> given;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(w, &pos, &key, &value)) {
      if (!is_var(key)) throw_type_error("warm_start: dict keys must be Var");
      const VarValue& v = var_value(key);
      if (!owns(model, v.owner(), v.index + size_t{1})) {
        ForeignVariable e(v.owner(), v.index);
        e.name = v.name();
        throw e;
      }
      const double x = PyFloat_AsDouble(value);
      if (x == -1.0 && PyErr_Occurred()) throw_already_set();
      given.emplace_back(v.index, x);
    }
    std::sort(given.begin(), given.end());
    // One value per variable: the given ones, and for the others 0 moved
    // into their bounds (a start point for the solvers that take a whole
    // one); `warm_start_index` says which were given.
    o.warm_start.emplace(n);
    for (size_t i = 0; i < n; ++i) {
      const VarRecord& v = model.variables[i];
      double x = 0.0;
      if (std::isfinite(v.lower) && x < v.lower) x = v.lower;
      if (std::isfinite(v.upper) && x > v.upper) x = v.upper;
      (*o.warm_start)[i] = x;
    }
    for (const auto& g : given) (*o.warm_start)[g.first] = g.second;
    if (given.size() == n) return;
    o.warm_start_index.emplace();
    for (const auto& g : given) o.warm_start_index->push_back(static_cast<int32_t>(g.first));
    return;
  }
  if (o.warm_start && o.warm_start->size() != n) {
    throw_value_error("warm_start: " + std::to_string(o.warm_start->size()) + " values for " +
                      std::to_string(n) + " variables (give one per variable, or a dict {Var: value})");
  }
}

// Leaves in `options` what the call has left of its `time_limit`, counted
// from `started`: the relaxation tried first and the solve after it share
// one budget.
void spend_budget(Options& options, std::optional<double> budget, double started) {
  if (!budget || !(*budget > 0.0) || std::isinf(*budget)) return;
  options.core.time_limit = std::max(0.0, *budget - (perf_counter() - started));
}

PyObject* solve_locked(ModelData& model, PyObject* kwargs) {
  const double started = perf_counter();
  StandardForm form = standard_form_of(model);
  Options options = read_solve_options(kwargs);
  read_start_forms(model, kwargs, options.core);
  const SolveOptions& o = options.core;
  const std::optional<double> budget = o.time_limit;
  check_sigint();

  if (o.scale_cleanup) clean_tiny_bounds(form);
  const size_t model_rows = form.num_row;
  std::vector<uint32_t> kept;
  if (o.eliminate_redundant) {
    kept = eliminate_redundant_rows(form);
    if (kept.size() < model_rows && o.verbose) {
      write_stderr("[pelora-opt 18.s.3] eliminated " + std::to_string(model_rows - kept.size()) +
                   " provably-redundant rows (" + std::to_string(kept.size()) + " remain)\n");
    }
  }
  const bool reduced = o.eliminate_redundant && kept.size() < model_rows;

  const ProblemType type = classify_problem(model);
  const std::string name = choose_solver(options.solver, form, type);
  const ImportPurpose purpose("solver '" + (uses_highs(name) ? std::string("highs") : name) + "'");
  if (auto why = integer_cone_problem(options.solver.has_value(), form)) {
    // Answering with the continuous relaxation would pass fractional
    // integers off as the solution.
    error_line("[pelora-opt] error: " + *why);
    AdapterOutcome refused;
    refused.data.status = SolveStatus::Error;
    refused.data.solver = "none";
    return pack_result(std::move(refused), snapshot_of(model));
  }
  std::optional<AdapterOutcome> outcome;
  bool relaxed_first = false;
  // HiGHS's QP method takes convexity for granted: a relaxation with a
  // non-convex objective would come back "optimal" at a stationary point.
  if (form.has_integer() && form.num_col <= kRelaxationMaxColumns &&
      relaxation_first(name, options.solver.has_value(), type) && !obviously_non_convex(form)) {
    relaxed_first = true;
    if (uses_highs(name) || !options.solver_settings) {
      outcome = try_relaxation(form, model, options);
    } else {
      // The user's settings are for the final solver, not for HiGHS.
      Options relaxed = options;
      relaxed.solver_settings = Ref();
      outcome = try_relaxation(form, model, relaxed);
    }
  }
  if (!outcome) {
    warn_if_integrality_ignored(name, form);
    if (relaxed_first) spend_budget(options, budget, started);
    // Below, only the form's sizes and integrality are read: HiGHS may have
    // its columns once it holds a copy.
    outcome = uses_highs(name) ? solve_with_highs_handing_over(form, model, options)
                               : adapter_for(name)(form, model, options);
  }

  // Duals follow the model's rows: an eliminated row's dual is 0.
  if (reduced && outcome->data.duals) {
    outcome->data.duals = expand_row_duals(*outcome->data.duals, kept, model_rows);
  }
  // Ranging asked for is always answered, with empty lists where this solve
  // has none; ranges of a reduced row set do not describe the model's rows,
  // nor do those of an integer model's relaxation.
  if (o.ranging && (!outcome->data.ranging || reduced || form.has_integer())) {
    outcome->data.ranging.emplace();
  }
  return pack_result(std::move(*outcome), snapshot_of(model));
}

}  // namespace

StandardForm standard_form_of(const ModelData& model) {
  try {
    StandardForm form = build_standard_form(model);
    widen_infinite_bounds(form);
    return form;
  } catch (const InvalidModel& e) {
    throw_value_error(e.what());
  }
}

std::shared_ptr<const ModelSnapshot> snapshot_of(const ModelData& model) {
  auto snap = std::make_shared<ModelSnapshot>();
  snap->var_names = model.var_names;
  snap->variables = model.variables;
  snap->constraints = model.constraints;
  snap->model = model.id;
  snap->origins = model.origins;
  snap->row_ids = model.row_ids;
  return snap;
}

PyObject* pack_result(AdapterOutcome outcome, std::shared_ptr<const ModelSnapshot> snapshot) {
  ResultValue v;
  v.data = std::move(outcome.data);
  // A solver's -0.0 (a binary at zero, say) prints as "-0.0": the value is 0.
  if (v.data.primals) {
    for (double& x : *v.data.primals) x += 0.0;
  }
  v.data.snapshot = std::move(snapshot);
  v.basis = std::move(outcome.basis);
  return new_result(std::move(v));
}

PyObject* model_solve(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&] {
    auto a = match(kSolveParams, args, kwargs);
    PyObject* options = a.extra.get();
    // Ctrl-C from here to the return (the wait for the model included) is
    // held back and answered at the solve's check points: a package run
    // ends "interrupted", anywhere else the call raises KeyboardInterrupt.
    DeferSigint hold_ctrl_c;
    Ref result = check(
        with_model_lock(self, [&](ModelData& model) { return solve_locked(model, options); }));
    hold_ctrl_c.finish();
    return result.release();
  });
}

}  // namespace pelora::py
