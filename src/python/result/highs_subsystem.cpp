#include "python/result/highs_subsystem.hpp"

#include <algorithm>
#include <array>
#include <utility>
#include <cmath>
#include <limits>
#include <memory>
#include <unordered_map>
#include <vector>

#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"
#include "python/solve/arrays.hpp"
#include "python/solve/highs_adapter.hpp"

namespace pelora::py {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// HiGHS's own strategy value: the subsystem taken from an LP solve, then
// made irreducible.
constexpr long long kIisFromLpIrreducible = 2 | 4;
// A ray weight below this share of the largest counts as zero.
constexpr double kRayZero = 1e-9;
// Larger ray supports go to HiGHS's subsystem search instead of one LP solve
// per member.
constexpr size_t kMaxRaySupport = 200;

// HiGHS option settings (name, text value) for one attempt at judging a set.
using Strategy = std::array<std::pair<const char*, const char*>, 2>;
constexpr Strategy kJudgeStrategies[] = {
    {{{nullptr, nullptr}, {nullptr, nullptr}}},
    {{{"solver", "ipm"}, {nullptr, nullptr}}},
    {{{"solver", "simplex"}, {"presolve", "off"}}},
};

// Runs `f`; a failure of the package (missing, too old, refusing the data)
// counts as "cannot tell" and clears the Python error. An interrupt or any
// other BaseException that is not an Exception still propagates.
template <class T, class F>
T or_unknown(T unknown, F&& f) {
  try {
    return f();
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
  } catch (const PyError&) {
  }
  return unknown;
}

// A HiGHS instance holding the constraints at `rows` over the variables they
// mention (every other variable is free to sit anywhere in its own box and
// changes nothing), with a zero objective. Null when HiGHS refuses the data.
Ref build_lp(PyObject* highspy, const Numpy& np, const ModelSnapshot& snap,
             std::span<const size_t> rows) {
  std::unordered_map<VarIndex, int32_t> column;
  std::vector<double> col_lower, col_upper;
  std::vector<double> row_lower, row_upper, value;
  std::vector<int32_t> start, index;
  for (size_t r : rows) {
    const LinearRow c = snap.constraints[r];
    start.push_back(static_cast<int32_t>(index.size()));
    for (const Term& t : c.terms) {
      if (t.index >= snap.variables.size()) continue;
      auto [it, fresh] = column.try_emplace(t.index, static_cast<int32_t>(col_lower.size()));
      if (fresh) {
        col_lower.push_back(snap.variables[t.index].lower);
        col_upper.push_back(snap.variables[t.index].upper);
      }
      index.push_back(it->second);
      value.push_back(t.coef);
    }
    const double b = c.rhs;
    row_lower.push_back(c.sense == Sense::Le ? -kInf : b);
    row_upper.push_back(c.sense == Sense::Ge ? kInf : b);
  }
  Ref h = new_highs(highspy, /*verbose=*/false);
  set_highs_option(h.get(), "output_flag", Py_False);
  // Its runs may size HiGHS's shared scheduler by the default count.
  note_highs_automatic_threads();
  if (!col_lower.empty()) {
    Ref n = py_int(static_cast<long long>(col_lower.size()));
    Ref lo = np.view(col_lower), up = np.view(col_upper);
    Ref st = call_method(h.get(), "addVars", n.get(), lo.get(), up.get());
    if (highs_status_is(highspy, st.get(), "kError")) return {};
  }
  Ref n = py_int(static_cast<long long>(rows.size()));
  Ref nnz = py_int(static_cast<long long>(index.size()));
  Ref lo = np.view(row_lower), up = np.view(row_upper);
  Ref s = np.view(start), i = np.view(index), v = np.view(value);
  Ref st = call_method(h.get(), "addRows", n.get(), lo.get(), up.get(), nnz.get(), s.get(),
                       i.get(), v.get());
  if (highs_status_is(highspy, st.get(), "kError")) return {};
  return h;
}

// Rows with a nonzero weight in HiGHS's dual ray, or empty when it has none.
std::vector<size_t> ray_support(PyObject* highspy, PyObject* h) {
  std::vector<size_t> rows;
  Ref triple = call_method(h, "getDualRay");
  if (!PyTuple_Check(triple.get()) || PyTuple_Size(triple.get()) != 3) return rows;
  if (!highs_status_is(highspy, PyTuple_GetItem(triple.get(), 0), "kOk")) return rows;
  if (PyObject_IsTrue(PyTuple_GetItem(triple.get(), 1)) != 1) {
    PyErr_Clear();
    return rows;
  }
  const std::vector<double> ray = read_floats(PyTuple_GetItem(triple.get(), 2));
  double largest = 0.0;
  for (double v : ray) largest = std::max(largest, std::fabs(v));
  for (size_t i = 0; i < ray.size(); ++i) {
    if (std::fabs(ray[i]) > kRayZero * largest) rows.push_back(i);
  }
  return rows;
}

}  // namespace

SubsystemHooks highs_subsystem_hooks(const ModelSnapshot& snap, bool reported_infeasible) {
  SubsystemHooks hooks;
  Ref highspy = or_unknown(Ref(), [] { return import_module("highspy"); });
  if (!highspy) return hooks;
  auto np = or_unknown(std::shared_ptr<Numpy>(), [] { return std::make_shared<Numpy>(); });
  if (!np) return hooks;

  hooks.judge = [&snap, highspy, np](std::span<const size_t> rows) -> std::optional<bool> {
    // HiGHS's default run first; a set it cannot decide on (its simplex may
    // stall on badly scaled rows and answer "unknown") goes to its interior
    // point method, then to the simplex without presolve.
    for (const Strategy& strategy : kJudgeStrategies) {
      const std::optional<bool> verdict =
          or_unknown(std::optional<bool>(), [&]() -> std::optional<bool> {
            Ref h = build_lp(highspy.get(), *np, snap, rows);
            if (!h) return std::nullopt;
            for (const auto& [name, value] : strategy) {
              if (name) set_highs_option(h.get(), name, py_str(value).get());
            }
            call_method(h.get(), "run");
            const SolveStatus s = highs_status(h.get(), /*iteration_rule=*/true);
            if (s == SolveStatus::Infeasible) return true;
            if (s == SolveStatus::Optimal) return false;
            return std::nullopt;
          });
      if (verdict) return verdict;
    }
    return std::nullopt;
  };
  if (!reported_infeasible) return hooks;

  hooks.solver_subsystem = [&snap, highspy, np]() -> std::vector<size_t> {
    return or_unknown(std::vector<size_t>(), [&] {
      std::vector<size_t> all(snap.constraints.size());
      for (size_t r = 0; r < all.size(); ++r) all[r] = r;
      std::vector<size_t> found;
      Ref h = build_lp(highspy.get(), *np, snap, all);
      if (!h) return found;
      // The rows a Farkas ray of the LP weighs form an infeasible set; when
      // it is small the deletion filter makes it irreducible at little cost.
      // Otherwise HiGHS's own subsystem search runs.
      call_method(h.get(), "run");
      if (highs_status(h.get(), /*iteration_rule=*/true) == SolveStatus::Infeasible) {
        found = ray_support(highspy.get(), h.get());
        if (!found.empty() && found.size() <= kMaxRaySupport) return found;
        found.clear();
      }
      set_highs_option(h.get(), "iis_strategy", py_int(kIisFromLpIrreducible).get());
      Ref pair = call_method(h.get(), "getIis");
      if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) return found;
      if (highs_status_is(highspy.get(), PyTuple_GetItem(pair.get(), 0), "kError")) return found;
      Ref iis = Ref::borrow(PyTuple_GetItem(pair.get(), 1));
      Ref rows = get_attr(iis.get(), "row_index_");
      for (double r : read_floats(rows.get())) {
        if (r >= 0 && r < static_cast<double>(all.size())) found.push_back(static_cast<size_t>(r));
      }
      return found;
    });
  };
  return hooks;
}

}  // namespace pelora::py
