// A package's blocking call on a worker thread, so that the calling thread
// can answer Ctrl-C while the package sits in a phase that never looks at
// signals (HiGHS's presolve and its simplex set-up have no callback).
//
// The worker is a Python thread (not a daemon: the interpreter's exit waits
// for it) that holds its own references to the callable and its arguments,
// so nothing it touches can be freed under it. The calling thread waits with
// the interpreter lock released, in short slices, looking at the signals in
// between. When the package does not end soon enough after being asked to
// stop, the call is given up: the caller goes on, and the run is kept among
// the unfinished ones until it ends by itself (it was asked to stop, so it
// ends at its next check). wait_for_unfinished_runs() lets a later run wait
// for those first.
#pragma once
#include <Python.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "python/runtime/ref.hpp"

namespace pelora::py {

struct WorkerState;

class PackageCall {
 public:
  // Starts fn(*args, **kwargs) on a new thread (`kwargs` may be null).
  PackageCall(PyObject* fn, PyObject* args, PyObject* kwargs = nullptr);
  // A call still running when this object dies is kept among the
  // unfinished runs; `on_end` (when set) runs once it has ended, with the
  // interpreter lock held, from a later wait_for_unfinished_runs().
  ~PackageCall();
  PackageCall(const PackageCall&) = delete;
  PackageCall& operator=(const PackageCall&) = delete;

  // Waits for the call. A SIGINT recorded meanwhile (or another signal
  // handler raising) calls `stop` once, and the wait goes on for at most
  // `grace`. Returns the call's result (raising what it raised), or a null
  // reference when the call was given up still running. A signal handler's
  // exception other than the recorded SIGINT is raised once the call ended
  // or was given up.
  Ref wait(const std::function<void()>& stop, std::chrono::milliseconds grace);
  // What runs once a given-up call has ended (for example taking back a
  // callback the run still uses).
  void on_end(std::function<void()> f) { on_end_ = std::move(f); }

 private:
  std::shared_ptr<WorkerState> state_;
  std::function<void()> on_end_;
};

// The thread a call counts as made on: on a worker thread, the thread that
// started the package call (a package callback re-entering the library is
// its caller's own re-entry, answered as such, never a wait on itself);
// this thread otherwise.
std::thread::id acting_thread_id() noexcept;

// Waits until every given-up run has ended (Ctrl-C raises KeyboardInterrupt
// here, before the caller starts anything) and runs their `on_end`.
void wait_for_unfinished_runs();

}  // namespace pelora::py
