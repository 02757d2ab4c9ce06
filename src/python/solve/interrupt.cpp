#include "python/solve/interrupt.hpp"

#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"

namespace pelora::py {

namespace {

struct Watcher {
  std::shared_ptr<InterruptState> state;
  const char* stop_method;
  bool raise = false;
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
  if (PyErr_CheckSignals() < 0) {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
      PyErr_Clear();
      st.interrupted = true;
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
  const bool stop = st.interrupted || static_cast<bool>(st.pending_type);
  if (stop && w->stop_method && PyTuple_Check(args) && PyTuple_Size(args) >= 1) {
    Ref r = Ref::steal(PyObject_CallMethod(PyTuple_GetItem(args, 0), w->stop_method, nullptr));
    if (!r) PyErr_Clear();  // a package without the method simply runs on
  }
  return PyBool_FromLong(stop ? 1 : 0);
}

PyMethodDef kCheckDef = {"check_interrupt", check_interrupt, METH_VARARGS, nullptr};

// handler(signum, frame): records the interrupt.
PyObject* record_interrupt(PyObject* self, PyObject*) {
  auto* w = static_cast<Watcher*>(PyCapsule_GetPointer(self, kCapsuleName));
  if (!w) return nullptr;
  w->state->interrupted = true;
  if (w->raise) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef kRecordDef = {"record_interrupt", record_interrupt, METH_VARARGS, nullptr};

Ref watcher_function(PyMethodDef* def, const std::shared_ptr<InterruptState>& state,
                     const char* stop_method, bool raise = false) {
  auto* w = new Watcher{state, stop_method, raise};
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
  // Any failure here leaves the default handler in place: the solve runs as
  // it would without the watch.
  Ref signal = Ref::steal(PyImport_ImportModule("signal"));
  if (!signal) {
    PyErr_Clear();
    return;
  }
  Ref sigint = Ref::steal(PyObject_GetAttrString(signal.get(), "SIGINT"));
  Ref current = sigint ? Ref::steal(PyObject_CallMethod(signal.get(), "getsignal", "O", sigint.get()))
                       : Ref();
  Ref default_handler = Ref::steal(PyObject_GetAttrString(signal.get(), "default_int_handler"));
  if (!sigint || !current || !default_handler || current.get() != default_handler.get()) {
    PyErr_Clear();
    return;
  }
  Ref handler;
  try {
    handler = watcher_function(&kRecordDef, state_, nullptr, raise);
  } catch (...) {
    PyErr_Clear();
    return;
  }
  // signal.signal raises ValueError outside the main thread.
  Ref old = Ref::steal(PyObject_CallMethod(signal.get(), "signal", "OO", sigint.get(), handler.get()));
  if (!old) {
    PyErr_Clear();
    return;
  }
  signal_module_ = std::move(signal);
  previous_handler_ = std::move(current);
}

InterruptWatch::~InterruptWatch() {
  if (!signal_module_) return;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  Ref sigint = Ref::steal(PyObject_GetAttrString(signal_module_.get(), "SIGINT"));
  if (sigint) {
    Ref r = Ref::steal(PyObject_CallMethod(signal_module_.get(), "signal", "OO", sigint.get(),
                                           previous_handler_.get()));
  }
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
}

Ref InterruptWatch::callable(const char* stop_method) const {
  return watcher_function(&kCheckDef, state_, stop_method);
}

void InterruptWatch::reraise_pending() const {
  if (!state_->pending_type) return;
  PyErr_Restore(state_->pending_type.release(), state_->pending_value.release(),
                state_->pending_traceback.release());
  throw_already_set();
}

HighsInterrupt::HighsInterrupt(PyObject* h, const InterruptWatch& watch)
    : h_(h), callback_(watch.callable("interrupt")) {
  for (int k = 0; k < 3; ++k) {
    Ref event = Ref::steal(PyObject_GetAttrString(h_, kHighsEvents[k]));
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
    Ref event = Ref::steal(PyObject_GetAttrString(h_, kHighsEvents[k]));
    if (event) {
      Ref r = Ref::steal(PyObject_CallMethod(event.get(), "unsubscribe", "O", callback_.get()));
    }
    PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

}  // namespace pelora::py
