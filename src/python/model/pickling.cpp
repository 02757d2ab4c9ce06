#include "python/model/pickling.hpp"

#include <string>
#include <vector>

#include "core/blackbox/run.hpp"
#include "core/model/serialize.hpp"
#include "python/algebra/objects.hpp"
#include "python/blackbox/evaluate.hpp"
#include "python/solve/arrays.hpp"
#include "python/model/handles.hpp"
#include "python/model/model_object.hpp"
#include "python/result/result_object.hpp"
#include "python/runtime/args.hpp"

namespace pelora::py {
namespace {

// The bytes of `s` as the state argument: a PickleBuffer for protocol 5 and
// later (written without a further copy, or out of band), bytes otherwise.
Ref state_of(const std::string& s, PyObject* protocol) {
  Ref bytes = check(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
  const long p = protocol && PyLong_Check(protocol) ? PyLong_AsLong(protocol) : 0;
  if (p == -1 && PyErr_Occurred()) throw_already_set();
  if (p < 5) return bytes;
  Ref pickle = check(PyImport_ImportModule("pickle"));
  Ref buffer_type = check(PyObject_GetAttrString(pickle.get(), "PickleBuffer"));
  return check(PyObject_CallFunctionObjArgs(buffer_type.get(), bytes.get(), nullptr));
}

Ref restore_function() {
  Ref module = check(PyImport_ImportModule("pelora_opt"));
  return check(PyObject_GetAttrString(module.get(), "_restore"));
}

// (pelora_opt._restore, (kind, *args))
PyObject* reduced(const char* kind, std::vector<Ref> args) {
  Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(args.size() + 1)));
  PyTuple_SetItem(tuple.get(), 0, check(PyUnicode_FromString(kind)).release());
  for (size_t i = 0; i < args.size(); ++i) {
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i + 1), args[i].release());
  }
  Ref fn = restore_function();
  return check(PyTuple_Pack(2, fn.get(), tuple.get())).release();
}

// The bytes of any buffer-protocol object (bytes, bytearray, memoryview,
// PickleBuffer), handed to `f` as a span for as long as it runs.
template <class F>
auto with_bytes(PyObject* o, F&& f) {
  Py_buffer view;
  if (PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) < 0) throw_already_set();
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};
  return f(std::span<const char>(static_cast<const char*>(view.buf), static_cast<size_t>(view.len)));
}

template <class F>
auto reading(F&& f) {
  try {
    return f();
  } catch (const FormatError& e) {
    throw_value_error(e.what());
  }
}

std::string value_bytes(PyObject* self) {
  Writer w;
  if (is_expr(self)) {
    w.put<uint8_t>(0);
    write_expr(w, expr_value(self));
  } else if (is_quad_expr(self)) {
    w.put<uint8_t>(1);
    write_quad(w, quad_expr_value(self));
  } else if (is_nl_expr(self)) {
    w.put<uint8_t>(2);
    write_nl(w, nl_expr_value(self));
  } else {
    w.put<uint8_t>(3);
    write_constraint(w, constraint_value(self));
  }
  return std::move(w.out);
}

PyObject* value_from_bytes(std::span<const char> in) {
  Reader r(in);
  PyObject* out = nullptr;
  switch (r.get<uint8_t>()) {
    case 0: out = new_expr(read_expr(r)); break;
    case 1: out = new_quad_expr(read_quad(r)); break;
    case 2: out = new_nl_expr(read_nl(r)); break;
    case 3: out = new_constraint(read_constraint(r)); break;
    default: throw FormatError("pickled data is damaged");
  }
  Ref held = Ref::steal(out);
  if (!r.done()) throw FormatError("pickled data is damaged");
  return held.release();
}

PyObject* var_of_model(PyObject* model, PyObject* index) {
  if (!is_model(model)) throw_type_error("_restore: a Model is needed");
  const size_t i = as_count(index);
  auto [name, owner] = with_model_lock(model, [&](ModelData& d) {
    if (i >= d.variables.size()) throw_value_error("_restore: variable index out of range");
    return std::make_pair(d.var_name(i), d.id);
  });
  // A name block of its own that keeps the model alive: a Var unpickled
  // without anything else holding its model still has one.
  auto* block = new NameBlock(std::move(name), static_cast<VarIndex>(i), false, owner);
  NameRef names(block);
  block->anchor = std::shared_ptr<void>(Py_NewRef(model), [](void* p) { Py_DECREF(static_cast<PyObject*>(p)); });
  return new_var(std::move(names), static_cast<VarIndex>(i));
}

Ref arg(PyObject* args, Py_ssize_t i) {
  if (i >= PyTuple_Size(args)) throw_type_error("_restore: missing argument");
  return Ref::borrow(PyTuple_GetItem(args, i));
}

PyObject* restore_impl(PyObject*, PyObject* args) {
  return boundary([&]() -> PyObject* {
    const std::string kind = as_string(arg(args, 0).get());
    if (kind == "Model") {
      ModelData d = with_bytes(arg(args, 1).get(), [](std::span<const char> in) {
        return reading([&] { return read_model_data(in); });
      });
      return new_model_object(ModelState(std::move(d)));
    }
    if (kind == "Var") return var_of_model(arg(args, 1).get(), arg(args, 2).get());
    if (kind == "FreeVar") {
      // Still its old model's variable (so no model takes it as its own).
      const auto index = static_cast<VarIndex>(as_count(arg(args, 2).get()));
      const ModelId owner = PyLong_AsUnsignedLongLong(arg(args, 3).get());
      if (owner == static_cast<ModelId>(-1) && PyErr_Occurred()) throw_already_set();
      return new_var(NameRef(new NameBlock(as_string(arg(args, 1).get()), index, false, owner)), index);
    }
    if (kind == "Value") {
      return with_bytes(arg(args, 1).get(), [](std::span<const char> in) {
        return reading([&] { return value_from_bytes(in); });
      });
    }
    if (kind == "ConstraintRef") {
      PyObject* model = arg(args, 1).get();
      if (!is_model(model)) throw_type_error("_restore: a Model is needed");
      const size_t k = as_count(arg(args, 2).get());
      const uint64_t id = PyLong_AsUnsignedLongLong(arg(args, 3).get());
      if (id == static_cast<uint64_t>(-1) && PyErr_Occurred()) throw_already_set();
      if (k > 1) throw_value_error("pickled data is damaged");
      const ModelId mid = with_model_lock(model, [](ModelData& d) { return d.id; });
      return new_constraint_ref(ConstraintRefValue{mid, id, static_cast<RowKind>(k)}, model);
    }
    if (kind == "Result") {
      ResultValue v;
      v.data = with_bytes(arg(args, 1).get(), [](std::span<const char> in) {
        return reading([&] { return read_result(in); });
      });
      Ref basis = arg(args, 2);
      if (basis.get() != Py_None) v.basis = basis;
      return new_result(std::move(v));
    }
    if (kind == "BlackBoxResult") {
      pelora::blackbox::RunResult r;
      r.x = read_floats(arg(args, 1).get());
      r.objective = as_double(arg(args, 2).get());
      r.history = read_floats(arg(args, 3).get());
      r.evaluations = as_count(arg(args, 4).get());
      r.converged = PyObject_IsTrue(arg(args, 5).get()) == 1;
      r.stopped = PyObject_IsTrue(arg(args, 6).get()) == 1;
      return blackbox::new_blackbox_result(std::move(r));
    }
    throw_value_error("_restore: unknown kind " + kind);
  });
}

}  // namespace

PyObject* reduce_model(PyObject* self, PyObject* protocol) {
  return boundary([&] {
    std::string blob = with_model_lock(self, [](ModelData& d) { return write_model(d); });
    return reduced("Model", {state_of(blob, protocol)});
  });
}

PyObject* reduce_var(PyObject* self, PyObject*) {
  return boundary([&] {
    const VarValue& v = var_value(self);
    Ref index = check(PyLong_FromUnsignedLong(v.index));
    if (PyObject* m = live_model(v.owner())) return reduced("Var", {Ref::borrow(m), index});
    // A variable whose model is gone keeps its name and index.
    return reduced("FreeVar", {check(PyUnicode_FromString(v.name().c_str())), index,
                               check(PyLong_FromUnsignedLongLong(v.owner()))});
  });
}

PyObject* reduce_value(PyObject* self, PyObject* protocol) {
  return boundary([&] { return reduced("Value", {state_of(value_bytes(self), protocol)}); });
}

PyObject* reduce_constraint_ref(PyObject* self, PyObject*) {
  return boundary([&] {
    const ConstraintRefValue& r = constraint_ref_value(self);
    PyObject* m = live_model(r.model);
    if (!m) throw_value_error("the model of this constraint no longer exists");
    return reduced("ConstraintRef", {Ref::borrow(m), check(PyLong_FromLong(static_cast<long>(r.kind))),
                                     check(PyLong_FromUnsignedLongLong(r.id))});
  });
}

PyObject* reduce_result(PyObject* self, PyObject* protocol) {
  return boundary([&] {
    const ResultValue& v = result_value(self);
    // The basis goes along when it pickles itself; HiGHS's does not, and the
    // diagnostics do not need it.
    Ref basis = Ref::borrow(Py_None);
    if (v.basis) {
      Ref pickle = check(PyImport_ImportModule("pickle"));
      Ref dumped = Ref::steal(PyObject_CallMethod(pickle.get(), "dumps", "O", v.basis.get()));
      if (dumped) basis = v.basis;
      else if (PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
      else throw_already_set();
    }
    return reduced("Result", {state_of(write_result(v.data), protocol), basis});
  });
}

PyObject* reduce_blackbox_result(PyObject* self, PyObject*) {
  return boundary([&] {
    const auto& r = unbox<pelora::blackbox::RunResult>(self);
    return reduced("BlackBoxResult",
                   {float_list(r.x), check(PyFloat_FromDouble(r.objective)), float_list(r.history),
                    check(PyLong_FromUnsignedLongLong(r.evaluations)), Ref::borrow(r.converged ? Py_True : Py_False),
                    Ref::borrow(r.stopped ? Py_True : Py_False)});
  });
}

PyObject* model_copy(PyObject* self, PyObject*) {
  return boundary([&] {
    ModelData d = with_model_lock(self, [](ModelData& src) { return copied_model(src); });
    return new_model_object(ModelState(std::move(d)));
  });
}

PyObject* model_deepcopy(PyObject* self, PyObject* memo) {
  PyObject* copy = model_copy(self, nullptr);
  if (!copy || !memo || !PyDict_Check(memo)) return copy;
  // memo[id(self)] = copy, so that Vars deep-copied with the model join it.
  Ref key = Ref::steal(PyLong_FromVoidPtr(self));
  if (!key || PyDict_SetItem(memo, key.get(), copy) < 0) {
    Py_DECREF(copy);
    return nullptr;
  }
  return copy;
}

PyObject* same_object(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyMethodDef restore_def = {"_restore", restore_impl, METH_VARARGS,
                           "_restore(kind, *state)\n--\n\nRebuild a pickled pelora_opt object."};

}  // namespace pelora::py
