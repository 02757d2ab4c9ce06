// Holding Ctrl-C back while code runs that must not be cut short (an
// import, a pool being started or closed, a solver package's run, or a
// whole solve call, whose parts answer the signal at their own points).
//
// On the main thread, while SIGINT has Python's default handler, a
// deferral puts a handler in its place that only records the signal; the
// outermost deferral puts the previous handler back. finish() then raises
// the KeyboardInterrupt that a recorded signal stands for. A deferral left
// by an exception (other than KeyboardInterrupt) hands a recorded signal on
// to the restored handler, which raises it at the interpreter's next check:
// a signal is never lost. On other threads, or with a handler of the user's
// (or SIGINT ignored), a deferral does nothing.
#pragma once
#include <Python.h>

namespace pelora::py {

class DeferSigint {
 public:
  // Raises KeyboardInterrupt (ErrorAlreadySet) when a SIGINT was pending
  // before the recording handler could take over: the signal came first.
  DeferSigint();
  ~DeferSigint();
  DeferSigint(const DeferSigint&) = delete;
  DeferSigint& operator=(const DeferSigint&) = delete;

  // Ends the deferral (the outermost one restores the handler) and raises
  // KeyboardInterrupt for a signal recorded and not answered meanwhile.
  void finish();
  // Whether signals are being recorded (this or an enclosing deferral armed).
  bool armed() const noexcept { return armed_; }

 private:
  bool armed_ = false;
  bool owner_ = false;  // the outermost deferral: it restores the handler
  bool done_ = false;
};

// Runs the pending signal handlers (throws what one of them raises) and
// tells whether a deferred SIGINT is recorded and not yet answered.
bool sigint_recorded();
// The recorded SIGINT has been answered (a solver run ended "interrupted").
void sigint_answered() noexcept;
// Raises KeyboardInterrupt for a recorded SIGINT (and whatever a pending
// signal handler raises); nothing otherwise. The check points of long calls.
void check_sigint();

// While alive, the recording handler also raises KeyboardInterrupt after
// recording, for packages that stop on that exception from their own
// signal checks.
class RaisingSigint {
 public:
  RaisingSigint() noexcept;
  ~RaisingSigint();
  RaisingSigint(const RaisingSigint&) = delete;
  RaisingSigint& operator=(const RaisingSigint&) = delete;

 private:
  bool previous_;
};

}  // namespace pelora::py
