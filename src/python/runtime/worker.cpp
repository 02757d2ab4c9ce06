#include "python/runtime/worker.hpp"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/sigint.hpp"

namespace pelora::py {

// Shared by the worker thread and the waiting one. The Refs are touched only
// with the interpreter lock held; `done` under `mutex`.
struct WorkerState {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  std::thread::id caller;  // the thread the call is made for
  Ref fn, args, kwargs;
  Ref result, error_type, error_value, error_traceback;
};

namespace {

thread_local std::optional<std::thread::id> t_acting_for;

using Clock = std::chrono::steady_clock;
// How long the waiting thread sleeps between two looks at the signals.
constexpr auto kSlice = std::chrono::milliseconds(20);

constexpr char kCapsuleName[] = "pelora_opt.package_call";

void destroy_state(PyObject* capsule) {
  delete static_cast<std::shared_ptr<WorkerState>*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// The worker thread's target: runs the call, keeps its outcome and drops the
// callable and its arguments before saying it is done.
PyObject* worker_main(PyObject* self, PyObject*) {
  auto* holder = static_cast<std::shared_ptr<WorkerState>*>(PyCapsule_GetPointer(self, kCapsuleName));
  if (!holder) return nullptr;
  WorkerState& st = **holder;
  t_acting_for = st.caller;
  PyObject* r = PyObject_Call(st.fn.get(), st.args.get(), st.kwargs.get());
  t_acting_for.reset();
  if (r) {
    st.result = Ref::steal(r);
  } else {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    st.error_type = Ref::steal(type);
    st.error_value = Ref::steal(value);
    st.error_traceback = Ref::steal(tb);
  }
  st.fn = Ref();
  st.args = Ref();
  st.kwargs = Ref();
  {
    std::lock_guard<std::mutex> lock(st.mutex);
    st.done = true;
  }
  st.ended.notify_all();
  Py_RETURN_NONE;
}

PyMethodDef kWorkerDef = {"package_call", worker_main, METH_NOARGS, nullptr};

// Waits up to `slice` for the call's end with the interpreter lock released;
// whether it has ended. The mutex is let go before the lock is taken back
// (the worker takes them the other way round).
bool wait_slice(WorkerState& st, std::chrono::milliseconds slice) {
  bool done = false;
  Py_BEGIN_ALLOW_THREADS
  {
    std::unique_lock<std::mutex> lock(st.mutex);
    done = st.ended.wait_for(lock, slice, [&] { return st.done; });
  }
  Py_END_ALLOW_THREADS
  return done;
}

bool has_ended(WorkerState& st) {
  std::lock_guard<std::mutex> lock(st.mutex);
  return st.done;
}

struct Unfinished {
  std::shared_ptr<WorkerState> state;
  std::function<void()> on_end;
};

// Given-up runs; touched only with the interpreter lock held. Never
// destroyed: its references must not be dropped after the interpreter ends.
std::vector<Unfinished>& unfinished() {
  static auto* runs = new std::vector<Unfinished>();
  return *runs;
}

}  // namespace

PackageCall::PackageCall(PyObject* fn, PyObject* args, PyObject* kwargs)
    : state_(std::make_shared<WorkerState>()) {
  state_->caller = acting_thread_id();
  state_->fn = Ref::borrow(fn);
  state_->args = Ref::borrow(args);
  state_->kwargs = Ref::borrow(kwargs);
  auto* holder = new std::shared_ptr<WorkerState>(state_);
  Ref capsule = Ref::steal(PyCapsule_New(holder, kCapsuleName, destroy_state));
  if (!capsule) {
    delete holder;
    throw_already_set();
  }
  Ref target = check(PyCFunction_New(&kWorkerDef, capsule.get()));
  Ref threading = import_module("threading");
  Ref thread_type = get_attr(threading.get(), "Thread");
  Ref thread_kwargs = check(Py_BuildValue("{s:O,s:s}", "target", target.get(), "name",
                                          "pelora-opt package run"));
  Ref no_args = check(PyTuple_New(0));
  Ref thread = check(PyObject_Call(thread_type.get(), no_args.get(), thread_kwargs.get()));
  call_method(thread.get(), "start");
}

PackageCall::~PackageCall() {
  if (has_ended(*state_)) return;
  unfinished().push_back({std::move(state_), std::move(on_end_)});
}

Ref PackageCall::wait(const std::function<void()>& stop, std::chrono::milliseconds grace) {
  WorkerState& st = *state_;
  bool stopping = false;
  Clock::time_point give_up{};
  Ref type, value, traceback;  // another signal handler's exception
  for (;;) {
    if (wait_slice(st, kSlice)) break;
    if (stopping) {
      if (Clock::now() >= give_up) break;
      continue;
    }
    bool signalled = false;
    try {
      signalled = sigint_recorded();
    } catch (const ErrorAlreadySet&) {
      PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
      PyErr_Fetch(&t, &v, &tb);
      type = Ref::steal(t), value = Ref::steal(v), traceback = Ref::steal(tb);
      signalled = true;
    }
    if (signalled) {
      stopping = true;
      stop();
      give_up = Clock::now() + grace;
    }
  }
  const bool done = has_ended(st);
  if (type) {
    PyErr_Restore(type.release(), value.release(), traceback.release());
    throw_already_set();
  }
  if (!done) return Ref();
  if (st.error_type) {
    PyErr_Restore(st.error_type.release(), st.error_value.release(), st.error_traceback.release());
    throw_already_set();
  }
  return std::move(st.result);
}

std::thread::id acting_thread_id() noexcept {
  return t_acting_for ? *t_acting_for : std::this_thread::get_id();
}

void wait_for_unfinished_runs() {
  std::vector<Unfinished>& runs = unfinished();
  while (!runs.empty()) {
    // Another thread may add a run while this one waits without the lock:
    // the state is held by value across the wait.
    const std::shared_ptr<WorkerState> state = runs.back().state;
    if (!has_ended(*state) && !wait_slice(*state, kSlice)) {
      check_sigint();
      continue;
    }
    for (size_t k = 0; k < runs.size(); ++k) {
      if (runs[k].state != state) continue;
      Unfinished run = std::move(runs[k]);
      runs.erase(runs.begin() + static_cast<std::ptrdiff_t>(k));
      if (run.on_end) run.on_end();
      break;
    }
  }
}

}  // namespace pelora::py
