// The module functions of the single-objective black-box optimisers. Each
// converts `bounds`, reads its keyword options in its fixed order, runs the
// core algorithm over the Python objective and wraps the outcome.
#include <vector>

#include "core/blackbox/cmaes.hpp"
#include "core/blackbox/cmaes_ipop.hpp"
#include "core/blackbox/differential_evolution.hpp"
#include "core/blackbox/particle_swarm.hpp"
#include "core/blackbox/portfolio.hpp"
#include "core/blackbox/simulated_annealing.hpp"
#include "core/format.hpp"
#include "python/blackbox/evaluate.hpp"
#include "python/blackbox/polish.hpp"
#include "python/registry.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/sequence.hpp"

namespace pelora::py {
namespace {

using namespace blackbox;

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
    // The polish gets whatever `max_evals` leaves; without it, L-BFGS-B's
    // own limit of 15000 calls.
    const uint64_t max_evals = polish ? kw_u64(k, "max_evals").value_or(0) : 0;
    PyObjective f{a[0]};
    bb::RunResult r = run_core([&] { return bb::differential_evolution(bounds, o, f); });
    if (polish) {
      const uint64_t budget =
          max_evals == 0 ? 15000 : (max_evals > r.evaluations ? max_evals - r.evaluations : 0);
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
    PyObjective f{a[0]};
    return new_blackbox_result(
        run_core([&] { return bb::differential_evolution(bounds, o, f); }));
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
    PyObjective f{a[0]};
    return new_blackbox_result(run_core([&] { return bb::particle_swarm(bounds, o, f); }));
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
    PyObjective f{a[0]};
    return new_blackbox_result(run_core([&] { return bb::simulated_annealing(bounds, o, f); }));
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
    bool ipop = false;
    if (auto v = kw_string(k, "variant")) {
      o.variant = *v == "full" ? bb::CmaesVariant::full : bb::CmaesVariant::simple;
      ipop = *v == "ipop";
    }
    auto restarts = kw_size(k, "restarts");
    if (restarts) o.restarts = *restarts;
    PyObjective f{a[0]};
    if (ipop) {
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
      if (auto v = kw_u64(k, "max_evals")) {
        if (*v == 0) throw_value_error("max_evals must be at least 1");
        io.max_evals = *v;
      }
      if (auto v = kw_double(k, "max_time")) io.max_time = *v;
      if (auto v = kw_double(k, "target")) io.target = *v;
      return new_blackbox_result(
          run_core([&] { return bb::cmaes_ipop(bounds, io, f).result; }));
    }
    return new_blackbox_result(run_core([&] { return bb::cmaes(bounds, o, f); }));
  });
}

// --- portfolio and stochastic -----------------------------------------------

const Params<3> kSolvePortfolio{"solve_portfolio()", {"obj_func", "bounds", "max_evals"}, 2,
                                false};

PyObject* solve_portfolio(PyObject*, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kSolvePortfolio, args, kw);
    bb::Bounds bounds = a.convert(1, read_bounds);
    const uint64_t max_evals = a.given(2) ? a.to_count(2) : 5000;
    PyObjective f{a[0]};
    return new_blackbox_result(run_core([&] { return bb::portfolio(bounds, max_evals, f); }));
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
    return new_blackbox_result(
        run_core([&] { return bb::differential_evolution(bounds, o, expected); }));
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
    "solve_cmaes(obj_func, bounds, **kwargs)\n--\n\nSolve using CMA-ES (simplified)."};

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
    "solve_portfolio(obj_func, bounds, max_evals=5000)\n--\n\nPortfolio solver: run DE + PSO + "
    "CMA-ES + SA sequentially, return best.\n(Sequential to avoid GIL deadlock with Python "
    "callbacks.)"};

PyMethodDef solve_parallel_de_def = {
    "solve_parallel_de",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(solve_parallel_de)),
    METH_VARARGS | METH_KEYWORDS,
    "solve_parallel_de(obj_func, bounds, **kwargs)\n--\n\nEnhanced DE with larger population.\n"
    "For truly parallel evaluation of native objectives, use the library's C++ interface."};

}  // namespace pelora::py
