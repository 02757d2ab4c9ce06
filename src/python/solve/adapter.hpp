// The common shape of every solver adapter: a function that takes the
// standard form, the model record and the options, and returns the adapter
// outcome. Adding a solver is adding one file with such a function and one
// entry in the dispatch table (dispatch.cpp).
#pragma once
#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "core/model/model_data.hpp"
#include "core/model/solve_options.hpp"
#include "core/model/solve_result.hpp"
#include "core/model/standard_form.hpp"
#include "python/runtime/ref.hpp"

namespace pelora::py {

// SolveOptions plus what only exists on the Python side.
struct Options {
  SolveOptions core;
  Ref basis;                          // the `basis` keyword's object; set iff core.basis_given
  std::optional<std::string> solver;  // chooses the adapter; not read by adapters
  Ref solver_settings;                // the `solver_options` dict (a copy), or null
};

// What an adapter hands back to Model.solve. `data.snapshot` stays empty: the
// orchestration adds the model copy. Conventions every adapter keeps:
// `data.solver` is its display name ("HiGHS", "OSQP", ...); the objective is
// in the model's own sense (StandardForm::model_objective); primal values are
// in column order; dual values in the row order of the form that was solved;
// `data.solve_time` spans from the adapter's start (before its imports) to
// right after the package's solve call.
struct AdapterOutcome {
  ResultData data;
  Ref basis;  // a solver basis object kept for hot starts (HiGHS), or null
};

using Adapter = AdapterOutcome (*)(const StandardForm& form, const ModelData& model,
                                   const Options& options);

// time.perf_counter()
double perf_counter();

// Dual values in the model's own terms from duals of the form that was
// solved: `form_duals[i]` is d(form objective)/d(right-hand side of row i),
// the form being a minimisation. The model's objective is the negated form
// objective for a maximising model, so its duals are negated too; every
// adapter reports `duals[i]` as d(model objective)/d(rhs of row i).
inline std::vector<double> model_duals(const StandardForm& form, std::vector<double> form_duals) {
  if (form.maximize) {
    for (double& d : form_duals) d = 0.0 - d;  // no -0.0
  }
  return form_duals;
}

}  // namespace pelora::py
