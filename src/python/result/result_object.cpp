// Result: the immutable outcome of a model solve with its model snapshot.
#include "python/result/result_object.hpp"
#include "python/result/result_arrays.hpp"

#include <string>

#include "core/format.hpp"
#include "python/algebra/objects.hpp"
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

PyObject* result_value_of(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kValueParams, args, kw);
    const VarIndex index = a.convert(0, [](PyObject* o) {
      if (!is_var(o)) throw_cannot_convert(o, "Var");
      return var_value(o).index;
    });
    const std::vector<double>& x = primals_of(data_of(self));
    if (index >= x.size()) throw_no_solution();
    return PyFloat_FromDouble(x[index]);
  });
}

PyObject* result_values(PyObject* self, PyObject*) {
  return boundary([&] {
    const ResultData& d = data_of(self);
    const std::vector<double>& x = primals_of(d);
    Ref dict = check(PyDict_New());
    if (d.snapshot) {
      const auto& names = d.snapshot->var_names;
      for (size_t i = 0; i < names.size() && i < x.size(); ++i) {
        Ref key = py_str(names[i]);
        Ref value = py_float(x[i]);
        check_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
      }
    }
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
