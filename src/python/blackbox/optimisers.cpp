// The module functions of the single-objective black-box optimisers. Each
// converts `bounds`, reads its keyword options in its fixed order, runs the
// core algorithm over the Python objective and wraps the outcome.
#include <limits>
#include <algorithm>
#include <vector>

#include "core/blackbox/cmaes.hpp"
#include "core/blackbox/cmaes_bipop.hpp"
#include "core/blackbox/cmaes_ipop.hpp"
#include "core/blackbox/differential_evolution.hpp"
#include "core/blackbox/particle_swarm.hpp"
#include "core/blackbox/portfolio.hpp"
#include "core/blackbox/simulated_annealing.hpp"
#include "core/format.hpp"
#include "python/blackbox/evaluate.hpp"
#include "python/blackbox/frame.hpp"
#include "python/blackbox/polish.hpp"
#include "python/registry.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/call.hpp"
#include "python/runtime/sequence.hpp"

namespace pelora::py {
namespace {

using namespace blackbox;

// Runs `run(objective)` inside the call's frame: the shared keywords set
// the caps, target and monitor of `control`, and with workers or vectorized
// whole generations go through `task` (the picklable per-point wrapper, or
// the per-batch one when vectorized). `local` evaluates one point in this
// process.
template <class Local, class Run>
bb::RunResult framed_run(Frame& frame, Ref task, const char* what, Local& local,
                         bb::RunControl& control, Run&& run, PyObject* direct = nullptr) {
  if (frame.batching()) frame.open(task.get(), what);
  frame.apply(control);
  if (!frame.options().vectorized) direct = nullptr;
  auto batch = [&](std::span<const double> pts, size_t dim, std::span<double> out) {
    batch_values(frame, task.get(), pts, dim, out, local, direct);
  };
  bb::BatchObjective batch_ref(batch);
  if (frame.batching()) control.batch = &batch_ref;
  // Single points (start points, annealing): a vectorized objective gets a
  // one-point list.
  auto single = [&](std::span<const double> x) -> double {
    if (!frame.options().vectorized) return local(x);
    double v = 0.0;
    batch_values(frame, task.get(), x, x.size(), {&v, 1}, local, direct);
    return v;
  };
  control.start = bb::RunControl::Clock::now();
  return run_core([&] { return run(bb::Objective(single)); });
}

// The wrapper that carries `func` to the workers.
Ref objective_task(const FrameOptions& fo, PyObject* func) {
  return call(helper(fo.vectorized ? "_Vectorised" : "_Score"), func);
}

template <class Run>
bb::RunResult run_objective_raw(PyObject* func, PyObject* kwargs, FrameKeys keys,
                                bb::RunControl& control, Run&& run) {
  FrameOptions fo = read_frame_options(kwargs, keys);
  Ref task = objective_task(fo, func);
  Frame frame(std::move(fo));
  PyObjective local{func};
  return framed_run(frame, std::move(task), "obj_func", local, control, std::forward<Run>(run),
                    func);
}

template <class Run>
PyObject* run_objective(PyObject* func, PyObject* kwargs, FrameKeys keys,
                        bb::RunControl& control, Run&& run) {
  return new_blackbox_result(
      run_objective_raw(func, kwargs, keys, control, std::forward<Run>(run)));
}

// --- differential evolution -------------------------------------------------

const Params<2> kSolveDe{"solve_de()", {"obj_func", "bounds"}, 2, true};

PyObject* solve_de(PyObject*, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kSolveDe, args, kw);
    bb::Bounds bounds = a.convert(1, read_bounds);
    PyObject* k = a.extra.get();
    bb::DeOptions o;
    if (auto v = kw_size(k, "pop_size")) o.pop_size = *v;
    if (auto v = kw_u64(k, "max_generations")) o.max_generations = *v;
    if (auto v = kw_double(k, "f")) o.f = *v;
    if (auto v = kw_double(k, "cr")) o.cr = *v;
    if (auto v = kw_u64(k, "seed")) o.seed = *v;
    if (auto v = kw_double(k, "tol")) o.tol = *v;
    const bool polish = kw_bool(k, "polish").value_or(false);
    bb::RunResult r = run_objective_raw(a[0], k, {}, o.control, [&](bb::Objective f) {
      return bb::differential_evolution(bounds, o, f);
    });
    if (polish) {
      // The polish gets whatever `max_evals` leaves; without it, L-BFGS-B's
      // own limit of 15000 calls.
      const uint64_t cap = o.control.max_evals;
      const uint64_t budget = cap == std::numeric_limits<uint64_t>::max()
                                  ? 15000
                                  : (cap > r.evaluations ? cap - r.evaluations : 0);
      if (budget > 0) blackbox::polish(a[0], bounds, r, budget);
    }
    return new_blackbox_result(std::move(r));
  });
}

const Params<2> kSolveParallelDe{"solve_parallel_de()", {"obj_func", "bounds"}, 2, true};

// Same algorithm with a larger default population and fixed F, CR and tol;
// the evaluations are sequential like everywhere else.
PyObject* solve_parallel_de(PyObject*, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kSolveParallelDe, args, kw);
    bb::Bounds bounds = a.convert(1, read_bounds);
    PyObject* k = a.extra.get();
    bb::DeOptions o;
    auto pop = kw_size(k, "pop_size");
    // Absent: 15 * dim; an explicit 0 falls back to the plain 10 * dim.
    o.pop_size = pop ? *pop : 15 * bounds.dim();
    if (auto v = kw_u64(k, "max_generations")) o.max_generations = *v;
    if (auto v = kw_u64(k, "seed")) o.seed = *v;
    return run_objective(a[0], k, {}, o.control, [&](bb::Objective f) {
      return bb::differential_evolution(bounds, o, f);
    });
  });
}

// --- particle swarm, annealing, CMA-ES --------------------------------------

const Params<2> kSolvePso{"solve_pso()", {"obj_func", "bounds"}, 2, true};

PyObject* solve_pso(PyObject*, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kSolvePso, args, kw);
    bb::Bounds bounds = a.convert(1, read_bounds);
    PyObject* k = a.extra.get();
    bb::PsoOptions o;
    if (auto v = kw_size(k, "pop_size")) o.pop_size = *v;
    if (auto v = kw_u64(k, "max_iterations")) o.max_iterations = *v;
    if (auto v = kw_u64(k, "seed")) o.seed = *v;
    if (auto v = kw_double(k, "tol")) o.tol = *v;
    return run_objective(a[0], k, {}, o.control,
                         [&](bb::Objective f) { return bb::particle_swarm(bounds, o, f); });
  });
}

const Params<2> kSolveSa{"solve_sa()", {"obj_func", "bounds"}, 2, true};

PyObject* solve_sa(PyObject*, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kSolveSa, args, kw);
    bb::Bounds bounds = a.convert(1, read_bounds);
    PyObject* k = a.extra.get();
    bb::SaOptions o;
    if (auto v = kw_u64(k, "max_iterations")) o.max_iterations = *v;
    if (auto v = kw_u64(k, "seed")) o.seed = *v;
    if (auto v = kw_double(k, "temp_init")) o.temp_init = *v;
    if (auto v = kw_double(k, "cooling_rate")) o.cooling_rate = *v;
    return run_objective(a[0], k, {.workers = false}, o.control, [&](bb::Objective f) {
      return bb::simulated_annealing(bounds, o, f);
    });
  });
}

const Params<2> kSolveCmaes{"solve_cmaes()", {"obj_func", "bounds"}, 2, true};

PyObject* solve_cmaes(PyObject*, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kSolveCmaes, args, kw);
    bb::Bounds bounds = a.convert(1, read_bounds);
    PyObject* k = a.extra.get();
    bb::CmaesOptions o;
    auto pop_size = kw_size(k, "pop_size");
    if (pop_size) o.pop_size = *pop_size;
    auto max_generations = kw_u64(k, "max_generations");
    if (max_generations) o.max_generations = *max_generations;
    auto sigma = kw_double(k, "sigma");
    if (sigma) o.sigma = *sigma;
    if (auto v = kw_u64(k, "seed")) o.seed = *v;
    auto tol = kw_double(k, "tol");
    if (tol) o.tol = *tol;
    // The variants, as documented; a misspelt name is refused, not run as
    // another variant.
    size_t variant = 0;
    if (auto v = kw_string(k, "variant")) {
      variant = choice_of(*v, {"simple", "full", "ipop", "bipop"}, "variant");
      o.variant = variant == 1 ? bb::CmaesVariant::full : bb::CmaesVariant::simple;
    }
    auto restarts = kw_size(k, "restarts");
    if (restarts) o.restarts = *restarts;
    if (variant >= 2) {
      // Its own defaults: only the settings given override them.
      bb::IpopOptions io;
      io.seed = o.seed;
      if (pop_size) io.pop_size = *pop_size;
      if (max_generations) io.max_generations = *max_generations;
      if (sigma) {
        if (!(*sigma > 0.0)) {
          throw_value_error("sigma must be a positive finite number, got " + plain_number(*sigma));
        }
        io.sigma = *sigma;
      }
      if (tol) io.tol_fun = *tol;
      if (restarts) io.max_restarts = *restarts;
      // The shared keywords come through the frame: its caps, target and
      // monitor (callback, verbose) steer the run.
      bb::RunControl control;
      return new_blackbox_result(run_objective_raw(a[0], k, {}, control, [&](bb::Objective g) {
        // A cap of 0 still lets the box centre be evaluated, as every
        // optimiser's start point is.
        if (control.max_evals != std::numeric_limits<uint64_t>::max()) {
          io.max_evals = std::max<uint64_t>(1, control.max_evals);
        }
        io.max_time = control.max_time;
        if (control.target) io.target = *control.target;
        io.monitor = control.monitor;
        io.batch = control.batch;
        return (variant == 2 ? bb::cmaes_ipop(bounds, io, g) : bb::cmaes_bipop(bounds, io, g))
            .result;
      }));
    }
    return run_objective(a[0], k, {}, o.control,
                         [&](bb::Objective g) { return bb::cmaes(bounds, o, g); });
  });
}

// --- portfolio and stochastic -----------------------------------------------

const Params<8> kSolvePortfolio{
    "solve_portfolio()",
    {"obj_func", "bounds", "max_evals", "max_time", "callback", "verbose", "workers", "vectorized"},
    2, false};

PyObject* solve_portfolio(PyObject*, PyObject* args, PyObject* kw) {
  return boundary([&] {
    check_positional("solve_portfolio()", args, 2, 3);  // the rest are keyword-only
    auto a = match(kSolvePortfolio, args, kw);
    bb::Bounds bounds = a.convert(1, read_bounds);
    const uint64_t max_evals = a.given(2) ? a.to_count(2) : 5000;
    // The shared keywords are named parameters here; max_evals keeps its
    // own meaning (the run lengths).
    Ref shared = check(PyDict_New());
    for (size_t i = 3; i < 8; ++i) {
      if (a.given(i)) check_status(PyDict_SetItemString(shared.get(), kSolvePortfolio.names[i], a[i]));
    }
    bb::RunControl control;
    return run_objective(a[0], shared.get(), {.max_evals = false, .target = false}, control,
                         [&](bb::Objective f) { return bb::portfolio(bounds, max_evals, f, control); });
  });
}

// `scenarios`: any sequence except a str, copied into a list of its items.
Ref read_scenarios(PyObject* seq) {
  if (PyUnicode_Check(seq)) throw_type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(seq)) throw_cannot_convert(seq, "Sequence");
  Ref list = check(PyList_New(0));
  for_each_item(seq, [&](PyObject* item) { check_status(PyList_Append(list.get(), item)); });
  return list;
}

const Params<3> kStochasticSolve{
    "stochastic_solve()", {"scenario_func", "bounds", "scenarios"}, 3, true};

PyObject* stochastic_solve(PyObject*, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kStochasticSolve, args, kw);
    bb::Bounds bounds = a.convert(1, read_bounds);
    Ref scenarios = a.convert(2, read_scenarios);
    PyObject* k = a.extra.get();
    bb::DeOptions o;
    o.max_generations = 500;
    if (auto v = kw_u64(k, "max_generations")) o.max_generations = *v;
    if (auto v = kw_u64(k, "seed")) o.seed = *v;
    if (auto v = kw_size(k, "pop_size")) o.pop_size = *v;

    PyObject* func = a[0];
    PyObject* list = scenarios.get();
    const Py_ssize_t n = PyList_Size(list);
    // The unweighted mean over the scenarios, in list order; no scenarios
    // gives 0 / 0 = NaN, which loses every selection.
    auto expected = [&](std::span<const double> x) {
      double sum = 0.0;
      for (Py_ssize_t s = 0; s < n; ++s) sum += evaluate2(func, x, PyList_GetItem(list, s));
      return sum / static_cast<double>(n);
    };
    FrameOptions fo = read_frame_options(k);
    Ref task = call(helper(fo.vectorized ? "_VectorisedMean" : "_Mean"), func, list);
    Frame frame(std::move(fo));
    return new_blackbox_result(framed_run(frame, std::move(task), "scenario_func", expected,
                                          o.control, [&](bb::Objective f) {
                                            return bb::differential_evolution(bounds, o, f);
                                          }));
  });
}

}  // namespace

PyMethodDef solve_de_def = {
    "solve_de", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(solve_de)),
    METH_VARARGS | METH_KEYWORDS,
    "solve_de(obj_func, bounds, **kwargs)\n--\n\nSolve a black-box optimisation problem using "
    "Differential Evolution.\nobj_func: callable(x: list[float]) -> float\nbounds: list of "
    "(lower, upper) tuples"};

PyMethodDef solve_pso_def = {
    "solve_pso", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(solve_pso)),
    METH_VARARGS | METH_KEYWORDS,
    "solve_pso(obj_func, bounds, **kwargs)\n--\n\nSolve a black-box optimisation problem using "
    "Particle Swarm Optimisation."};

PyMethodDef solve_sa_def = {
    "solve_sa", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(solve_sa)),
    METH_VARARGS | METH_KEYWORDS,
    "solve_sa(obj_func, bounds, **kwargs)\n--\n\nSolve a black-box optimisation problem using "
    "Simulated Annealing."};

PyMethodDef solve_cmaes_def = {
    "solve_cmaes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(solve_cmaes)),
    METH_VARARGS | METH_KEYWORDS,
    "solve_cmaes(obj_func, bounds, **kwargs)\n--\n\n"
    "Solve using CMA-ES.\nvariant=\"simple\" (default): a diagonal evolution strategy with a one-fifth-success step-size rule; \"full\": covariance matrix adaptation (restarts=n doubles the population at each restart); \"ipop\": covariance matrix adaptation with weighted recombination, active rank-mu updates and restarts that double the population, the recommended first choice; \"bipop\": the same, with restarts alternating between doubling the population and short runs with small populations and small initial steps (given max_evals, the first restart is large and small runs go next while they have spent less than half of what the large restarts have; otherwise whichever regime has spent fewer evaluations goes next), a restart settling well above the best value found giving way early, and offspring up to two standard deviations past a bound that the mean has crossed going unpenalised once the mean is outside the box in half the coordinates (an optimum at a corner is then hit exactly). Names match in any case; another name raises ValueError. ipop and bipop end the call, converged, once the best value is one that a run ending by flat values or tiny steps reached and the last two restarts improved it by no more than tol (relative to max(1, |best|)); giving max_evals or restarts asks for every evaluation or restart they allow instead."};

PyMethodDef stochastic_solve_def = {
    "stochastic_solve",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stochastic_solve)),
    METH_VARARGS | METH_KEYWORDS,
    "stochastic_solve(scenario_func, bounds, scenarios, **kwargs)\n--\n\nScenario-based "
    "stochastic optimisation.\nSolves: min E[f(x, scenario)] over scenarios.\nscenario_func: "
    "callable(x: list[float], scenario: dict) -> float\nscenarios: list of dicts, each "
    "representing a scenario with probability"};

PyMethodDef solve_portfolio_def = {
    "solve_portfolio",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(solve_portfolio)),
    METH_VARARGS | METH_KEYWORDS,
    "solve_portfolio(obj_func, bounds, max_evals=5000, *, max_time=None, callback=None, "
    "verbose=False, workers=None, vectorized=False)\n--\n\nPortfolio solver: run DE + PSO + "
    "CMA-ES + SA sequentially, return best.\n(Sequential to avoid GIL deadlock with Python "
    "callbacks.)\nWith workers, each member evaluates its generations on the workers; annealing "
    "stays in this process."};

PyMethodDef solve_parallel_de_def = {
    "solve_parallel_de",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(solve_parallel_de)),
    METH_VARARGS | METH_KEYWORDS,
    "solve_parallel_de(obj_func, bounds, **kwargs)\n--\n\nEnhanced DE with larger population.\n"
    "For truly parallel evaluation of native objectives, use the library's C++ interface.\n"
    "For Python objectives, pass workers= (a process count or a map-like callable)."};

}  // namespace pelora::py
