// pareto_frontier: the weighted-sum sweep for two objectives and the genetic
// engines (NSGA-II, NSGA-III) for any number, over Python objectives.
#include <Python.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/moo/nsga.hpp"
#include "core/moo/weighted_sum.hpp"
#include "python/blackbox/evaluate.hpp"
#include "python/blackbox/frame.hpp"
#include "python/runtime/call.hpp"
#include "python/moo/convert.hpp"
#include "python/registry.hpp"
#include "python/runtime/args.hpp"

namespace pelora::py {

namespace {

namespace bb = pelora::blackbox;
namespace mo = pelora::moo;
using blackbox::evaluate;
using blackbox::float_list;

enum class Engine { WeightedSum, Nsga2, Nsga3 };

// Keyword options; a value that fails conversion leaves the default.
struct ParetoOptions {
  uint64_t seed = 42;
  std::optional<std::string> method;
  std::optional<size_t> pop_size;
  uint64_t generations = 250;
  size_t divisions = 12;
};

ParetoOptions read_options(PyObject* kwargs) {
  ParetoOptions o;
  if (auto v = moo::lenient([&] { return blackbox::kw_u64(kwargs, "seed"); })) o.seed = *v;
  o.method = moo::lenient([&] { return blackbox::kw_string(kwargs, "method"); });
  o.pop_size = moo::lenient([&] { return blackbox::kw_size(kwargs, "pop_size"); });
  if (auto v = moo::lenient([&] { return blackbox::kw_u64(kwargs, "generations"); })) {
    o.generations = *v;
  }
  if (auto v = moo::lenient([&] { return blackbox::kw_size(kwargs, "das_dennis_divisions"); })) {
    o.divisions = *v;
  }
  return o;
}

Engine choose_engine(const ParetoOptions& o, size_t m) {
  if (o.method) {
    // A misspelt method is refused rather than run as the sweep.
    const Engine named[] = {Engine::WeightedSum, Engine::Nsga2, Engine::Nsga3};
    return named[blackbox::choice_of(*o.method, {"weighted_sum", "nsga2", "nsga3"}, "method")];
  }
  if (m == 2) return Engine::WeightedSum;
  return m == 3 ? Engine::Nsga2 : Engine::Nsga3;
}

// Every objective at x, in list order, each through `evaluate` (a failing
// objective scores +inf for itself only).
struct PyObjectives {
  const std::vector<Ref>* funcs;
  void operator()(std::span<const double> x, std::span<double> out) const {
    for (size_t k = 0; k < funcs->size(); ++k) out[k] = evaluate((*funcs)[k].get(), x);
  }
};

void set_item(PyObject* dict, const char* key, Ref value) {
  check_status(PyDict_SetItemString(dict, key, value.get()));
}

Ref sweep_items(const std::vector<mo::SweepPoint>& points) {
  Ref list = check(PyList_New(0));
  for (const mo::SweepPoint& p : points) {
    Ref d = check(PyDict_New());
    set_item(d.get(), "x", float_list(p.x));
    const double w[2] = {p.weight, 1.0 - p.weight};
    set_item(d.get(), "weights", float_list(w));
    set_item(d.get(), "objectives", float_list(p.objectives));
    check_status(PyList_Append(list.get(), d.get()));
  }
  return list;
}

Ref nsga_items(const std::vector<mo::NsgaMember>& front) {
  Ref list = check(PyList_New(0));
  for (const mo::NsgaMember& mbr : front) {
    Ref d = check(PyDict_New());
    set_item(d.get(), "x", float_list(mbr.x));
    set_item(d.get(), "objectives", float_list(mbr.objectives));
    set_item(d.get(), "rank", check(PyLong_FromUnsignedLong(mbr.rank)));
    const double c = std::isfinite(mbr.crowding) ? mbr.crowding
                                                  : std::numeric_limits<double>::infinity();
    set_item(d.get(), "crowding", check(PyFloat_FromDouble(c)));
    check_status(PyList_Append(list.get(), d.get()));
  }
  return list;
}

// 5 * max(n_points, 2) by default; a given value below 5 becomes 4.
size_t population(const ParetoOptions& o, size_t n_points) {
  if (o.pop_size) return *o.pop_size < 5 ? 4 : *o.pop_size;
  const size_t n = std::max<size_t>(n_points, 2);
  return n > std::numeric_limits<size_t>::max() / 5 ? std::numeric_limits<size_t>::max() : 5 * n;
}

// The sweep's runs in worker processes, one task per weight; the points
// come back in weight order.
std::vector<mo::SweepPoint> remote_sweep(blackbox::Frame& frame, const std::vector<Ref>& funcs,
                                         const bb::Bounds& bounds, size_t n_points,
                                         uint64_t seed) {
  Ref box = check(PyList_New(0));
  for (size_t k = 0; k < bounds.dim(); ++k) {
    Ref pair = check(Py_BuildValue("(dd)", bounds.lower[k], bounds.upper[k]));
    check_status(PyList_Append(box.get(), pair.get()));
  }
  Ref settings = check(PyDict_New());
  const bb::DeOptions de = mo::sweep_options(seed, 0);
  Ref gens = check(PyLong_FromUnsignedLongLong(de.max_generations));
  check_status(PyDict_SetItemString(settings.get(), "max_generations", gens.get()));
  check_status(PyDict_SetItemString(settings.get(), "f", py_float(de.f).get()));
  check_status(PyDict_SetItemString(settings.get(), "cr", py_float(de.cr).get()));
  check_status(PyDict_SetItemString(settings.get(), "tol", py_float(de.tol).get()));
  if (frame.options().max_time) {
    check_status(PyDict_SetItemString(settings.get(), "max_time",
                                      py_float(*frame.options().max_time).get()));
  }
  // The runs go on side by side, so a max_evals budget is shared out
  // beforehand: each run gets an equal part, its look at its best point
  // included. A budget too small for every run's first generation runs the
  // first weights only, as the one-process sweep, which spends the budget
  // in weight order, ends early.
  size_t runs = n_points;
  if (const auto budget = frame.options().max_evals) {
    const uint64_t first = bb::de_population(bounds, de) + 1;
    if (*budget / n_points < first) runs = static_cast<size_t>(std::max<uint64_t>(1, *budget / first));
    const uint64_t share = *budget / runs;
    Ref cap = check(PyLong_FromUnsignedLongLong(share > 0 ? share - 1 : 0));
    check_status(PyDict_SetItemString(settings.get(), "max_evals", cap.get()));
  }
  Ref task = call(blackbox::helper("_SweepRun"), funcs[0].get(), funcs[1].get(), box.get(),
                  settings.get());
  frame.open(task.get(), "objectives");
  Ref items = check(PyList_New(0));
  for (size_t i = 0; i < runs; ++i) {
    Ref w = py_float(mo::sweep_weight(i, n_points));
    Ref s = check(PyLong_FromUnsignedLongLong(mo::sweep_seed(seed, i)));
    Ref item = check(PyTuple_Pack(2, w.get(), s.get()));
    check_status(PyList_Append(items.get(), item.get()));
  }
  Ref results = frame.map(task.get(), items.get(), true);
  std::vector<mo::SweepPoint> points;
  uint64_t made = 0;
  const auto start = bb::RunControl::Clock::now();
  for (size_t i = 0; i < runs; ++i) {
    PyObject* r = PyList_GetItem(results.get(), static_cast<Py_ssize_t>(i));
    mo::SweepPoint p;
    p.weight = mo::sweep_weight(i, n_points);
    if (!PyTuple_Check(r) || PyTuple_Size(r) != 3 ||
        !moo::read_floats_or_clear(PyTuple_GetItem(r, 0), p.x) ||
        !moo::read_floats_or_clear(PyTuple_GetItem(r, 1), p.objectives) ||
        p.objectives.size() != 2) {
      throw_value_error("workers returned a malformed result for sweep point " +
                        std::to_string(i));
    }
    made += PyLong_AsUnsignedLongLong(PyTuple_GetItem(r, 2)) + 1;
    if (PyErr_Occurred()) throw_already_set();
    const double value = p.weight * p.objectives[0] + (1.0 - p.weight) * p.objectives[1];
    bb::Progress progress{i + 1, made, p.x, value,
                          std::chrono::duration<double>(bb::RunControl::Clock::now() - start)
                              .count()};
    points.push_back(std::move(p));
    if ((frame.options().callback || frame.options().verbose) && frame.monitor(progress)) break;
  }
  return mo::keep_nondominated(std::move(points));
}

constexpr Params<3> kParetoParams{"pareto_frontier()", {"objectives", "bounds", "n_points"}, 2,
                                  true};

PyObject* pareto_frontier(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    auto a = match(kParetoParams, args, kwargs);
    const std::vector<Ref> funcs = a.convert(0, moo::read_objects);
    const bb::Bounds bounds = a.convert(1, blackbox::read_bounds);
    const size_t n_points = a.given(2) ? a.to_count(2) : 20;
    const ParetoOptions o = read_options(a.extra.get());
    const size_t m = funcs.size();
    if (m < 2) throw_value_error("Need at least 2 objectives");

    const Engine engine = choose_engine(o, m);
    blackbox::FrameOptions fo =
        blackbox::read_frame_options(a.extra.get(), {.max_evals = true, .target = false});
    const bool vectorized = fo.vectorized;
    // Vectorized objectives are called with a one-point list wherever a
    // single point is evaluated.
    std::vector<Ref> single = funcs;
    if (vectorized) {
      for (Ref& f : single) f = call(blackbox::helper("_OnePoint"), f.get());
    }
    blackbox::Frame frame(std::move(fo));
    PyObjectives objectives{&single};
    if (engine == Engine::WeightedSum) {
      if (m != 2) {
        throw_value_error("method='" + *o.method +
                          "' selects the weighted-sum sweep, which needs exactly 2 objectives, "
                          "got " + std::to_string(m) +
                          "; use method='nsga2' or method='nsga3' (or leave method out) for "
                          "3 or more objectives");
      }
      if (n_points == 0) return check(PyList_New(0)).release();
      blackbox::run_core([&] { mo::check_sweep(bounds); });
      const long workers = frame.options().workers_count;
      if (frame.options().workers && workers != 1) {
        return sweep_items(remote_sweep(frame, single, bounds, n_points, o.seed)).release();
      }
      bb::RunControl control;
      frame.apply(control);
      control.start = bb::RunControl::Clock::now();
      auto points = blackbox::run_core(
          [&] { return mo::weighted_sum_sweep(bounds, n_points, o.seed, objectives, control); });
      return sweep_items(points).release();
    }

    if (!o.pop_size && population(o, n_points) > mo::kMaxPopulation) {
      throw_value_error("n_points=" + std::to_string(n_points) +
                        " gives a default population of 5 * n_points, more than the genetic "
                        "engine's limit of " + std::to_string(mo::kMaxPopulation) +
                        "; pass a smaller n_points or a pop_size");
    }
    mo::NsgaOptions no;
    no.variant = engine == Engine::Nsga3 ? mo::NsgaVariant::Nsga3 : mo::NsgaVariant::Nsga2;
    no.pop_size = population(o, n_points);
    no.generations = o.generations;
    no.divisions = o.divisions;
    no.seed = o.seed;
    blackbox::run_core([&] { mo::check_nsga(bounds, m, no); });
    // One look at the box centre before the run; the values are not kept.
    std::vector<double> centre(bounds.dim()), values(m);
    for (size_t k = 0; k < centre.size(); ++k) {
      centre[k] = (bounds.lower[k] + bounds.upper[k]) * 0.5;
    }
    objectives(centre, values);
    // Whole generations go to the workers (or to the vectorized objectives).
    Ref task;
    if (frame.batching()) {
      Ref list = check(PyList_New(0));
      for (const Ref& f : funcs) check_status(PyList_Append(list.get(), f.get()));
      task = call(blackbox::helper(vectorized ? "_VectorisedAll" : "_Vector"), list.get());
      frame.open(task.get(), "objectives");
    }
    auto batch = [&](std::span<const double> pts, size_t dim, std::span<double> out) {
      const size_t n = dim ? pts.size() / dim : 0;
      if (!frame.remote() && !vectorized) {
        for (size_t i = 0; i < n; ++i) objectives(pts.subspan(i * dim, dim), out.subspan(i * m, m));
        return;
      }
      if (PyErr_CheckSignals() < 0) throw_already_set();
      Ref xs = blackbox::point_lists(pts, dim);
      Ref rows = frame.map(task.get(), xs.get());
      for (size_t i = 0; i < n; ++i) {
        PyObject* row = PyList_GetItem(rows.get(), static_cast<Py_ssize_t>(i));
        Ref seq = check(PySequence_List(row));
        if (PyList_Size(seq.get()) != static_cast<Py_ssize_t>(m)) {
          throw_value_error("workers returned a malformed objective vector");
        }
        for (size_t k = 0; k < m; ++k) {
          out[i * m + k] =
              blackbox::score_of(PyList_GetItem(seq.get(), static_cast<Py_ssize_t>(k)));
        }
      }
    };
    bb::BatchObjective batch_ref(batch);
    frame.apply(no.control);
    if (frame.batching()) no.control.batch = &batch_ref;
    no.control.start = bb::RunControl::Clock::now();
    auto result = blackbox::run_core([&] { return mo::nsga(bounds, m, no, objectives); });
    return nsga_items(result.front).release();
  });
}

}  // namespace

PyMethodDef pareto_frontier_def = {
    "pareto_frontier", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pareto_frontier)),
    METH_VARARGS | METH_KEYWORDS,
    "pareto_frontier(objectives, bounds, n_points=20, **kwargs)\n--\n\n"
    "Multi-objective: compute Pareto frontier via epsilon-constraint method.\n"
    "objectives: list of callables, each takes list[float] -> float\n"
    "Returns list of Pareto-optimal solutions.\n"
    "The two-objective sweep keeps only its non-dominated, distinct points, in weight order."};

}  // namespace pelora::py
