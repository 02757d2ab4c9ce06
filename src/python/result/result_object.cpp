// Result: the immutable outcome of a model solve with its model snapshot.
#include "python/result/result_object.hpp"
#include "python/result/result_arrays.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "core/format.hpp"
#include "core/model/editing.hpp"
#include "python/algebra/objects.hpp"
#include "python/model/handles.hpp"
#include "python/model/pickling.hpp"
#include "python/solve/nl_scip.hpp"
#include "python/result/diagnostics.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/call.hpp"
#include "python/solve/arrays.hpp"
#include "python/runtime/error.hpp"

namespace pelora::py {

void throw_no_solution() { throw_value_error("No solution available"); }

namespace {

const ResultData& data_of(PyObject* self) { return result_value(self).data; }

const std::vector<double>& primals_of(const ResultData& d) {
  if (!d.primals) throw_no_solution();
  return *d.primals;
}

PyObject* optional_float(const std::optional<double>& v) {
  if (!v) Py_RETURN_NONE;
  return PyFloat_FromDouble(*v);
}

PyObject* optional_count(const std::optional<uint64_t>& v) {
  if (!v) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*v);
}

PyObject* text(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// --- properties --------------------------------------------------------------

PyObject* get_status(PyObject* self, void*) {
  return PyUnicode_FromString(status_text(data_of(self).status));
}
PyObject* get_objective(PyObject* self, void*) { return optional_float(data_of(self).objective); }
PyObject* get_solve_time(PyObject* self, void*) { return PyFloat_FromDouble(data_of(self).solve_time); }
PyObject* get_solver(PyObject* self, void*) { return text(data_of(self).solver); }
PyObject* get_iterations(PyObject* self, void*) { return optional_count(data_of(self).iterations); }
PyObject* get_nodes(PyObject* self, void*) { return optional_count(data_of(self).nodes); }
PyObject* get_gap(PyObject* self, void*) { return optional_float(data_of(self).gap); }
PyObject* get_is_optimal(PyObject* self, void*) {
  return PyBool_FromLong(data_of(self).status == SolveStatus::Optimal ? 1 : 0);
}
PyObject* get_primals(PyObject* self, void*) {
  return boundary([&] { return float_list(primals_of(data_of(self))).release(); });
}
PyObject* get_var_names_list(PyObject* self, void*) {
  return boundary([&] {
    const auto& snap = data_of(self).snapshot;
    const size_t n = snap ? snap->var_names.size() : 0;
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(n)));
    for (size_t i = 0; i < n; ++i) {
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), py_str(snap->var_names[i]).release());
    }
    return list.release();
  });
}
PyObject* get_duals(PyObject* self, void*) {
  return boundary([&]() -> PyObject* {
    const ResultData& d = data_of(self);
    if (!d.duals) Py_RETURN_NONE;
    return float_list(*d.duals).release();
  });
}

// --- methods -------------------------------------------------------------------

constexpr Params<1> kValueParams{"Result.value()", {"var"}, 1, false};

}  // namespace

// Refuses (ValueError naming one) variables that are not the solved model's.
void check_snapshot_owner(const ResultData& d, ModelId owner, size_t end, std::optional<VarIndex> var) {
  if (!d.snapshot) return;  // PersistentHighs results keep no model identity
  const ModelSnapshot& s = *d.snapshot;
  const bool own = owns_variables(s.model, s.origins, owner, end);
  if (!own) throw ForeignVariable(owner, var);
}

void check_snapshot_var(const ResultData& d, const VarValue& v) {
  try {
    check_snapshot_owner(d, v.owner(), v.index + size_t{1}, v.index);
  } catch (ForeignVariable& e) {
    e.name = v.name();
    throw;
  }
}

namespace {

double linear_value(const Expr& e, const std::vector<double>& x) {
  double v = e.constant;
  for (const Term& t : e.terms) v += t.coef * x[t.index];
  return v;
}

PyObject* result_value_of(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kValueParams, args, kw);
    PyObject* o = a[0];
    if (!is_var(o) && !is_expr(o) && !is_quad_expr(o) && !is_nl_expr(o)) {
      a.convert(0, [](PyObject* v) -> int { throw_cannot_convert(v, "Var"); });
    }
    const ResultData& d = data_of(self);
    const std::vector<double>& x = primals_of(d);
    if (is_var(o)) {
      const VarValue& v = var_value(o);
      check_snapshot_var(d, v);
      if (v.index >= x.size()) throw_no_solution();
      return PyFloat_FromDouble(x[v.index]);
    }
    if (is_expr(o)) {
      const Expr& e = expr_value(o);
      check_snapshot_owner(d, e.owner, index_end(e), first_variable(e));
      if (index_end(e) > x.size()) throw_no_solution();
      return PyFloat_FromDouble(linear_value(e, x));
    }
    if (is_quad_expr(o)) {
      const QuadExpr& q = quad_expr_value(o);
      check_snapshot_owner(d, q.linear.owner, index_end(q), some_variable(q));
      if (index_end(q) > x.size()) throw_no_solution();
      double v = linear_value(q.linear, x);
      for (const QuadTerm& t : q.quad_terms) v += t.coef * x[t.i] * x[t.j];
      return PyFloat_FromDouble(v);
    }
    const NlExpr& n = nl_expr_value(o);
    check_snapshot_owner(d, n.linear.owner, index_end(n), some_variable(n));
    if (index_end(n) > x.size()) throw_no_solution();
    return PyFloat_FromDouble(evaluate_nl(n, x));
  });
}

// The keys of values(): each variable's name, a repeated name made unique
// with a suffix _1, _2, ... (skipping names already taken), as the exports
// name repeated variables.
std::vector<std::string> unique_keys(std::vector<std::string> out) {
  std::unordered_set<std::string> taken;
  taken.reserve(out.size());
  std::vector<size_t> again;
  for (size_t i = 0; i < out.size(); ++i) {
    if (!taken.insert(out[i]).second) again.push_back(i);
  }
  std::unordered_map<std::string, size_t> next;
  for (size_t i : again) {
    const std::string base = out[i];
    size_t& k = next[base];
    std::string name;
    do {
      name = base + "_" + std::to_string(++k);
    } while (taken.count(name));
    taken.insert(name);
    out[i] = std::move(name);
  }
  return out;
}

PyObject* result_values(PyObject* self, PyObject*) {
  return boundary([&] {
    const ResultData& d = data_of(self);
    const std::vector<double>& x = primals_of(d);
    Ref dict = check(PyDict_New());
    if (d.snapshot) {
      const size_t n = std::min(d.snapshot->var_names.size(), x.size());
      std::vector<std::string> names(n);
      for (size_t i = 0; i < n; ++i) names[i] = d.snapshot->var_names[i];
      const std::vector<std::string> keys = unique_keys(std::move(names));
      for (size_t i = 0; i < n; ++i) {
        Ref key = py_str(keys[i]);
        Ref value = py_float(x[i]);
        check_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
      }
    }
    return dict.release();
  });
}

constexpr Params<1> kDualParams{"Result.dual()", {"constraint"}, 1, false};

// The row of the snapshot a ConstraintRef or a constraint name stands for.
size_t snapshot_row(const ResultData& d, PyObject* c) {
  if (!d.snapshot || d.snapshot->constraints.empty()) {
    throw_value_error("No model data stored \xE2\x80\x94 use Model.solve() for diagnostics");
  }
  const ModelSnapshot& s = *d.snapshot;
  if (is_constraint_ref(c)) {
    const ConstraintRefValue& r = constraint_ref_value(c);
    if (r.kind != RowKind::Linear) throw_value_error("dual: nonlinear constraints have no dual value here");
    if (!owns_row(s.model, s.origins, r.model, r.id)) throw_value_error("constraint belongs to another model");
    auto it = std::lower_bound(s.row_ids.begin(), s.row_ids.end(), r.id);
    if (it == s.row_ids.end() || *it != r.id) {
      throw_value_error("dual: the constraint was not in the model when it was solved");
    }
    return static_cast<size_t>(it - s.row_ids.begin());
  }
  if (!PyUnicode_Check(c)) throw_type_error("dual: constraint must be a ConstraintRef or a name (str)");
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(c, &len);
  if (!p) throw_already_set();
  const std::string name(p, static_cast<size_t>(len));
  if (auto i = s.constraints.find(name)) return *i;
  PyErr_SetObject(PyExc_KeyError, c);
  throw ErrorAlreadySet{};
}

PyObject* result_dual(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    auto a = match(kDualParams, args, kw);
    const ResultData& d = data_of(self);
    const size_t row = snapshot_row(d, a[0]);
    if (!d.duals) Py_RETURN_NONE;
    if (row >= d.duals->size()) Py_RETURN_NONE;
    return PyFloat_FromDouble((*d.duals)[row]);
  });
}

// {"status", "objective", "values": {name: value}, "duals": {name: value}}:
// plain values for logging and data frames. Unnamed rows are keyed "c{i}";
// repeated names are made unique as in values().
PyObject* result_to_dict(PyObject* self, PyObject*) {
  return boundary([&] {
    const ResultData& d = data_of(self);
    Ref dict = check(PyDict_New());
    check_status(PyDict_SetItemString(dict.get(), "status", check(PyUnicode_FromString(status_text(d.status))).get()));
    check_status(PyDict_SetItemString(dict.get(), "objective", Ref::steal(optional_float(d.objective)).get()));
    Ref values = d.primals ? Ref::steal(result_values(self, nullptr)) : check(PyDict_New());
    if (!values) throw_already_set();
    check_status(PyDict_SetItemString(dict.get(), "values", values.get()));
    Ref duals = check(PyDict_New());
    if (d.duals && d.snapshot) {
      const auto& rows = d.snapshot->constraints;
      const size_t n = std::min(rows.size(), d.duals->size());
      std::vector<std::string> names(n);
      for (size_t i = 0; i < n; ++i) names[i] = rows[i].name ? *rows[i].name : "c" + std::to_string(i);
      const std::vector<std::string> keys = unique_keys(std::move(names));
      for (size_t i = 0; i < n; ++i) {
        check_status(PyDict_SetItem(duals.get(), py_str(keys[i]).get(), py_float((*d.duals)[i]).get()));
      }
    }
    check_status(PyDict_SetItemString(dict.get(), "duals", duals.get()));
    return dict.release();
  });
}

PyObject* result_basis(PyObject* self, PyObject*) {
  const Ref& b = result_value(self).basis;
  if (!b) Py_RETURN_NONE;
  return Ref(b).release();
}

PyObject* result_repr(PyObject* self) {
  return boundary([&] {
    const ResultData& d = data_of(self);
    std::string s = "SolveResult(status=";
    s += status_text(d.status);
    if (d.objective) s += ", objective=" + fixed_number(*d.objective, 6);
    s += ", solver=" + d.solver + ", time=" + fixed_number(d.solve_time, 3) + "s)";
    return text(s);
  });
}

PyGetSetDef getters[] = {
    {"status", get_status, nullptr, "Solution status as a string.", nullptr},
    {"objective", get_objective, nullptr, "Objective value (None if no solution).", nullptr},
    {"solve_time", get_solve_time, nullptr, "Solve time in seconds.", nullptr},
    {"solver", get_solver, nullptr, "Solver used.", nullptr},
    {"iterations", get_iterations, nullptr, "Number of simplex/barrier iterations.", nullptr},
    {"nodes", get_nodes, nullptr, "Number of B&B nodes explored (MIP only).", nullptr},
    {"gap", get_gap, nullptr, "MIP gap (MIP only).", nullptr},
    {"is_optimal", get_is_optimal, nullptr, "Whether the solve found an optimal solution.", nullptr},
    {"primals", get_primals, nullptr,
     "Raw primal values as a flat list, indexed by variable creation order.", nullptr},
    {"var_names_list", get_var_names_list, nullptr,
     "Variable names in creation order (matches primals indexing).", nullptr},
    {"duals", get_duals, nullptr, "Dual values (shadow prices) as a list.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"value", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(result_value_of)),
     METH_VARARGS | METH_KEYWORDS,
     "value($self, var)\n--\n\nGet the value of a variable by its Var reference."},
    {"values", result_values, METH_NOARGS,
     "values($self)\n--\n\nGet all variable values as a dict {name: value}."},
    {"dual", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(result_dual)),
     METH_VARARGS | METH_KEYWORDS,
     "dual($self, constraint)\n--\n\nThe dual value of a linear constraint, given as a ConstraintRef or "
     "by name\n(None when the solver gave no duals)."},
    {"to_dict", result_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\nThe outcome as plain values: {\"status\", \"objective\", \"values\": {name: "
     "value},\n\"duals\": {constraint name: value}} (unnamed constraints as c0, c1, ...)."},
    {"__reduce_ex__", reduce_result, METH_O, nullptr},
    {"__copy__", same_object, METH_NOARGS, nullptr},
    {"__deepcopy__", same_object, METH_O, nullptr},
    {"basis", result_basis, METH_NOARGS,
     "basis($self)\n--\n\nBasis object for LP hot-start (HiGHS only)."},
    // --- diagnostics: why, why_detail, sensitivity, infeasibility_report ---
    {"why", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(result_why)),
     METH_VARARGS | METH_KEYWORDS, kWhyDoc},
    {"why_detail", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(result_why_detail)),
     METH_VARARGS | METH_KEYWORDS, kWhyDetailDoc},
    {"sensitivity", result_sensitivity, METH_NOARGS, kSensitivityDoc},
    {"infeasibility_report", result_infeasibility_report, METH_NOARGS, kInfeasibilityReportDoc},
    {"primal_array", result_primal_array, METH_NOARGS, kPrimalArrayDoc},
    {"dual_array", result_dual_array, METH_NOARGS, kDualArrayDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("The solve result returned to Python.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ResultValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, getters},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec type_def = {
    "pelora_opt.Result",
    static_cast<int>(sizeof(Box<ResultValue>)),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* result_type() { return type_once(g_type, type_def); }

PyObject* new_result(ResultValue v) { return box_new(result_type(), std::move(v)); }

}  // namespace pelora::py
