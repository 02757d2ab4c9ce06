// Ctrl-C during a package's solve call. While a package runs in C++, the
// interpreter's SIGINT handler only runs when Python code does (in the
// package's progress callbacks), and a KeyboardInterrupt raised there would
// be turned into a solver error. A watch therefore replaces the default
// SIGINT handler for its lifetime with one that only records the interrupt;
// the package's callback then asks it to stop, and the solve ends with
// status "interrupted", keeping its incumbent. A custom SIGINT handler, or
// a solve outside the main thread, is left alone.
#pragma once
#include <Python.h>

#include <memory>

#include "python/runtime/ref.hpp"

namespace pelora::py {

struct InterruptState {
  bool interrupted = false;
  Ref pending_type, pending_value, pending_traceback;  // another exception a handler raised
};

class InterruptWatch {
 public:
  // Arms: the recording handler replaces the default one. With `raise`,
  // the handler still raises KeyboardInterrupt after recording it, for
  // packages that stop by themselves on that exception (casadi reports it
  // as a failed solve, which the record then names an interrupt).
  explicit InterruptWatch(bool raise = false);
  ~InterruptWatch();  // restores the handler that was there
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // A new reference to a callable f(*args) that runs pending signal
  // handlers and returns True once an interrupt was recorded (or another
  // signal handler raised), False otherwise. With `stop_method`, a True
  // answer also calls that method on the first argument (HiGHS's event
  // `interrupt`).
  Ref callable(const char* stop_method = nullptr) const;
  bool interrupted() const noexcept { return state_->interrupted; }
  // Re-raises an exception that another signal handler raised during the
  // solve.
  void reraise_pending() const;

 private:
  std::shared_ptr<InterruptState> state_;
  Ref signal_module_, previous_handler_;  // set while armed
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
  PyObject* h_;  // borrowed; outlives this object
  Ref callback_;
  bool subscribed_[3] = {false, false, false};
};

}  // namespace pelora::py
