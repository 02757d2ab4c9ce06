// The Python Model object: its ModelData behind a per-model lock.
#pragma once
#include <Python.h>

#include "core/model/model_data.hpp"
#include "python/registry.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/types.hpp"

namespace pelora::py {

struct ModelState {
  ModelData data;
  bool locked = false;    // a method is working on `data`
  bool poisoned = false;  // an internal failure happened while locked
};

inline bool is_model(PyObject* o) { return Py_TYPE(o) == model_type(); }
inline ModelState& model_state(PyObject* o) { return unbox<ModelState>(o); }

// Runs f(data) with the model locked. A poisoned model raises InternalFailure;
// a re-entrant call (the model is already locked further up this thread's
// stack, e.g. from a callback during a solve) raises RuntimeError
// "Already borrowed" instead of deadlocking. A Python-level error raised by
// `f` leaves the model usable; any other failure poisons it.
template <class F>
auto with_model_lock(PyObject* self, F&& f) -> decltype(f(std::declval<ModelData&>())) {
  ModelState& st = model_state(self);
  if (st.poisoned) throw InternalFailure("model lock poisoned by an earlier internal failure");
  if (st.locked) throw_runtime_error("Already borrowed");
  st.locked = true;
  struct Unlock {
    ModelState& s;
    ~Unlock() { s.locked = false; }
  } unlock{st};
  try {
    return f(st.data);
  } catch (const PyError&) {
    throw;
  } catch (const ErrorAlreadySet&) {
    throw;
  } catch (...) {
    st.poisoned = true;
    throw;
  }
}

}  // namespace pelora::py
