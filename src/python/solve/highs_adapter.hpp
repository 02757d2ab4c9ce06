// HiGHS through the `highspy` package: the adapter used by Model.solve for
// LP, MILP and (on request) QP models, and the pieces PersistentHighs shares.
#pragma once
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "python/solve/adapter.hpp"
#include "python/solve/arrays.hpp"

namespace pelora::py {

AdapterOutcome solve_with_highs(const StandardForm& form, const ModelData& model,
                                const Options& options);
// The same solve for a caller that reads no more than sizes, rows and
// integrality of `form` afterwards: its columns are released once HiGHS has
// copied them, before the run.
AdapterOutcome solve_with_highs_handing_over(StandardForm& form, const ModelData& model,
                                             const Options& options);

// The user's solver_options through h.setOptionValue, each checked: a key
// HiGHS refuses (unknown, wrong type or out of range) raises ValueError.
void apply_highs_settings(PyObject* highspy, PyObject* h, const Options& options);

// h.setOptionValue(name, value); the returned status is not inspected.
void set_highs_option(PyObject* h, const char* name, PyObject* value);

// A new highspy.Highs object. HiGHS prints a banner on the C-level standard
// output when the process creates its first instance, before any option can
// switch output off; unless `verbose`, that first creation runs with file
// descriptor 1 pointed at /dev/null.
Ref new_highs(PyObject* highspy, bool verbose);

// A boolean attribute of a HiGHS solution (value_valid, dual_valid); true
// when the package does not have it.
bool solution_flag(PyObject* sol, const char* name);

// The process-wide record of the last thread count handed to HiGHS. A count
// that differs from the record (or the first count of the process: a solve
// without `threads` may already have sized the scheduler) resets HiGHS's
// global scheduler; when a changed count cannot reset it, a warning line
// goes to standard error.
void check_highs_threads(PyObject* h, uint32_t threads);
// Records a HiGHS run without an explicit thread count.
void note_highs_automatic_threads();

// Loads the form (columns, integrality, rows and, when asked, the Hessian)
// into `h` with one passModel call over arrays that view the form's vectors.
// The objective offset stays out of HiGHS (adapters add it themselves).
// Returns false when HiGHS rejects the model.
bool load_into_highs(PyObject* highspy, PyObject* h, const Numpy& np, const StandardForm& form,
                     bool with_hessian);

// The model status of `h` mapped onto SolveStatus from its text (lower-cased,
// first matching rule wins). `iteration_rule` enables the iteration-limit
// rule (the adapter has it, PersistentHighs does not). A text naming an error
// (load, model, presolve, solve or postsolve error) gives Error.
SolveStatus highs_status(PyObject* h, bool iteration_rule);
SolveStatus highs_status_from_text(std::string lower, bool iteration_rule);

// True when `status` (a HighsStatus) equals highspy.HighsStatus.<name>.
bool highs_status_is(PyObject* highspy, PyObject* status, const char* name);

}  // namespace pelora::py
