// Var's model-linked attributes (lower, upper, kind, fix, unfix) and the
// ConstraintRef class.
#include "python/model/handles.hpp"

#include <cmath>
#include <string>

#include "core/expr/text.hpp"
#include "core/format.hpp"
#include "python/algebra/objects.hpp"
#include "python/algebra/operands.hpp"
#include "python/model/model_object.hpp"
#include "python/model/pickling.hpp"
#include "python/runtime/args.hpp"

namespace pelora::py {

PyObject* model_of_var(const VarValue& v) {
  PyObject* m = live_model(v.owner());
  if (!m) throw_value_error("the model of variable '" + v.name() + "' no longer exists");
  return m;
}

namespace {

// f(data, index) with the variable's model locked.
template <class F>
auto with_var(PyObject* self, F&& f) {
  const VarValue& v = var_value(self);
  PyObject* model = model_of_var(v);
  Ref hold = Ref::borrow(model);
  return with_model_lock(model, [&](ModelData& d) { return f(d, v.index); });
}

double number_arg(PyObject* o, const char* what) {
  double x;
  if (!o) throw_type_error(std::string("can't delete ") + what);
  if (!number_operand(o, x)) throw_type_error(std::string(what) + " must be a number");
  return x;
}

const char* kind_text(VarKind k) {
  switch (k) {
    case VarKind::Continuous: return "continuous";
    case VarKind::Integer: return "integer";
    case VarKind::Binary: return "binary";
  }
  return "continuous";
}

}  // namespace

// A setter's status from the boundary's result (null: the error is set).
int setter_status(PyObject* r) {
  if (!r) return -1;
  Py_DECREF(r);
  return 0;
}

PyObject* var_get_lower(PyObject* self, void*) {
  return boundary([&] { return PyFloat_FromDouble(with_var(self, [](ModelData& d, VarIndex i) { return d.variables[i].lower; })); });
}
PyObject* var_get_upper(PyObject* self, void*) {
  return boundary([&] { return PyFloat_FromDouble(with_var(self, [](ModelData& d, VarIndex i) { return d.variables[i].upper; })); });
}
int var_set_lower(PyObject* self, PyObject* value, void*) {
  PyObject* r = boundary([&] {
    const double lo = number_arg(value, "lower");
    with_var(self, [&](ModelData& d, VarIndex i) { set_variable_bounds(d, i, lo, d.variables[i].upper); });
    Py_RETURN_NONE;
  });
  return setter_status(r);
}
int var_set_upper(PyObject* self, PyObject* value, void*) {
  PyObject* r = boundary([&] {
    const double up = number_arg(value, "upper");
    with_var(self, [&](ModelData& d, VarIndex i) { set_variable_bounds(d, i, d.variables[i].lower, up); });
    Py_RETURN_NONE;
  });
  return setter_status(r);
}
PyObject* var_get_kind(PyObject* self, void*) {
  return boundary([&] {
    return PyUnicode_FromString(kind_text(with_var(self, [](ModelData& d, VarIndex i) { return d.variables[i].kind; })));
  });
}
int var_set_kind(PyObject* self, PyObject* value, void*) {
  PyObject* r = boundary([&] {
    if (!value) throw_type_error("can't delete kind");
    const std::string k = as_string(value);
    VarKind kind;
    if (k == "continuous") kind = VarKind::Continuous;
    else if (k == "integer") kind = VarKind::Integer;
    else if (k == "binary") kind = VarKind::Binary;
    else throw_value_error("kind must be \"continuous\", \"integer\" or \"binary\", not \"" + k + "\"");
    with_var(self, [&](ModelData& d, VarIndex i) { set_variable_kind(d, i, kind); });
    Py_RETURN_NONE;
  });
  return setter_status(r);
}

namespace {
const Params<1> kFix{"Var.fix()", {"value"}, 1, false};
}  // namespace

PyObject* var_fix(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kFix, args, kw);
    const double value = a.convert(0, as_double);
    with_var(self, [&](ModelData& d, VarIndex i) { fix_variable(d, i, value); });
    Py_RETURN_NONE;
  });
}

PyObject* var_unfix(PyObject* self, PyObject*) {
  return boundary([&] {
    with_var(self, [&](ModelData& d, VarIndex i) { unfix_variable(d, i); });
    Py_RETURN_NONE;
  });
}



// ---- ConstraintRef -----------------------------------------------------------------

const ConstraintRefValue& constraint_ref_value(PyObject* o) { return unbox<ConstraintRefValue>(o); }

PyObject* new_constraint_ref(ConstraintRefValue v, PyObject* model) {
  v.keep = Ref::borrow(model);
  return box_new(constraint_ref_type(), std::move(v));
}

size_t row_of(const ModelData& d, const ConstraintRefValue& r) {
  const bool own = owns_row(d.id, d.origins, r.model, r.id);
  if (!own) throw_value_error("constraint belongs to another model");
  auto pos = row_position(d, r.kind, r.id);
  if (!pos) throw_value_error("constraint was removed from the model");
  return *pos;
}

RowAt find_row(const ModelData& d, PyObject* c) {
  if (is_constraint_ref(c)) {
    const ConstraintRefValue& r = constraint_ref_value(c);
    return RowAt{r.kind, row_of(d, r)};
  }
  if (!PyUnicode_Check(c)) throw_type_error("constraint must be a ConstraintRef or a name (str)");
  const std::string name = as_string(c);
  if (auto i = d.constraints.find(name)) return RowAt{RowKind::Linear, *i};
  for (size_t i = 0; i < d.nl_constraints.size(); ++i)
    if (d.nl_constraints[i].name == name) return RowAt{RowKind::Nonlinear, i};
  Ref key = check(PyUnicode_FromString(name.c_str()));
  PyErr_SetObject(PyExc_KeyError, key.get());
  throw ErrorAlreadySet{};
}

namespace {

template <class F>
auto with_ref(PyObject* self, F&& f) {
  const ConstraintRefValue& r = constraint_ref_value(self);
  PyObject* model = live_model(r.model);
  if (!model) throw_value_error("the model of this constraint no longer exists");
  Ref hold = Ref::borrow(model);
  return with_model_lock(model, [&](ModelData& d) { return f(d, row_of(d, r)); });
}

template <class F>
auto on_row(const ModelData& d, RowKind kind, size_t pos, F&& f) {
  if (kind == RowKind::Linear) return f(d.constraints[pos]);
  return f(d.nl_constraints[pos]);
}

// A row's name as a value (the views of linear rows point at theirs).
std::optional<std::string> name_of(const LinearRow& c) {
  return c.name ? std::optional<std::string>(*c.name) : std::nullopt;
}
std::optional<std::string> name_of(const NonlinearConstraint& c) { return c.name; }

PyObject* ref_get_name(PyObject* self, void*) {
  return boundary([&]() -> PyObject* {
    const RowKind kind = constraint_ref_value(self).kind;
    auto name = with_ref(self, [&](ModelData& d, size_t pos) {
      return on_row(d, kind, pos, [](const auto& c) { return name_of(c); });
    });
    if (!name) Py_RETURN_NONE;
    return to_py_str(*name);
  });
}

PyObject* ref_get_index(PyObject* self, void*) {
  return boundary([&] { return PyLong_FromSize_t(with_ref(self, [](ModelData&, size_t pos) { return pos; })); });
}

PyObject* ref_get_sense(PyObject* self, void*) {
  return boundary([&] {
    const RowKind kind = constraint_ref_value(self).kind;
    const Sense s = with_ref(self, [&](ModelData& d, size_t pos) {
      return on_row(d, kind, pos, [](const auto& c) { return c.sense; });
    });
    return PyUnicode_FromString(sense_text(s));
  });
}

PyObject* ref_get_rhs(PyObject* self, void*) {
  return boundary([&] {
    const RowKind kind = constraint_ref_value(self).kind;
    return PyFloat_FromDouble(with_ref(self, [&](ModelData& d, size_t pos) {
      return on_row(d, kind, pos, [](const auto& c) { return c.rhs; });
    }));
  });
}

int ref_set_rhs(PyObject* self, PyObject* value, void*) {
  PyObject* r = boundary([&] {
    const double v = number_arg(value, "rhs");
    const RowKind kind = constraint_ref_value(self).kind;
    with_ref(self, [&](ModelData& d, size_t pos) { set_constraint_rhs(d, kind, pos, v); });
    Py_RETURN_NONE;
  });
  return setter_status(r);
}

PyObject* ref_get_nonlinear(PyObject* self, void*) {
  return PyBool_FromLong(constraint_ref_value(self).kind == RowKind::Nonlinear);
}

PyObject* ref_repr(PyObject* self) {
  return boundary([&] {
    const ConstraintRefValue& r = constraint_ref_value(self);
    PyObject* model = live_model(r.model);
    std::string s = "ConstraintRef(";
    if (!model) return to_py_str(s + "model gone)");
    Ref hold = Ref::borrow(model);
    s += with_model_lock(model, [&](ModelData& d) -> std::string {
      const bool own = r.model == d.id;
      auto pos = own ? row_position(d, r.kind, r.id) : std::nullopt;
      if (!pos) return "removed)";
      auto name = on_row(d, r.kind, *pos, [](const auto& c) { return name_of(c); });
      std::string t = name ? "'" + *name + "', " : std::string();
      return t + "index=" + std::to_string(*pos) + (r.kind == RowKind::Nonlinear ? ", nonlinear)" : ")");
    });
    return to_py_str(s);
  });
}

Py_hash_t ref_hash(PyObject* self) {
  const ConstraintRefValue& r = constraint_ref_value(self);
  uint64_t h = r.model * 0x9E3779B97F4A7C15ULL ^ (r.id * 2 + static_cast<uint64_t>(r.kind)) * 0xC2B2AE3D27D4EB4FULL;
  h ^= h >> 29;
  const auto out = static_cast<Py_hash_t>(h >> 1);
  return out == -1 ? -2 : out;
}

PyObject* ref_richcompare(PyObject* a, PyObject* b, int op) {
  if ((op != Py_EQ && op != Py_NE) || !is_constraint_ref(b)) Py_RETURN_NOTIMPLEMENTED;
  const ConstraintRefValue& x = constraint_ref_value(a);
  const ConstraintRefValue& y = constraint_ref_value(b);
  const bool same = x.model == y.model && x.id == y.id && x.kind == y.kind;
  return PyBool_FromLong((op == Py_EQ) == same);
}

PyGetSetDef ref_getset[] = {
    {"name", ref_get_name, nullptr, "The constraint's name, or None.", nullptr},
    {"index", ref_get_index, nullptr,
     "The constraint's current position among the model's linear (or nonlinear) constraints;\n"
     "removing an earlier constraint moves it up by one.",
     nullptr},
    {"sense", ref_get_sense, nullptr, "\"<=\", \">=\" or \"==\".", nullptr},
    {"rhs", ref_get_rhs, ref_set_rhs, "Right-hand side; setting it changes the model.", nullptr},
    {"nonlinear", ref_get_nonlinear, nullptr, "True for a nonlinear constraint.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef ref_methods[] = {
    {"__reduce_ex__", reduce_constraint_ref, METH_O, nullptr},
    {"__copy__", same_object, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ref_slots[] = {
    {Py_tp_doc, const_cast<char*>("A handle on a constraint of a model, returned by Model.add. It stays valid\n"
                                  "when other constraints are removed; `index` is its current position.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ConstraintRefValue>)},
    {Py_tp_repr, reinterpret_cast<void*>(ref_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(ref_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(ref_richcompare)},
    {Py_tp_getset, ref_getset},
    {Py_tp_methods, ref_methods},
    {0, nullptr},
};

PyType_Spec ref_spec = {"pelora_opt.ConstraintRef", static_cast<int>(sizeof(Box<ConstraintRefValue>)), 0,
                        Py_TPFLAGS_DEFAULT, ref_slots};

PyTypeObject* g_ref_type = nullptr;

}  // namespace

PyTypeObject* constraint_ref_type() { return type_once(g_ref_type, ref_spec); }

}  // namespace pelora::py
