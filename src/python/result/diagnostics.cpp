#include "python/result/diagnostics.hpp"

#include <string>
#include <utility>

#include "core/diagnostics/diagnostic_error.hpp"
#include "core/diagnostics/explain.hpp"
#include "core/diagnostics/infeasibility.hpp"
#include "python/algebra/objects.hpp"
#include "python/runtime/args.hpp"
#include "python/result/highs_subsystem.hpp"
#include "python/result/result_object.hpp"
#include "python/runtime/call.hpp"

namespace pelora::py {
namespace {

// Runs a core diagnostic; its DiagnosticError becomes a ValueError.
template <class F>
auto diagnose(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const DiagnosticError& e) {
    throw_value_error(e.what());
  }
}

// PyList_SetItem takes over `item` even when it fails.
void list_put(PyObject* list, Py_ssize_t i, PyObject* item) {
  check_status(PyList_SetItem(list, i, item));
}

void set_item(PyObject* dict, const char* key, const Ref& value) {
  check_status(PyDict_SetItemString(dict, key, value.get()));
}

Ref string_list(const std::vector<std::string>& items) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (size_t i = 0; i < items.size(); ++i) {
    list_put(list.get(), static_cast<Py_ssize_t>(i), py_str(items[i]).release());
  }
  return list;
}

Ref tuple_of(std::initializer_list<Ref> items) {
  Ref t = check(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (const Ref& item : items) check_status(PyTuple_SetItem(t.get(), i++, Ref(item).release()));
  return t;
}

// [(position, name), ...]
Ref position_name_list(const std::vector<std::pair<size_t, std::string>>& items) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (size_t i = 0; i < items.size(); ++i) {
    Ref t = tuple_of({py_int(static_cast<long long>(items[i].first)), py_str(items[i].second)});
    list_put(list.get(), static_cast<Py_ssize_t>(i), t.release());
  }
  return list;
}

// [(position, name, dual), ...]
Ref shadow_price_list(const std::vector<ShadowPrice>& items) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (size_t i = 0; i < items.size(); ++i) {
    const ShadowPrice& s = items[i];
    Ref t = tuple_of({py_int(static_cast<long long>(s.position)), py_str(s.name), py_float(s.dual)});
    list_put(list.get(), static_cast<Py_ssize_t>(i), t.release());
  }
  return list;
}

// [(low, high), ...]
Ref range_list(const std::vector<std::pair<double, double>>& items) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (size_t i = 0; i < items.size(); ++i) {
    Ref t = tuple_of({py_float(items[i].first), py_float(items[i].second)});
    list_put(list.get(), static_cast<Py_ssize_t>(i), t.release());
  }
  return list;
}

const Params<1> kWhy{"Result.why()", {"var"}, 1, false};
const Params<1> kWhyDetail{"Result.why_detail()", {"var"}, 1, false};

// The index of the `var` argument, which must be a Var.
// It must be a variable of the solved model.
size_t var_argument(const ResultData& r, const Params<1>& params, PyObject* args, PyObject* kwargs) {
  auto a = match(params, args, kwargs);
  const VarValue& v = *a.convert(0, [](PyObject* o) -> const VarValue* {
    if (!is_var(o)) throw_cannot_convert(o, "Var");
    return &var_value(o);
  });
  check_snapshot_var(r, v);
  return v.index;
}

}  // namespace

PyObject* infeasibility_report_value(const ResultData& r) {
  InfeasibilityReport rep = diagnose([&] {
    if (!r.snapshot) return infeasibility_report(r);
    const bool reported = r.status == SolveStatus::Infeasible ||
                          r.status == SolveStatus::InfeasibleOrUnbounded;
    return infeasibility_report(r, highs_subsystem_hooks(*r.snapshot, reported));
  });
  Ref indices = check(PyList_New(static_cast<Py_ssize_t>(rep.constraint_indices.size())));
  for (size_t i = 0; i < rep.constraint_indices.size(); ++i) {
    list_put(indices.get(), static_cast<Py_ssize_t>(i),
                    py_int(static_cast<long long>(rep.constraint_indices[i])).release());
  }
  Ref d = check(PyDict_New());
  set_item(d.get(), "constraint_indices", indices);
  set_item(d.get(), "constraint_names", string_list(rep.constraint_names));
  set_item(d.get(), "explanation", py_str(rep.explanation));
  set_item(d.get(), "suggestions", string_list(rep.suggestions));
  set_item(d.get(), "num_constraints",
           py_int(static_cast<long long>(rep.constraint_indices.size())));
  set_item(d.get(), "irreducible", Ref::borrow(rep.irreducible ? Py_True : Py_False));
  return d.release();
}

PyObject* sensitivity_value(const ResultData& r) {
  SensitivityReport s = sensitivity(r);
  Ref bounds = check(PyList_New(static_cast<Py_ssize_t>(s.variable_bounds.size())));
  for (size_t i = 0; i < s.variable_bounds.size(); ++i) {
    const auto& [name, status] = s.variable_bounds[i];
    Ref t = tuple_of({py_str(name), py_str(bound_status_text(status))});
    list_put(bounds.get(), static_cast<Py_ssize_t>(i), t.release());
  }
  Ref d = check(PyDict_New());
  set_item(d.get(), "shadow_prices", shadow_price_list(s.shadow_prices));
  set_item(d.get(), "most_impactful", shadow_price_list(s.most_impactful));
  set_item(d.get(), "active_constraints", position_name_list(s.active_constraints));
  set_item(d.get(), "variable_bounds", bounds);
  if (r.ranging) {
    set_item(d.get(), "cost_ranges", range_list(r.ranging->cost));
    set_item(d.get(), "rhs_ranges", range_list(r.ranging->rhs));
  }
  return d.release();
}

PyObject* why_value(const ResultData& r, PyObject* args, PyObject* kwargs) {
  const size_t index = var_argument(r, kWhy, args, kwargs);
  std::string text = diagnose([&] { return why(r, index); });
  return py_str(text).release();
}

PyObject* why_detail_value(const ResultData& r, PyObject* args, PyObject* kwargs) {
  const size_t index = var_argument(r, kWhyDetail, args, kwargs);
  WhyDetail w = diagnose([&] { return why_detail(r, index); });
  Ref d = check(PyDict_New());
  set_item(d.get(), "variable", py_str(w.variable));
  set_item(d.get(), "value", py_float(w.value));
  set_item(d.get(), "bound_status", py_str(bound_status_text(w.status)));
  set_item(d.get(), "explanation", py_str(w.explanation));
  set_item(d.get(), "binding_constraints", position_name_list(w.binding_constraints));
  return d.release();
}

PyObject* result_why(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&] { return why_value(result_value(self).data, args, kwargs); });
}

PyObject* result_why_detail(PyObject* self, PyObject* args, PyObject* kwargs) {
  return boundary([&] { return why_detail_value(result_value(self).data, args, kwargs); });
}

PyObject* result_sensitivity(PyObject* self, PyObject*) {
  return boundary([&] { return sensitivity_value(result_value(self).data); });
}

PyObject* result_infeasibility_report(PyObject* self, PyObject*) {
  return boundary([&] { return infeasibility_report_value(result_value(self).data); });
}

}  // namespace pelora::py
