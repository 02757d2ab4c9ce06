// Ctrl-C during a package's solve call. While a package runs in C++, the
// interpreter's SIGINT handler only runs when Python code does (in the
// package's progress callbacks), and a KeyboardInterrupt raised there would
// be turned into a solver error. The signal is therefore only recorded
// (DeferSigint); the package's callback asks the record and stops, and the
// solve ends with status "interrupted", keeping its incumbent. A custom
// SIGINT handler, or a solve outside the main thread, is left alone.
#pragma once
#include <Python.h>

#include <atomic>
#include <memory>
#include <optional>

#include "python/runtime/ref.hpp"
#include "python/runtime/sigint.hpp"

namespace pelora::py {

struct InterruptState {
  Ref pending_type, pending_value, pending_traceback;  // another exception a handler raised
  // Set by the waiting thread when the package runs on a worker thread (the
  // signal is recorded for the main thread only): the callable says stop.
  std::atomic<bool> stop{false};
};

// Ctrl-C around one package run, within the deferral of the whole call
// (DeferSigint; a watch made outside one defers for itself). A signal
// recorded before the run starts raises KeyboardInterrupt from the
// constructor, so the run never starts; after the run, settle() either
// answers a recorded signal with the run's "interrupted" status or raises
// KeyboardInterrupt for it.
class InterruptWatch {
 public:
  // With `raise`, the recording handler also raises KeyboardInterrupt, for
  // packages that stop by themselves on that exception (casadi reports it
  // as a failed solve, which the record then names an interrupt).
  explicit InterruptWatch(bool raise = false);
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // A new reference to a callable f(*args) that runs pending signal
  // handlers and returns True once an interrupt was recorded (or another
  // signal handler raised), False otherwise. With `stop_method`, a True
  // answer also calls that method on the first argument (HiGHS's event
  // `interrupt`).
  Ref callable(const char* stop_method = nullptr) const;
  // Whether a SIGINT is recorded (pending handlers run first).
  bool interrupted() const;
  // Whether this call records SIGINT (main thread, Python's own handler).
  bool armed() const noexcept { return defer_.armed(); }
  // From now on the callable answers True on any thread.
  void request_stop() const noexcept { state_->stop = true; }
  // Re-raises an exception that another signal handler raised during the
  // solve.
  void reraise_pending() const;
  // After the run: re-raises another handler's exception; then, with a
  // SIGINT recorded, returns true when `stopped` (the package ended its
  // run for it: the solve's status is "interrupted") and raises
  // KeyboardInterrupt otherwise; false without a signal.
  bool settle(bool stopped) const;

 private:
  DeferSigint defer_;
  std::optional<RaisingSigint> raising_;
  std::shared_ptr<InterruptState> state_;
};

// Subscribes `watch`'s callable to HiGHS's simplex, interior-point and MIP
// interrupt callbacks of `h` for the lifetime of this object. A highspy
// without these callbacks leaves the solve as it was.
class HighsInterrupt {
 public:
  HighsInterrupt(PyObject* h, const InterruptWatch& watch);
  ~HighsInterrupt();
  HighsInterrupt(const HighsInterrupt&) = delete;
  HighsInterrupt& operator=(const HighsInterrupt&) = delete;

 private:
  Ref h_;  // held: a run given up still running may outlive its caller
  Ref callback_;
  bool subscribed_[3] = {false, false, false};
};

// h.run() answering Ctrl-C. HiGHS's loops stop through its interrupt
// callbacks; its presolve and simplex set-up have none and may run for
// seconds on a large model, so on the main thread (with the signal
// recorded) the run goes on a worker thread while this one waits. A signal
// asks HiGHS to stop; a run that has not ended a short while later (still in
// such a phase) is given up: null is returned, and the run, asked to stop,
// ends by itself at HiGHS's first callback, keeping its own references to
// `h` and the callback. Every HiGHS run (and a PersistentHighs change)
// first waits for given-up runs to end, so two runs never overlap because
// of one. Returns run()'s status otherwise.
Ref run_highs_answering_ctrl_c(PyObject* h, const InterruptWatch& watch);

// fn(*args, **kwargs) (`kwargs` may be null) the same way, for a package
// call that stops through `watch`'s callable (Clarabel's termination
// callback) or that ends by itself in bounded time (casadi's problem
// build): on the main thread with the signal recorded it runs on a worker
// thread, and a SIGINT gives it up when it has not ended shortly after (null
// is returned; the caller answers "interrupted"). Called directly otherwise.
Ref call_answering_ctrl_c(PyObject* fn, PyObject* args, PyObject* kwargs,
                          const InterruptWatch& watch);

}  // namespace pelora::py
