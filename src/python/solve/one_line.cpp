// The module functions minimize and maximize: an objective and a list of
// constraints solved without an explicit Model. They build an implicit model
// "quick_model" with one free continuous variable x0 .. xN per index up to
// the largest one used, and hand its standard form to one adapter: Ipopt's
// nonlinear adapter when any nonlinear term occurs (HiGHS and OSQP would
// never see those terms and answer a different problem), OSQP for a
// quadratic objective, HiGHS otherwise.
#include <Python.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/model/building.hpp"
#include "core/model/editing.hpp"
#include "core/model/model_data.hpp"
#include "core/model/standard_form.hpp"
#include "python/algebra/objects.hpp"
#include "python/registry.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/imports.hpp"
#include "python/runtime/sequence.hpp"
#include "python/solve/adapter.hpp"
#include "python/solve/handoff.hpp"
#include "python/solve/highs_adapter.hpp"
#include "python/solve/ipopt_adapter.hpp"
#include "python/solve/model_solve.hpp"
#include "core/expr/tree_walk.hpp"
#include "python/model/objective.hpp"
#include "python/solve/options_reader.hpp"
#include "python/solve/osqp_adapter.hpp"

namespace pelora::py {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

const Params<2> kMinimize{"minimize()", {"objective", "constraints"}, 1, true};
const Params<2> kMaximize{"maximize()", {"objective", "constraints"}, 1, true};

// A sequence of Constraint objects (a str is refused although it is one).
std::vector<ConstraintRecord> to_constraints(PyObject* o) {
  if (PyUnicode_Check(o)) throw_type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(o)) throw_cannot_convert(o, "Sequence");
  std::vector<ConstraintRecord> out;
  for_each_item(o, [&](PyObject* item) {
    if (!is_constraint(item)) throw_cannot_convert(item, "Constraint");
    out.push_back(stored_constraint(constraint_value(item), std::nullopt));
  });
  return out;
}

// The largest variable index used anywhere, or nothing when none is.
struct MaxIndex {
  std::optional<VarIndex> max;

  void see(VarIndex i) {
    if (!max || i > *max) max = i;
  }
  void see(const Expr& e) {
    for (const Term& t : e.terms) see(t.index);
  }
  void see(const NlExpr& e) {
    see(e.linear);
    for_each_tree_var(e, [this](VarIndex i) { see(i); });
  }

  void see(const Objective& o) {
    if (const auto* e = std::get_if<Expr>(&o)) {
      see(*e);
    } else if (const auto* q = std::get_if<QuadExpr>(&o)) {
      see(q->linear);
      for (const QuadTerm& t : q->quad_terms) {
        see(t.i);
        see(t.j);
      }
    } else {
      see(std::get<NlExpr>(o));
    }
  }
  void see(const ConstraintRecord& c) {
    if (const auto* lin = std::get_if<LinearConstraint>(&c)) {
      see(lin->expr);
    } else {
      see(std::get<NonlinearConstraint>(c).body);
    }
  }
};

PyObject* solve_one_line(const Params<2>& params, PyObject* args, PyObject* kwargs,
                         bool maximize) {
  auto a = match(params, args, kwargs);
  Objective objective = a.convert(0, to_objective);
  std::vector<ConstraintRecord> constraints;
  if (a.given_not_none(1)) constraints = a.convert(1, to_constraints);

  Options options;
  if (PyObject* v = a.extra_item("verbose")) options.core.verbose = option_bool(v);
  if (PyObject* v = a.extra_item("time_limit")) options.core.time_limit = option_float(v);

  MaxIndex used;
  used.see(objective);
  for (const ConstraintRecord& c : constraints) used.see(c);

  ModelData model;
  model.name = "quick_model";
  // The implicit model stands for the one the expressions' variables belong
  // to, so that Result.value accepts those variables.
  model.id = std::visit([](const auto& v) { return owner_of_value(v); }, objective);
  for (const ConstraintRecord& c : constraints) {
    const ModelId o = owner_of(c);
    if (o != model.id) model.id = joined_owner(model.id, o, std::nullopt);
  }
  model.var_names.set_owner(model.id);
  if (used.max) {
    const size_t count = static_cast<size_t>(*used.max) + 1;
    reserve_variables(model, count);
    for (size_t i = 0; i < count; ++i) {
      add_variable(model, "x" + std::to_string(i), -kInf, kInf, VarKind::Continuous);
    }
  }
  for (ConstraintRecord& c : constraints) add_constraint(model, std::move(c));
  model.objective = stored_objective(std::move(objective));
  model.maximize = maximize;

  const StandardForm form = standard_form_of(model);
  Adapter adapter = solve_with_highs;
  const char* solver = "solver 'highs'";
  if (has_nonlinear_terms(model)) {
    adapter = solve_with_ipopt_nonlinear;
    solver = "solver 'ipopt'";
  } else if (std::holds_alternative<QuadExpr>(*model.objective) && package_importable("osqp")) {
    adapter = solve_with_osqp;  // without OSQP (a bare install), HiGHS takes the QP
    solver = "solver 'osqp'";
  }
  const ImportPurpose purpose(solver);
  // Ctrl-C during the solve: the package run answers it, or the call
  // raises KeyboardInterrupt.
  DeferSigint hold_ctrl_c;
  Ref result = check(pack_result(adapter(form, model, options), snapshot_of(model)));
  hold_ctrl_c.finish();
  return result.release();
}

PyObject* py_minimize(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&] { return solve_one_line(kMinimize, args, kwargs, false); });
}

PyObject* py_maximize(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&] { return solve_one_line(kMaximize, args, kwargs, true); });
}

}  // namespace

PyMethodDef minimize_def = {
    "minimize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_minimize)),
    METH_VARARGS | METH_KEYWORDS,
    "minimize(objective, constraints=None, **kwargs)\n--\n\nSolve a minimization problem in one "
    "line.\nUsage: result = minimize(objective_expr, [constraint1, constraint2, ...])"};

PyMethodDef maximize_def = {
    "maximize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_maximize)),
    METH_VARARGS | METH_KEYWORDS,
    "maximize(objective, constraints=None, **kwargs)\n--\n\nSolve a maximization problem in one "
    "line."};

}  // namespace pelora::py
