#include "python/solve/model_solve.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/model/descent_ray.hpp"
#include "core/model/form_cleanup.hpp"
#include "core/model/standard_form.hpp"
#include "python/model/model_object.hpp"
#include "python/result/result_object.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"
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

PyObject* solve_locked(ModelData& model, PyObject* kwargs) {
  StandardForm form = standard_form_of(model);
  Options options = read_solve_options(kwargs);
  const SolveOptions& o = options.core;
  // A start point is one value per variable on every route (Ipopt would
  // fail inside casadi, HiGHS and SCIP would drop it unseen).
  if (o.warm_start && o.warm_start->size() != form.num_col) {
    throw_value_error("warm_start has " + std::to_string(o.warm_start->size()) + " values for " +
                      std::to_string(form.num_col) + " variables");
  }

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
  if (auto why = integer_cone_problem(options.solver.has_value(), form)) {
    // Answering with the continuous relaxation would pass fractional
    // integers off as the solution.
    write_stderr("[pelora-opt] error: " + *why + "\n");
    AdapterOutcome refused;
    refused.data.status = SolveStatus::Error;
    refused.data.solver = "none";
    return pack_result(std::move(refused), snapshot_of(model));
  }
  std::optional<AdapterOutcome> outcome;
  // HiGHS's QP method takes convexity for granted: a relaxation with a
  // non-convex objective would come back "optimal" at a stationary point.
  if (form.has_integer() && form.num_col <= kRelaxationMaxColumns &&
      relaxation_first(name, options.solver.has_value(), type) && !obviously_non_convex(form)) {
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
    return build_standard_form(model);
  } catch (const InvalidModel& e) {
    throw_value_error(e.what());
  }
}

std::shared_ptr<const ModelSnapshot> snapshot_of(const ModelData& model) {
  auto snap = std::make_shared<ModelSnapshot>();
  snap->var_names = model.var_names;
  snap->variables = model.variables;
  snap->constraints = model.constraints;
  return snap;
}

PyObject* pack_result(AdapterOutcome outcome, std::shared_ptr<const ModelSnapshot> snapshot) {
  ResultValue v;
  v.data = std::move(outcome.data);
  v.data.snapshot = std::move(snapshot);
  v.basis = std::move(outcome.basis);
  return new_result(std::move(v));
}

PyObject* model_solve(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&] {
    auto a = match(kSolveParams, args, kwargs);
    PyObject* options = a.extra.get();
    return with_model_lock(self, [&](ModelData& model) { return solve_locked(model, options); });
  });
}

}  // namespace pelora::py
