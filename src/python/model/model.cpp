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

#include <sys/stat.h>

#include "core/model/building.hpp"
#include "core/model/exports.hpp"
#include "core/model/standard_form.hpp"
#include "core/model/validate.hpp"
#include "python/algebra/objects.hpp"
#include "python/model/model_arrays.hpp"
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
    return box_new(type, std::move(st));
  });
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
    for (size_t i = 0; i < count; ++i) {
      if (lowers) d.variables[at + i].lower = (*lowers)[i];
      if (uppers) d.variables[at + i].upper = (*uppers)[i];
    }
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

PyObject* batch_bounded(PyObject* self, PyObject* args, PyObject* kw, const Params<4>& p,
                        VarKind kind) {
  auto a = match(p, args, kw);
  const std::string prefix = a.to_string(0);
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
    with_model_lock(self, [&](ModelData& d) { add_constraint(d, std::move(stored)); });
    Py_RETURN_NONE;
  });
}

const Params<1> kMinimize{"Model.minimize()", {"expr"}, 1, false};
const Params<1> kMaximize{"Model.maximize()", {"expr"}, 1, false};

PyObject* set_objective(PyObject* self, PyObject* args, PyObject* kw, const Params<1>& p,
                        bool maximize) {
  auto a = match(p, args, kw);
  Objective obj = stored_objective(to_objective(a[0]));
  with_model_lock(self, [&](ModelData& d) {
    d.objective = std::move(obj);
    d.maximize = maximize;
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
      d.soc_cones.push_back(std::move(cone));
      return d.soc_cones.size() - 1;
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
      d.psd_cones.push_back(std::move(cone));
      return d.psd_cones.size() - 1;
    });
    return PyLong_FromSize_t(pos);
  });
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
      Ref gzip = check(PyImport_ImportModule("gzip"));
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
     "variable($self, name, lower=..., upper=...)\n--\n\nAdd a continuous variable."},
    {"integer", fn(model_integer), kArgs,
     "integer($self, name, lower=..., upper=...)\n--\n\nAdd an integer variable."},
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
     "variables($self, prefix, count, lower=..., upper=...)\n--\n\n"
     "Batch-add continuous variables. Returns a list of Var objects.\n"
     "Much faster than calling variable() in a loop for large models."},
    {"integers", fn(model_integers), kArgs,
     "integers($self, prefix, count, lower=..., upper=...)\n--\n\nBatch-add integer variables."},
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
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getters[] = {
    {"num_vars", get_num_vars, nullptr, "Number of variables.", nullptr},
    {"num_constraints", get_num_constraints, nullptr, "Number of constraints.", nullptr},
    {"problem_type", get_problem_type, nullptr, "Detected problem type.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Model(name=None)\n--\n\nThe main Model class exposed to Python.")},
    {Py_tp_new, reinterpret_cast<void*>(model_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<ModelState>)},
    {Py_tp_repr, reinterpret_cast<void*>(model_repr)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getters},
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

Objective to_objective(PyObject* o) {
  if (is_var(o)) return Expr{LinearTerms::single(var_value(o).index, 1.0), 0.0};
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
