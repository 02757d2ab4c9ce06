// pareto_frontier: the weighted-sum sweep for two objectives and the genetic
// engines (NSGA-II, NSGA-III) for any number, over Python objectives.
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/moo/nsga.hpp"
#include "core/moo/weighted_sum.hpp"
#include "python/blackbox/evaluate.hpp"
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
    if (*o.method == "nsga2") return Engine::Nsga2;
    if (*o.method == "nsga3") return Engine::Nsga3;
    return Engine::WeightedSum;
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
    PyObjectives objectives{&funcs};
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
      auto points = blackbox::run_core(
          [&] { return mo::weighted_sum_sweep(bounds, n_points, o.seed, objectives); });
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
