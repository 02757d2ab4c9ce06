#include "python/solve/interrupt.hpp"

#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/sigint.hpp"
#include "python/runtime/worker.hpp"

namespace pelora::py {

namespace {

struct Watcher {
  std::shared_ptr<InterruptState> state;
  const char* stop_method;
  bool armed;  // SIGINT is recorded for this thread's call
  bool cleared = false;  // the package's stop request was cleared for this run
};

constexpr char kCapsuleName[] = "pelora_opt.interrupt_watch";

void destroy_watcher(PyObject* capsule) {
  delete static_cast<Watcher*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

// f(*args): run the pending signal handlers; True when the solve must stop.
PyObject* check_interrupt(PyObject* self, PyObject* args) {
  auto* w = static_cast<Watcher*>(PyCapsule_GetPointer(self, kCapsuleName));
  if (!w) return nullptr;
  InterruptState& st = *w->state;
  bool interrupted = false;
  try {
    if (PyErr_CheckSignals() < 0) throw_already_set();
    interrupted = st.stop || (w->armed && sigint_recorded());
  } catch (const ErrorAlreadySet&) {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
      // The recording handler raising (for casadi), or a handler of the
      // user's: a stop either way.
      PyErr_Clear();
      interrupted = true;
    } else if (!st.pending_type) {
      PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
      PyErr_Fetch(&type, &value, &traceback);
      st.pending_type = Ref::steal(type);
      st.pending_value = Ref::steal(value);
      st.pending_traceback = Ref::steal(traceback);
    } else {
      PyErr_Clear();
    }
  }
  const bool stop = interrupted || static_cast<bool>(st.pending_type);
  if (w->stop_method && (stop || !w->cleared) && PyTuple_Check(args) && PyTuple_Size(args) >= 1) {
    // HiGHS keeps a stop request after the run it ended: the next run of
    // the same object with a callback would stop at its first look. The
    // first call of each run therefore clears it, unless it stops.
    PyObject* event = PyTuple_GetItem(args, 0);
    Ref r = Ref::steal(stop ? PyObject_CallMethod(event, w->stop_method, nullptr)
                            : PyObject_CallMethod(event, w->stop_method, "O", Py_False));
    if (!r) PyErr_Clear();  // a package without the method simply runs on
    w->cleared = true;
  }
  return PyBool_FromLong(stop ? 1 : 0);
}

PyMethodDef kCheckDef = {"check_interrupt", check_interrupt, METH_VARARGS, nullptr};

Ref watcher_function(PyMethodDef* def, const std::shared_ptr<InterruptState>& state,
                     const char* stop_method, bool armed) {
  auto* w = new Watcher{state, stop_method, armed};
  Ref capsule = Ref::steal(PyCapsule_New(w, kCapsuleName, destroy_watcher));
  if (!capsule) {
    delete w;
    throw_already_set();
  }
  return check(PyCFunction_New(def, capsule.get()));
}

// HiGHS's interrupt callbacks, as highspy names them.
constexpr const char* kHighsEvents[3] = {"cbSimplexInterrupt", "cbIpmInterrupt", "cbMipInterrupt"};

}  // namespace

InterruptWatch::InterruptWatch(bool raise) : state_(std::make_shared<InterruptState>()) {
  // Just before the package starts: a signal recorded since the call
  // began (building the model, the imports) ends the call here.
  if (!defer_.armed()) return;
  check_sigint();
  if (raise) raising_.emplace();
}

bool InterruptWatch::interrupted() const { return defer_.armed() && sigint_recorded(); }

bool InterruptWatch::settle(bool stopped) const {
  reraise_pending();
  // Just after the package returned: a signal it did not stop for (it came
  // after the package's last look, or outside its loop) is not dropped.
  if (!defer_.armed()) return false;
  if (!sigint_recorded()) return false;
  if (stopped) {
    sigint_answered();
    return true;
  }
  check_sigint();
  return false;
}

Ref InterruptWatch::callable(const char* stop_method) const {
  return watcher_function(&kCheckDef, state_, stop_method, defer_.armed());
}

void InterruptWatch::reraise_pending() const {
  if (!state_->pending_type) return;
  PyErr_Restore(state_->pending_type.release(), state_->pending_value.release(),
                state_->pending_traceback.release());
  throw_already_set();
}

HighsInterrupt::HighsInterrupt(PyObject* h, const InterruptWatch& watch)
    : h_(Ref::borrow(h)), callback_(watch.callable("interrupt")) {
  for (int k = 0; k < 3; ++k) {
    Ref event = Ref::steal(PyObject_GetAttrString(h_.get(), kHighsEvents[k]));
    if (!event) {
      PyErr_Clear();
      continue;
    }
    Ref r = Ref::steal(PyObject_CallMethod(event.get(), "subscribe", "O", callback_.get()));
    if (!r) {
      PyErr_Clear();
      continue;
    }
    subscribed_[k] = true;
  }
}

HighsInterrupt::~HighsInterrupt() {
  // Keeps an exception in flight (the destructor may run while one
  // propagates) and leaves the object as it was before.
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  for (int k = 0; k < 3; ++k) {
    if (!subscribed_[k]) continue;
    Ref event = Ref::steal(PyObject_GetAttrString(h_.get(), kHighsEvents[k]));
    if (event) {
      Ref r = Ref::steal(PyObject_CallMethod(event.get(), "unsubscribe", "O", callback_.get()));
    }
    PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

namespace {

// A run asked to stop ends at its next callback, well within this once it
// is past a phase without one.
constexpr auto kGrace = std::chrono::milliseconds(250);

}  // namespace

Ref call_answering_ctrl_c(PyObject* fn, PyObject* args, PyObject* kwargs,
                          const InterruptWatch& watch) {
  wait_for_unfinished_runs();
  if (!watch.armed()) return check(PyObject_Call(fn, args, kwargs));
  PackageCall call(fn, args, kwargs);
  return call.wait([&] { watch.request_stop(); }, kGrace);
}

Ref run_highs_answering_ctrl_c(PyObject* h, const InterruptWatch& watch) {
  wait_for_unfinished_runs();
  // Shared with the call: a run given up keeps its callbacks subscribed
  // until it has ended (taking them away would let it run on to its limit).
  auto subscription = std::make_shared<HighsInterrupt>(h, watch);
  if (!watch.armed()) return call_method(h, "run");
  Ref run = get_attr(h, "run");
  Ref no_args = check(PyTuple_New(0));
  PackageCall call(run.get(), no_args.get());
  call.on_end([subscription]() mutable { subscription.reset(); });
  return call.wait([&] { watch.request_stop(); }, kGrace);
}

}  // namespace pelora::py
