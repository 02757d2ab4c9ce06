// The keywords every black-box optimiser shares (max_evals, max_time,
// target, callback, verbose, workers, vectorized) and the machinery behind
// them: the process pool a call starts and closes, the batch evaluation of a
// generation through a map-like callable, and the monitor that calls the
// user's callback and prints progress lines.
#pragma once
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/blackbox/run.hpp"
#include "core/blackbox/run_control.hpp"
#include "python/runtime/ref.hpp"

namespace pelora::py::blackbox {

namespace bb = pelora::blackbox;

// Which of the shared keywords a function reads.
struct FrameKeys {
  bool max_evals = true;   // false where max_evals has a meaning of its own (portfolio)
  bool target = true;      // false where no single value is minimised (frontier, ADMM)
  bool vectorized = true;  // false where the callables are not objectives (ADMM)
  bool workers = true;     // false where points come one at a time (annealing)
};

// The shared keywords as given. None stands for "not given" for every one.
struct FrameOptions {
  std::optional<uint64_t> max_evals;
  std::optional<double> max_time;
  std::optional<double> target;
  Ref callback;
  bool verbose = false;
  Ref workers;  // an int (held as a Python int), a map-like callable, or a
                // Dask client (then `client` too)
  long workers_count = 0;  // the int given, 0 for a callable, a client or absent
  Ref client;   // a dask.distributed.Client given as workers
  Ref pool;     // a pool object given as workers (its `map` is `workers`)
  bool vectorized = false;
};

// Reads the shared keywords from `kwargs` (may be null). Bad values raise
// TypeError or ValueError naming the keyword.
FrameOptions read_frame_options(PyObject* kwargs, FrameKeys keys = {});

// One call's frame. It starts the process pool for an int `workers` above 1
// (closing it when destroyed, on every path), evaluates batches, and serves
// as the run's monitor.
class Frame {
 public:
  explicit Frame(FrameOptions options);
  ~Frame();
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

  const FrameOptions& options() const { return o_; }
  // Whether generations are evaluated as batches (workers or vectorized).
  bool batching() const { return o_.workers || o_.vectorized; }
  // Whether points leave this process (a pool or a user's map).
  // Valid once open() has run.
  bool remote() const { return static_cast<bool>(map_); }

  // Makes ready for a run whose per-point task is `shipped` (what the
  // workers receive): for a pool the call starts, checks that it pickles
  // (TypeError naming `what` otherwise) and starts the pool.
  void open(PyObject* shipped, const char* what);

  // Maps `task` over `items` (a list) through the pool, the user's map or
  // the Dask client; returns a list of results, one per item. Unless
  // `whole_items`, the items go out as at most one chunk per worker (a
  // list of points each, one result list back per chunk). `whole_items`:
  // the task takes one item whatever vectorized says (sweep runs, parts).
  Ref map(PyObject* task, PyObject* items, bool whole_items = false);

  // Fills the caps, target and monitor of `control` (the batch pointer is
  // the caller's).
  void apply(bb::RunControl& control);

  // The monitor: callback and progress line after a generation.
  bool monitor(const bb::Progress& p);

 private:
  FrameOptions o_;
  Ref pool_;  // our _PoolMap, closed in the destructor
  Ref map_;   // the callable used to map: pool_ or the user's workers
  long parts_ = 1;  // chunks per batch: one per worker
  double last_line_ = -1.0;
  // When the call began: max_time also bounds the wait for a map's results.
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  // The per-chunk wrapper of the last task mapped point by point, and the
  // Dask future of the last callable shipped to the cluster: a run's
  // objective goes out once, not once per generation or point.
  Ref chunk_task_, chunk_wrapper_;
  Ref shipped_key_, shipped_;
  // With a Dask client: the run's _DaskPoints (its actors evaluate the
  // chunks of points; released with the frame).
  Ref dask_points_;

  PyObject* chunk_wrapper(PyObject* task);
  PyObject* shipped(PyObject* func);
  // At most `want` results of a map-like's answer, checking signals and
  // max_time while an iterator is consumed.
  Ref take_results(PyObject* answer, Py_ssize_t want, bool timed);
  struct Hook {
    Frame* frame;
    bool operator()(const bb::Progress& p) const { return frame->monitor(p); }
  } hook_{this};
  bb::Monitor monitor_ref_{hook_};
};

// The module's helper objects (installed once at import): the picklable
// wrappers that carry objectives to worker processes, the pool, and the
// RunState type given to callbacks.
void install_parallel_helpers(PyObject* module);
PyObject* helper(const char* name);  // borrowed

// Values of a batch of points (n points of `dim` values, flat): in this
// process one `local` call per point (workers=1), else `task` mapped over
// the points (or over chunks of them when vectorized) and read back as
// scores. `direct`, when given, is the vectorized objective itself, called
// with all points at once when they stay in this process.
void batch_values(Frame& frame, PyObject* task, std::span<const double> points, size_t dim,
                  std::span<double> out, bb::Objective local, PyObject* direct = nullptr);

// For functions whose shared keywords are named parameters: refuses more
// than `count` positional arguments with the matcher's message.
void check_positional(const char* display, PyObject* args, size_t required, size_t count);

// A list of n lists of floats from flat points.
Ref point_lists(std::span<const double> points, size_t dim);

// A value read back from a worker as a score: float() of it, +inf when that
// fails (KeyboardInterrupt and the like propagate).
double score_of(PyObject* value);

}  // namespace pelora::py::blackbox
