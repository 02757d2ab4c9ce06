// The Python Model class: building methods, getters, repr, text exports and
// validation. Every method converts and checks its arguments first, then
// works on the ModelData under the model lock, and builds its Python return
// value after the lock is released; a failed call leaves the model as it was.
#include <algorithm>
#include <cstddef>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <unordered_map>
#include <sys/stat.h>

#include "core/model/building.hpp"
#include "core/model/editing.hpp"
#include "core/model/exports.hpp"
#include "core/model/standard_form.hpp"
#include "core/model/validate.hpp"
#include "python/algebra/objects.hpp"
#include "python/model/handles.hpp"
#include "python/model/model_arrays.hpp"
#include "python/model/pickling.hpp"
#include "python/model/model_object.hpp"
#include "python/model/objective.hpp"
#include "python/registry.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/call.hpp"
#include "python/runtime/types.hpp"
#include "python/runtime/sequence.hpp"
#include "python/solve/model_solve.hpp"

namespace pelora::py {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

Ref new_str(const std::string& s) {
  return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

[[noreturn]] void throw_too_many_variables() {
  throw_error(PyExc_OverflowError, "a model holds at most " + std::to_string(kMaxVariables) +
                                       " variables");
}

// Makes room for `count` more variables. Running out of memory here is the
// caller's request being too large, not a broken model: it raises
// MemoryError and leaves the model usable and unchanged.
void reserve_or_raise(ModelData& d, size_t count) {
  if (!variables_fit(d, count)) throw_too_many_variables();
  try {
    reserve_variables(d, count);
  } catch (const std::bad_alloc&) {
    throw_error(PyExc_MemoryError, "not enough memory for " + std::to_string(count) + " variables");
  } catch (const std::length_error&) {
    throw_error(PyExc_MemoryError, "not enough memory for " + std::to_string(count) + " variables");
  }
}

// --- construction -------------------------------------------------------------

const Params<1> kNew{"Model.__new__()", {"name"}, 0, false};

PyObject* model_new(PyTypeObject* type, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kNew, args, kw);
    ModelState st;
    if (a.given_not_none(0)) st.data.name = a.to_string(0);
    (void)type;
    return new_model_object(std::move(st));
  });
}

// Live models by id, for the handles (a Var or ConstraintRef names its model
// by id) and for messages naming another model's variable. Entries are
// borrowed: a model leaves the table when it is deallocated.
std::unordered_map<ModelId, PyObject*>& live_models() {
  static auto* table = new std::unordered_map<ModelId, PyObject*>();
  return *table;
}

void model_dealloc(PyObject* self) {
  live_models().erase(model_state(self).data.id);
  box_dealloc<ModelState>(self);
}

// --- variables ----------------------------------------------------------------

PyObject* add_single(PyObject* self, std::string name, double lower, double upper, VarKind kind) {
  NameRef names;
  const VarIndex index = with_model_lock(self, [&](ModelData& d) {
    reserve_or_raise(d, 1);
    const VarIndex i = add_variable(d, std::move(name), lower, upper, kind);
    names = d.var_names.block_of(i);
    return i;
  });
  return new_var(std::move(names), index);
}

const Params<3> kVariable{"Model.variable()", {"name", "lower", "upper"}, 1, false};
const Params<3> kInteger{"Model.integer()", {"name", "lower", "upper"}, 1, false};
const Params<1> kBinary{"Model.binary()", {"name"}, 1, false};

PyObject* add_bounded(PyObject* self, PyObject* args, PyObject* kw, const Params<3>& p,
                      VarKind kind) {
  auto a = match(p, args, kw);
  // None, the default the signature shows, leaves a side unbounded.
  for (size_t i : {1, 2}) a.v[i] = a.given_not_none(i) ? a.v[i] : nullptr;
  std::string name = a.to_string(0);
  const double lower = a.to_double(1, -kInf);
  const double upper = a.to_double(2, kInf);
  return add_single(self, std::move(name), lower, upper, kind);
}

PyObject* model_variable(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] { return add_bounded(self, args, kw, kVariable, VarKind::Continuous); });
}

PyObject* model_integer(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] { return add_bounded(self, args, kw, kInteger, VarKind::Integer); });
}

PyObject* model_binary(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kBinary, args, kw);
    return add_single(self, a.to_string(0), 0.0, 1.0, VarKind::Binary);
  });
}

// Batch: one lock for all `count` additions, then one list of new Vars.
// Per-variable bounds, when given, replace the scalar ones.
PyObject* add_batch(PyObject* self, const std::string& prefix, size_t count, double lower,
                    double upper, VarKind kind,
                    const std::optional<std::vector<double>>& lowers = std::nullopt,
                    const std::optional<std::vector<double>>& uppers = std::nullopt) {
  if (count > kMaxVariables) throw_too_many_variables();
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(count)));
  if (count == 0) return list.release();
  NameRef names;
  const VarIndex first = with_model_lock(self, [&](ModelData& d) {
    reserve_or_raise(d, count);
    const VarIndex at = add_variables(d, prefix, count, lower, upper, kind);
    set_batch_bounds(d, at, lowers ? &*lowers : nullptr, uppers ? &*uppers : nullptr);
    names = d.var_names.block_of(at);
    return at;
  });
  // Every Var of the batch shares the one name block of the model record;
  // the references are counted once, and each Var takes one over (a failed
  // creation releases its own, the guard those never reached).
  NameBlock* block = names.add_references(count);
  struct Unused {
    NameBlock* block;
    size_t left;
    ~Unused() {
      while (left > 0) {
        --left;
        NameRef drop = NameRef::adopt(block);
      }
    }
  } unused{block, count};
  for (size_t i = 0; i < count; ++i) {
    --unused.left;
    PyObject* v = new_var(NameRef::adopt(block), static_cast<VarIndex>(first + i));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), v);  // steals v
  }
  return list.release();
}

const Params<4> kVariables{"Model.variables()", {"prefix", "count", "lower", "upper"}, 2, false};
const Params<4> kIntegers{"Model.integers()", {"prefix", "count", "lower", "upper"}, 2, false};
const Params<4> kBinaries{"Model.binaries()", {"prefix", "count", "lower", "upper"}, 2, false};

// Indexed variables: `count` given as a shape tuple (a numpy object array of
// that shape, names prefix[i,j]) or as an iterable of keys (a dict key -> Var,
// names prefix[key], a tuple key written prefix[a,b]).
std::string key_text(PyObject* key) {
  if (PyTuple_Check(key)) {
    std::string t;
    for (Py_ssize_t i = 0; i < PyTuple_Size(key); ++i) {
      if (i) t += ',';
      t += as_string(check(PyObject_Str(PyTuple_GetItem(key, i))).get());
    }
    return t;
  }
  return as_string(check(PyObject_Str(key)).get());
}

bool indexed_count(PyObject* count) {
  return count && !PyLong_Check(count) && !PyUnicode_Check(count) && !PyBytes_Check(count) &&
         (PyTuple_Check(count) || PyObject_HasAttrString(count, "__iter__"));
}

PyObject* add_indexed(PyObject* self, const std::string& prefix, PyObject* count, double lower, double upper,
                      VarKind kind) {
  std::vector<std::string> names;
  std::vector<size_t> shape;
  Ref keys;
  if (PyTuple_Check(count)) {
    size_t total = 1;
    for (Py_ssize_t i = 0; i < PyTuple_Size(count); ++i) {
      const size_t n = convert_arg("count", [&] { return as_count(PyTuple_GetItem(count, i)); });
      shape.push_back(n);
      if (n != 0 && total > kMaxVariables / n) throw_too_many_variables();
      total *= n;
    }
    names.reserve(total);
    std::vector<size_t> at(shape.size(), 0);
    for (size_t k = 0; k < total; ++k) {
      std::string t = prefix + "[";
      for (size_t d = 0; d < at.size(); ++d) t += (d ? "," : "") + std::to_string(at[d]);
      names.push_back(t + "]");
      for (size_t d = at.size(); d-- > 0;) {
        if (++at[d] < shape[d]) break;
        at[d] = 0;
      }
    }
  } else {
    keys = check(PySequence_List(count));
    Ref seen = check(PySet_New(nullptr));
    for (Py_ssize_t i = 0; i < PyList_Size(keys.get()); ++i) {
      PyObject* key = PyList_GetItem(keys.get(), i);
      const int dup = PySet_Contains(seen.get(), key);
      if (dup < 0) throw_already_set();
      if (dup) throw_value_error("variables: key " + as_string(check(PyObject_Repr(key)).get()) + " repeated");
      check_status(PySet_Add(seen.get(), key));
      names.push_back(prefix + "[" + key_text(key) + "]");
    }
  }
  std::vector<NameRef> blocks(names.size());
  const VarIndex first = with_model_lock(self, [&](ModelData& d) {
    reserve_or_raise(d, names.size());
    const auto at = static_cast<VarIndex>(d.variables.size());
    for (size_t k = 0; k < names.size(); ++k) {
      add_variable(d, std::move(names[k]), lower, upper, kind);
      blocks[k] = d.var_names.block_of(at + k);
    }
    return at;
  });
  if (keys) {
    Ref dict = check(PyDict_New());
    for (size_t k = 0; k < blocks.size(); ++k) {
      Ref v = check(new_var(std::move(blocks[k]), static_cast<VarIndex>(first + k)));
      check_status(PyDict_SetItem(dict.get(), PyList_GetItem(keys.get(), static_cast<Py_ssize_t>(k)), v.get()));
    }
    return dict.release();
  }
  Ref flat = check(PyList_New(static_cast<Py_ssize_t>(blocks.size())));
  for (size_t k = 0; k < blocks.size(); ++k) {
    PyList_SetItem(flat.get(), static_cast<Py_ssize_t>(k), new_var(std::move(blocks[k]), static_cast<VarIndex>(first + k)));
  }
  Ref np = check(PyImport_ImportModule("numpy"));
  Ref empty = check(PyObject_GetAttrString(np.get(), "empty"));
  Ref n = check(PyLong_FromSize_t(blocks.size()));
  Ref object = check(PyObject_GetAttrString(np.get(), "object_"));
  Ref arr = check(PyObject_CallFunctionObjArgs(empty.get(), n.get(), object.get(), nullptr));
  Ref all = check(PySlice_New(nullptr, nullptr, nullptr));
  check_status(PyObject_SetItem(arr.get(), all.get(), flat.get()));
  return check(PyObject_CallMethod(arr.get(), "reshape", "O", count)).release();
}

PyObject* batch_bounded(PyObject* self, PyObject* args, PyObject* kw, const Params<4>& p,
                        VarKind kind) {
  auto a = match(p, args, kw);
  for (size_t i : {2, 3}) a.v[i] = a.given_not_none(i) ? a.v[i] : nullptr;  // None: unbounded
  const std::string prefix = a.to_string(0);
  if (indexed_count(a[1])) {
    const double lo = kind == VarKind::Binary ? 0.0 : a.to_double(2, -kInf);
    const double up = kind == VarKind::Binary ? 1.0 : a.to_double(3, kInf);
    return add_indexed(self, prefix, a[1], lo, up, kind);
  }
  const size_t count = a.to_count(1);
  auto lowers = a.convert(2, [&](PyObject* o) { return bound_sequence(o, count, "lower"); });
  auto uppers = a.convert(3, [&](PyObject* o) { return bound_sequence(o, count, "upper"); });
  const double lower = lowers ? -kInf : a.to_double(2, -kInf);
  const double upper = uppers ? kInf : a.to_double(3, kInf);
  return add_batch(self, prefix, count, lower, upper, kind, lowers, uppers);
}

PyObject* model_variables(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] { return batch_bounded(self, args, kw, kVariables, VarKind::Continuous); });
}

PyObject* model_integers(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] { return batch_bounded(self, args, kw, kIntegers, VarKind::Integer); });
}

PyObject* model_binaries(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kBinaries, args, kw);
    const std::string prefix = a.to_string(0);
    if (indexed_count(a[1])) return add_indexed(self, prefix, a[1], 0.0, 1.0, VarKind::Binary);
    const size_t count = a.to_count(1);
    auto lowers = a.convert(2, [&](PyObject* o) { return bound_sequence(o, count, "lower"); });
    auto uppers = a.convert(3, [&](PyObject* o) { return bound_sequence(o, count, "upper"); });
    const double lower = lowers ? 0.0 : a.to_double(2, 0.0);
    const double upper = uppers ? 1.0 : a.to_double(3, 1.0);
    // Bounds may fix or keep a binary, never widen it (NaN fails too).
    const auto inside = [](double b) { return b >= 0.0 && b <= 1.0; };
    const auto all_inside = [&](const std::optional<std::vector<double>>& v) {
      return !v || std::all_of(v->begin(), v->end(), inside);
    };
    if (!inside(lower) || !inside(upper) || !all_inside(lowers) || !all_inside(uppers)) {
      throw_value_error("binaries: bounds must lie in [0, 1]");
    }
    if (!lowers && lower != 0.0) lowers.emplace(count, lower);
    if (!uppers && upper != 1.0) uppers.emplace(count, upper);
    return add_batch(self, prefix, count, 0.0, 1.0, VarKind::Binary, lowers, uppers);
  });
}

// --- constraints and objective --------------------------------------------------

void check_var_owner(const ModelData& d, const VarValue& v) {
  if (!owns(d, v.owner(), v.index + size_t{1})) {
    ForeignVariable e(v.owner(), v.index);
    e.name = v.name();
    throw e;
  }
}

// Refuses a value whose variables are not this model's (ValueError naming
// one). The model's own values need no look at their indices: its
// variables are never removed.
void check_value_owner(const ModelData& d, const Expr& e) {
  if (e.owner != d.id) check_owner(d, e.owner, index_end(e), first_variable(e));
}
void check_value_owner(const ModelData& d, const QuadExpr& q) {
  if (q.linear.owner != d.id) check_owner(d, q.linear.owner, index_end(q), some_variable(q));
}
void check_value_owner(const ModelData& d, const NlExpr& n) {
  if (n.linear.owner != d.id) check_owner(d, n.linear.owner, index_end(n), some_variable(n));
}
void check_record_owner(const ModelData& d, const ConstraintRecord& c) {
  if (const auto* l = std::get_if<LinearConstraint>(&c)) check_value_owner(d, l->expr);
  else check_value_owner(d, std::get<NonlinearConstraint>(c).body);
}

const Params<2> kAdd{"Model.add()", {"constraint", "name"}, 1, false};

PyObject* model_add(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kAdd, args, kw);
    const ConstraintRecord* rec = a.convert(0, [](PyObject* o) {
      if (!is_constraint(o)) throw_cannot_convert(o, "Constraint");
      return &constraint_value(o);
    });
    std::optional<std::string> name;
    if (a.given_not_none(1)) name = a.to_string(1);
    ConstraintRecord stored = stored_constraint(*rec, std::move(name));
    const RowKind kind = std::holds_alternative<LinearConstraint>(stored) ? RowKind::Linear : RowKind::Nonlinear;
    ModelId model = kNoModel;
    const uint64_t id = with_model_lock(self, [&](ModelData& d) {
      check_record_owner(d, stored);
      model = d.id;
      return add_constraint(d, std::move(stored));
    });
    return new_constraint_ref(ConstraintRefValue{model, id, kind}, self);
  });
}

const Params<1> kMinimize{"Model.minimize()", {"expr"}, 1, false};
const Params<1> kMaximize{"Model.maximize()", {"expr"}, 1, false};

PyObject* set_objective(PyObject* self, PyObject* args, PyObject* kw, const Params<1>& p,
                        bool maximize) {
  auto a = match(p, args, kw);
  Objective obj = stored_objective(to_objective(a[0]));
  with_model_lock(self, [&](ModelData& d) {
    std::visit([&](const auto& v) { check_value_owner(d, v); }, obj);
    set_objective(d, std::move(obj), maximize);
  });
  Py_RETURN_NONE;
}

PyObject* model_minimize(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] { return set_objective(self, args, kw, kMinimize, false); });
}

PyObject* model_maximize(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] { return set_objective(self, args, kw, kMaximize, true); });
}

// --- cones ------------------------------------------------------------------------

// A sequence of Var objects (a str is refused although it is a sequence).
std::vector<VarIndex> var_indices(PyObject* o) {
  if (PyUnicode_Check(o)) throw_type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(o)) throw_cannot_convert(o, "Sequence");
  std::vector<VarIndex> out;
  for_each_item(o, [&](PyObject* item) {
    if (!is_var(item)) throw_cannot_convert(item, "Var");
    out.push_back(var_value(item).index);
  });
  return out;
}

// The Vars of a cone, all of the model `self` (checked under its lock).
void check_vars_owner(const ModelData& d, PyObject* seq) {
  for_each_item(seq, [&](PyObject* item) {
    check_var_owner(d, var_value(item));
  });
}

const Params<1> kSoc{"Model.add_soc_cone()", {"vars"}, 1, false};
const Params<1> kPsd{"Model.add_psd_cone()", {"entries"}, 1, false};

PyObject* model_add_soc_cone(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kSoc, args, kw);
    std::vector<VarIndex> cone = a.convert(0, var_indices);
    if (!soc_size_ok(cone.size())) {
      throw_value_error(
          "add_soc_cone: need at least 2 variables [head, x_1, \xE2\x80\xA6]; the cone imposes "
          "head >= ||(x_1,\xE2\x80\xA6)||_2.");
    }
    const size_t pos = with_model_lock(self, [&](ModelData& d) {
      check_vars_owner(d, a[0]);
      return add_soc_cone(d, std::move(cone));
    });
    return PyLong_FromSize_t(pos);
  });
}

PyObject* model_add_psd_cone(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kPsd, args, kw);
    std::vector<VarIndex> cone = a.convert(0, var_indices);
    if (!psd_dimension(cone.size())) {
      throw_value_error(
          "add_psd_cone: entry count must equal d(d+1)/2 for some d>=1 (upper-triangle, "
          "column-major svec of a symmetric matrix).");
    }
    const size_t pos = with_model_lock(self, [&](ModelData& d) {
      check_vars_owner(d, a[0]);
      return add_psd_cone(d, std::move(cone));
    });
    return PyLong_FromSize_t(pos);
  });
}

// --- lookups and edits ----------------------------------------------------------------

// KeyError naming what is missing and, when there are any, up to three close
// names (difflib's matching; only names of about the same length are tried).
[[noreturn]] void throw_missing(const char* what, const std::string& name, const std::vector<std::string>& names) {
  std::string msg = std::string("no ") + what + " named '" + name + "'";
  Ref candidates = check(PyList_New(0));
  for (const std::string& n : names) {
    if (n.size() + 3 < name.size() || name.size() + 3 < n.size()) continue;
    check_status(PyList_Append(candidates.get(), new_str(n).get()));
    if (PyList_Size(candidates.get()) >= 100000) break;
  }
  Ref difflib = check(PyImport_ImportModule("difflib"));
  Ref close = check(PyObject_CallMethod(difflib.get(), "get_close_matches", "OO", new_str(name).get(), candidates.get()));
  if (PyList_Size(close.get()) > 0) {
    msg += "; close names:";
    for (Py_ssize_t i = 0; i < PyList_Size(close.get()); ++i) {
      msg += (i ? ", '" : " '") + as_string(PyList_GetItem(close.get(), i)) + "'";
    }
  }
  PyErr_SetObject(PyExc_KeyError, new_str(msg).get());
  throw ErrorAlreadySet{};
}

const Params<1> kVarLookup{"Model.var()", {"name"}, 1, false};
const Params<1> kConstraintLookup{"Model.constraint()", {"name"}, 1, false};

PyObject* model_var(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kVarLookup, args, kw);
    const std::string name = a.to_string(0);
    std::vector<std::string> all;
    NameRef block;
    auto found = with_model_lock(self, [&](ModelData& d) {
      auto i = d.find_variable(name);
      if (i) block = d.var_names.block_of(*i);
      else d.var_names.for_each([&](size_t, std::string n) { all.push_back(std::move(n)); });
      return i;
    });
    if (!found) throw_missing("variable", name, all);
    return new_var(std::move(block), *found);
  });
}

PyObject* model_constraint(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kConstraintLookup, args, kw);
    const std::string name = a.to_string(0);
    std::vector<std::string> all;
    auto found = with_model_lock(self, [&](ModelData& d) -> std::optional<ConstraintRefValue> {
      if (auto i = d.constraints.find(name)) return ConstraintRefValue{d.id, d.row_ids[*i], RowKind::Linear};
      for (size_t i = 0; i < d.nl_constraints.size(); ++i)
        if (d.nl_constraints[i].name == name) return ConstraintRefValue{d.id, d.nl_row_ids[i], RowKind::Nonlinear};
      for (const auto& c : d.constraints)
        if (c.name) all.push_back(*c.name);
      for (const auto& c : d.nl_constraints)
        if (c.name) all.push_back(*c.name);
      return std::nullopt;
    });
    if (!found) throw_missing("constraint", name, all);
    return new_constraint_ref(*found, self);
  });
}

PyObject* get_vars(PyObject* self, void*) {
  return boundary([&] {
    VarNames names = with_model_lock(self, [](ModelData& d) { return d.var_names; });
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    for (size_t b = 0; b < names.block_count(); ++b) {
      const size_t from = names.block(b).get()->first();
      const size_t end = b + 1 < names.block_count() ? names.block(b + 1).get()->first() : names.size();
      for (size_t i = from; i < end; ++i) {
        PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), new_var(names.block(b), static_cast<VarIndex>(i)));
      }
    }
    return tuple.release();
  });
}

PyObject* get_constraints(PyObject* self, void*) {
  return boundary([&] {
    ModelId id = kNoModel;
    std::vector<uint64_t> lin, nl;
    with_model_lock(self, [&](ModelData& d) {
      id = d.id;
      lin = d.row_ids;
      nl = d.nl_row_ids;
    });
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(lin.size() + nl.size())));
    size_t k = 0;
    for (uint64_t r : lin) PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(k++), new_constraint_ref({id, r, RowKind::Linear}, self));
    for (uint64_t r : nl) PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(k++), new_constraint_ref({id, r, RowKind::Nonlinear}, self));
    return tuple.release();
  });
}

const Params<3> kSetCoefficient{"Model.set_coefficient()", {"constraint", "var", "value"}, 3, false};
const Params<1> kRemove{"Model.remove()", {"constraint"}, 1, false};

PyObject* model_set_coefficient(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kSetCoefficient, args, kw);
    const VarValue& v = *a.convert(1, [](PyObject* o) -> const VarValue* {
      if (!is_var(o)) throw_cannot_convert(o, "Var");
      return &var_value(o);
    });
    const double value = a.convert(2, as_double);
    with_model_lock(self, [&](ModelData& d) {
      const RowAt row = find_row(d, a[0]);
      check_var_owner(d, v);
      if (row.kind != RowKind::Linear) throw_value_error("set_coefficient: only linear constraints can be changed");
      set_coefficient(d, row.pos, v.index, value);
    });
    Py_RETURN_NONE;
  });
}

PyObject* model_remove(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kRemove, args, kw);
    with_model_lock(self, [&](ModelData& d) {
      const RowAt row = find_row(d, a[0]);
      remove_constraint(d, row.kind, row.pos);
    });
    Py_RETURN_NONE;
  });
}

// m["name"] is m.constraint("name"); del m[c] is m.remove(c) for a name or a
// ConstraintRef. Constraints are added with Model.add, never by assignment.
PyObject* model_getitem(PyObject* self, PyObject* key) {
  if (!PyUnicode_Check(key)) {
    PyErr_SetString(PyExc_TypeError, "Model indices must be constraint names (str)");
    return nullptr;
  }
  Ref args = Ref::steal(PyTuple_Pack(1, key));
  return args ? model_constraint(self, args.get(), nullptr) : nullptr;
}

int model_setitem(PyObject* self, PyObject* key, PyObject* value) {
  if (value) {
    PyErr_SetString(PyExc_TypeError,
                    "Model does not support item assignment; add constraints with Model.add()");
    return -1;
  }
  Ref args = Ref::steal(PyTuple_Pack(1, key));
  if (!args) return -1;
  Ref done = Ref::steal(model_remove(self, args.get(), nullptr));
  return done ? 0 : -1;
}

// --- getters and repr -----------------------------------------------------------------

PyObject* get_num_vars(PyObject* self, void*) {
  return boundary([&] {
    return PyLong_FromSize_t(with_model_lock(self, [](ModelData& d) { return d.variables.size(); }));
  });
}

PyObject* get_num_constraints(PyObject* self, void*) {
  return boundary([&] {
    return PyLong_FromSize_t(
        with_model_lock(self, [](ModelData& d) { return d.constraints.size(); }));
  });
}

PyObject* get_problem_type(PyObject* self, void*) {
  return boundary([&] {
    const char* t = with_model_lock(self, [](ModelData& d) { return problem_type_text(classify_problem(d)); });
    return PyUnicode_FromString(t);
  });
}

PyObject* model_repr(PyObject* self) {
  return boundary([&] {
    std::string s = with_model_lock(self, [](ModelData& d) {
      return "Model('" + d.name + "', vars=" + std::to_string(d.variables.size()) +
             ", constraints=" + std::to_string(d.constraints.size()) +
             ", type=" + problem_type_text(classify_problem(d)) + ")";
    });
    return new_str(s).release();
  });
}

// --- exports and validation --------------------------------------------------------------

// Runs an export under the model lock; a model the export refuses raises
// ValueError and stays usable.
template <class F>
std::string rendered(PyObject* self, F&& f) {
  return with_model_lock(self, [&](ModelData& d) {
    try {
      return f(d);
    } catch (const ExportError& e) {
      throw_value_error(e.what());
    }
  });
}

template <class F>
PyObject* render(PyObject* self, F&& f) {
  return boundary([&] { return new_str(rendered(self, f)).release(); });
}

PyObject* model_to_lp(PyObject* self, PyObject*) {
  return render(self, [](const ModelData& d) { return export_lp(d); });
}
PyObject* model_to_mps(PyObject* self, PyObject*) {
  return render(self, [](const ModelData& d) { return export_mps(d); });
}
PyObject* model_to_python(PyObject* self, PyObject*) { return render(self, export_python); }
PyObject* model_summary_method(PyObject* self, PyObject*) { return render(self, model_summary); }

bool ends_with(const std::string& s, const char* tail) {
  const size_t n = std::char_traits<char>::length(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Writes `data` (bytes) to the file at `path`. A write or close that fails
// (a full disk, a file size limit) raises its own OSError, and a regular
// file left half-written is removed.
void write_whole_file(PyObject* path, PyObject* data) {
  Ref io = import_module("io");
  Ref mode = py_str("wb");
  Ref file = call_method(io.get(), "open", path, mode.get());
  bool regular = false;
  if (Ref fd = Ref::steal(PyObject_CallMethod(file.get(), "fileno", nullptr))) {
    struct stat st {};
    const int n = PyLong_AsLong(fd.get());
    regular = !PyErr_Occurred() && fstat(n, &st) == 0 && S_ISREG(st.st_mode);
  }
  PyErr_Clear();
  Ref written = Ref::steal(PyObject_CallMethod(file.get(), "write", "O", data));
  if (written) {
    if (Ref closed = Ref::steal(PyObject_CallMethod(file.get(), "close", nullptr))) return;
  }
  // Keep the first failure; closing and removing run with no error pending.
  PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
  PyErr_Fetch(&type, &value, &trace);
  Ref closed = Ref::steal(PyObject_CallMethod(file.get(), "close", nullptr));
  PyErr_Clear();
  if (regular) {
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    Ref removed = os ? Ref::steal(PyObject_CallMethod(os.get(), "remove", "O", path)) : Ref();
    PyErr_Clear();
  }
  PyErr_Restore(type, value, trace);
  throw_already_set();
}

const Params<1> kWrite{"Model.write()", {"path"}, 1, false};

// The format follows the suffix (letter case ignored): .lp, .mps or .py,
// each optionally followed by .gz for a gzip-compressed file.
PyObject* model_write(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kWrite, args, kw);
    Ref path = check(PyOS_FSPath(a[0]));
    // The suffix is read from the file system's bytes of the name, which
    // need not be UTF-8.
    Ref raw = PyUnicode_Check(path.get()) ? check(PyUnicode_EncodeFSDefault(path.get())) : path;
    const std::string name(PyBytes_AsString(raw.get()), static_cast<size_t>(PyBytes_Size(raw.get())));
    std::string lower = name;
    for (char& ch : lower)
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    const bool gz = ends_with(lower, ".gz");
    if (gz) lower.resize(lower.size() - 3);
    std::string text;
    if (ends_with(lower, ".lp")) {
      text = rendered(self, [](const ModelData& d) {
        require_file_expressible(d, "Model.write");
        return export_lp(d, "Model.write");
      });
    } else if (ends_with(lower, ".mps")) {
      text = rendered(self, [](const ModelData& d) { return export_mps(d, "Model.write"); });
    } else if (ends_with(lower, ".py")) {
      text = rendered(self, export_python);
    } else {
      Ref shown = check(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "backslashreplace"));
      const char* text = PyUnicode_AsUTF8AndSize(shown.get(), nullptr);
      if (!text) throw_already_set();
      throw_value_error("Model.write: unknown file suffix in " + std::string(text) +
                        " (use .lp, .mps or .py, optionally followed by .gz)");
    }
    Ref data = check(PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (gz) {
      Ref gzip = import_module("gzip");
      Ref compress = check(PyObject_GetAttrString(gzip.get(), "compress"));
      data = check(PyObject_CallFunctionObjArgs(compress.get(), data.get(), nullptr));
    }
    write_whole_file(path.get(), data.get());
    Py_RETURN_NONE;
  });
}

PyObject* model_validate(PyObject* self, PyObject*) {
  return boundary([&] {
    std::vector<ValidationWarning> ws =
        with_model_lock(self, [](ModelData& d) { return validate_model(d); });
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(ws.size())));
    for (size_t i = 0; i < ws.size(); ++i) {
      Ref dict = check(PyDict_New());
      Ref severity = check(PyUnicode_FromString(severity_text(ws[i].severity)));
      check_status(PyDict_SetItemString(dict.get(), "severity", severity.get()));
      check_status(PyDict_SetItemString(dict.get(), "category", new_str(ws[i].category).get()));
      check_status(PyDict_SetItemString(dict.get(), "message", new_str(ws[i].message).get()));
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), dict.release());  // steals
    }
    return list.release();
  });
}

// --- type -------------------------------------------------------------------------------

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

template <class F>
PyCFunction fn(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef methods[] = {
    {"variable", fn(model_variable), kArgs,
     "variable($self, name, lower=None, upper=None)\n--\n\nAdd a continuous variable."},
    {"integer", fn(model_integer), kArgs,
     "integer($self, name, lower=None, upper=None)\n--\n\nAdd an integer variable."},
    {"binary", fn(model_binary), kArgs, "binary($self, name)\n--\n\nAdd a binary variable."},
    {"minimize", fn(model_minimize), kArgs,
     "minimize($self, expr)\n--\n\nSet the objective to minimize. Accepts Var, Expr, or QuadExpr."},
    {"maximize", fn(model_maximize), kArgs,
     "maximize($self, expr)\n--\n\nSet the objective to maximize. Accepts Var, Expr, or QuadExpr."},
    {"add", fn(model_add), kArgs,
     "add($self, constraint, name=None)\n--\n\nAdd a constraint. Accepts a Constraint object, with "
     "optional name."},
    {"add_soc_cone", fn(model_add_soc_cone), kArgs,
     "add_soc_cone($self, vars)\n--\n\n"
     "Declare a first-class second-order (Lorentz) cone (Ql_Ar_Phase 10.5).\n\n"
     "``vars = [head, x_1, \xE2\x80\xA6, x_k]`` imposes ``head >= ||(x_1,\xE2\x80\xA6,x_k)||_2``.\n"
     "A model with any cone is conic and is solved through Clarabel\n"
     "(``SecondOrderConeT``) automatically \xE2\x80\x94 no explicit ``solver=\"clarabel\"``\n"
     "needed. Combine with a quadratic/linear objective for SOCP."},
    {"add_psd_cone", fn(model_add_psd_cone), kArgs,
     "add_psd_cone($self, entries)\n--\n\n"
     "Declare a first-class positive-semidefinite cone (Ql_Opt_17): ``X \xE2\xAA\xB0 0``.\n\n"
     "``entries`` are the variables of the **upper-triangle, column-major**\n"
     "svec of the symmetric d\xC3\x97" "d matrix ``X``, in the order\n"
     "``[X00, X01, X11, X02, X12, X22, \xE2\x80\xA6]`` (length ``d(d+1)/2``). A model with\n"
     "any cone auto-routes to Clarabel (``PSDTriangleConeT(d)``). The off-\n"
     "diagonal entries are \xE2\x88\x9A" "2-scaled internally per Clarabel's convention."},
    {"variables", fn(model_variables), kArgs,
     "variables($self, prefix, count, lower=None, upper=None)\n--\n\n"
     "Batch-add continuous variables. Returns a list of Var objects.\n"
     "Much faster than calling variable() in a loop for large models."},
    {"integers", fn(model_integers), kArgs,
     "integers($self, prefix, count, lower=None, upper=None)\n--\n\nBatch-add integer variables."},
    {"binaries", fn(model_binaries), kArgs,
     "binaries($self, prefix, count, lower=0.0, upper=1.0)\n--\n\nBatch-add binary variables.\n"
     "`lower` / `upper` (numbers or per-variable sequences within [0, 1]) may fix some of them."},
    {"add_matrix", fn(model_add_matrix), kArgs,
     "add_matrix($self, A, variables, sense, rhs, names=None)\n--\n\n"
     "Add one linear constraint per row of `A`: A[i, :] @ variables (sense[i]) rhs[i].\n"
     "`A` is a numpy 2-D array or any scipy.sparse matrix (CSR, CSC and COO are read\n"
     "whole), `sense` one of \"<=\", \">=\", \"==\" or a sequence of them per row, `rhs` a\n"
     "number or a sequence per row, `names` None or a sequence of str per row.\n"
     "Returns the indices of the new constraints."},
    // ---- Model.solve: the solve layer (src/python/solve/) registers its entry here. ----
    PELORA_MODEL_SOLVE_METHOD,
    {"validate", fn(model_validate), METH_NOARGS,
     "validate($self)\n--\n\nValidate the model before solving. Returns list of warning dicts."},
    {"to_lp", fn(model_to_lp), METH_NOARGS,
     "to_lp($self)\n--\n\nExport the model to LP format string."},
    {"to_mps", fn(model_to_mps), METH_NOARGS,
     "to_mps($self)\n--\n\nExport the model to free-format MPS string."},
    {"write", fn(model_write), kArgs,
     "write($self, path)\n--\n\nWrite the model to a file: LP, MPS or a Python script, chosen by the "
     "suffix\n(.lp, .mps, .py; .gz after it compresses the file)."},
    {"to_python", fn(model_to_python), METH_NOARGS,
     "to_python($self)\n--\n\nGenerate standalone Python code that recreates this model."},
    {"summary", fn(model_summary_method), METH_NOARGS,
     "summary($self)\n--\n\nGet a human-readable model summary."},
    {"var", fn(model_var), kArgs,
     "var($self, name)\n--\n\nThe variable named `name` (the newest of that name); KeyError, with "
     "close names,\nwhen there is none."},
    {"constraint", fn(model_constraint), kArgs,
     "constraint($self, name)\n--\n\nA ConstraintRef to the first constraint named `name`; KeyError, "
     "with close names,\nwhen there is none."},
    {"set_coefficient", fn(model_set_coefficient), kArgs,
     "set_coefficient($self, constraint, var, value)\n--\n\nSet the coefficient of `var` in a linear "
     "constraint (a ConstraintRef or a name);\n0 removes the term."},
    {"remove", fn(model_remove), kArgs,
     "remove($self, constraint)\n--\n\nRemove a constraint (a ConstraintRef or a name). Later "
     "constraints move up one\nposition (their `index` changes); every ConstraintRef stays valid."},
    {"copy", fn(model_copy), METH_NOARGS,
     "copy($self)\n--\n\nAn independent copy of the model. The variables and constraint handles of "
     "this\nmodel, as they are now, may be used with the copy too."},
    {"__copy__", fn(model_copy), METH_NOARGS, nullptr},
    {"__deepcopy__", fn(model_deepcopy), METH_O, nullptr},
    {"__reduce_ex__", fn(reduce_model), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getters[] = {
    {"num_vars", get_num_vars, nullptr, "Number of variables.", nullptr},
    {"num_constraints", get_num_constraints, nullptr, "Number of constraints.", nullptr},
    {"problem_type", get_problem_type, nullptr, "Detected problem type.", nullptr},
    {"vars", get_vars, nullptr, "The variables in creation order (a tuple).", nullptr},
    {"constraints", get_constraints, nullptr,
     "ConstraintRefs of the linear constraints in order, then of the nonlinear ones (a tuple).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Model(name=None)\n--\n\nThe main Model class exposed to Python.")},
    {Py_tp_new, reinterpret_cast<void*>(model_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(model_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(model_repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getters},
    {Py_mp_subscript, reinterpret_cast<void*>(model_getitem)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(model_setitem)},
    {0, nullptr},
};

PyType_Spec type_def = {
    "pelora_opt.Model",
    static_cast<int>(sizeof(Box<ModelState>)),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* model_type() { return type_once(g_type, type_def); }

PyObject* new_model_object(ModelState st) {
  const ModelId id = st.data.id;
  auto& table = live_models();
  table.reserve(table.size() + 1);
  PyObject* m = box_new(model_type(), std::move(st));
  table[id] = m;  // reserved: cannot fail
  return m;
}

PyObject* live_model(ModelId id) {
  auto& table = live_models();
  auto it = table.find(id);
  return it == table.end() ? nullptr : it->second;
}

std::string foreign_variable_message(const ForeignVariable& e) {
  std::string name = e.name;
  if (e.index && name.empty()) {
    if (PyObject* m = live_model(e.owner)) {
      const ModelData& d = model_state(m).data;
      if (*e.index < d.var_names.size()) name = d.var_names[*e.index];
    }
  }
  if (e.index || !name.empty()) {
    if (name.empty()) {
      return "variable at index " + std::to_string(*e.index) + " belongs to another model (one that no longer exists)";
    }
    return "variable '" + name + "' belongs to another model";
  }
  return "expression uses variables of another model";
}

Objective to_objective(PyObject* o) {
  if (is_var(o)) return var_expr(var_value(o), 1.0);
  if (is_expr(o)) return expr_value(o);
  if (is_quad_expr(o)) return quad_expr_value(o);
  if (is_nl_expr(o)) {
    const NlExpr& n = nl_expr_value(o);
    if (n.nl_terms.empty()) return n.linear;
    return n;
  }
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) {
    // Not a number: the objective message. Other failures of a user's
    // __float__ (or an int too large for a float) pass through.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_already_set();
    PyErr_Clear();
    throw_value_error("Expected Var, Expr, QuadExpr, NlExpr, or numeric value");
  }
  return Expr{LinearTerms{}, v};
}

}  // namespace pelora::py
