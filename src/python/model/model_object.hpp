// The Python Model object: its ModelData behind a per-model lock.
#pragma once
#include <Python.h>

#include <mutex>
#include <thread>

#include "core/model/editing.hpp"
#include "core/model/model_data.hpp"
#include "python/registry.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/types.hpp"
#include "python/runtime/worker.hpp"

namespace pelora::py {

// A mutex that can sit in a value moved into its Python box (a moved-from
// state is never locked: moves happen only while the object is created).
struct ModelMutex : std::timed_mutex {
  ModelMutex() = default;
  ModelMutex(ModelMutex&&) noexcept {}
};

struct ModelState {
  ModelState() { init_identity(data); }
  explicit ModelState(ModelData d) : data(std::move(d)) {}
  ModelData data;
  ModelMutex mutex;       // held while a method works on `data`
  std::thread::id owner;  // the thread holding `mutex` (default id: none)
  bool poisoned = false;  // an internal failure happened while locked
};

inline bool is_model(PyObject* o) { return Py_TYPE(o) == model_type(); }
inline ModelState& model_state(PyObject* o) { return unbox<ModelState>(o); }

// A new Model object owning `st`, entered in the table of live models (new
// reference; throws on failure). Every Model object is made here.
PyObject* new_model_object(ModelState st);
// The live Model object with id `id` (borrowed), or null once it is gone.
PyObject* live_model(ModelId id);
// The Model a variable belongs to (borrowed); ValueError when it is gone.
PyObject* model_of_var(const struct VarValue& v);
// Takes `mutex`, which another thread holds, with the interpreter lock
// released; Ctrl-C (any pending signal handler) ends the wait.
void wait_for_model(ModelMutex& mutex);

// Runs f(data) with the model locked. A poisoned model raises InternalFailure.
// A re-entrant call from the thread that already holds the lock (e.g. from a
// callback during a solve) raises RuntimeError "Already borrowed" instead of
// deadlocking. Another thread waits for the lock with the interpreter lock
// released (solver packages release it while they run). A Python-level error
// raised by `f` leaves the model usable; any other failure poisons it.
template <class F>
auto with_model_lock(PyObject* self, F&& f) -> decltype(f(std::declval<ModelData&>())) {
  ModelState& st = model_state(self);
  const std::thread::id me = acting_thread_id();
  if (st.poisoned) throw InternalFailure("model lock poisoned by an earlier internal failure");
  if (st.owner == me) throw_runtime_error("Already borrowed");
  if (!st.mutex.try_lock()) wait_for_model(st.mutex);
  st.owner = me;
  struct Unlock {
    ModelState& s;
    ~Unlock() {
      s.owner = std::thread::id();
      s.mutex.unlock();
    }
  } unlock{st};
  if (st.poisoned) throw InternalFailure("model lock poisoned by an earlier internal failure");
  try {
    return f(st.data);
  } catch (const PyError&) {
    throw;
  } catch (const ErrorAlreadySet&) {
    throw;
  } catch (const ForeignVariable&) {
    throw;  // refused before anything changed
  } catch (const EditError& e) {
    throw_value_error(e.what());
  } catch (...) {
    st.poisoned = true;
    throw;
  }
}

}  // namespace pelora::py
