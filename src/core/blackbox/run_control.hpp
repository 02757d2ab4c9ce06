// What every black-box run shares beyond its own algorithm: caps on
// evaluations and wall-clock time, an optional target value, a monitor
// called after every generation, and an optional batch evaluator that
// receives a whole generation of points at once.
#pragma once
#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>

#include "core/blackbox/run.hpp"

namespace pelora::blackbox {

// The state a monitor sees after a generation or iteration.
struct Progress {
  uint64_t iteration = 0;         // generations or iterations done
  uint64_t evaluations = 0;       // objective calls so far
  std::span<const double> x;      // best point so far
  double objective = 0.0;         // its value
  double elapsed = 0.0;           // seconds since the run started
};

// A borrowed callable `bool(const Progress&)`; returning true ends the run
// (not converged). It may throw, which ends the run with that exception.
class Monitor {
 public:
  template <class F>
    requires(!std::same_as<std::remove_cvref_t<F>, Monitor> &&
             std::is_invocable_r_v<bool, F&, const Progress&>)
  Monitor(F&& f) noexcept  // NOLINT: implicit on purpose
      : ctx_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* c, const Progress& p) -> bool {
          return (*static_cast<std::remove_reference_t<F>*>(c))(p);
        }) {}

  bool operator()(const Progress& p) const { return call_(ctx_, p); }

 private:
  void* ctx_;
  bool (*call_)(void*, const Progress&);
};

// A borrowed callable `void(std::span<const double> points, size_t dim,
// std::span<double> values)`: `points` holds n points of `dim` coordinates
// one after the other; it writes one value per point (n values), or, for the
// multi-objective engines, m values per point (n * m). It may throw.
class BatchObjective {
 public:
  template <class F>
    requires(!std::same_as<std::remove_cvref_t<F>, BatchObjective> &&
             std::is_invocable_v<F&, std::span<const double>, size_t, std::span<double>>)
  BatchObjective(F&& f) noexcept  // NOLINT: implicit on purpose
      : ctx_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* c, std::span<const double> pts, size_t dim, std::span<double> out) {
          (*static_cast<std::remove_reference_t<F>*>(c))(pts, dim, out);
        }) {}

  void operator()(std::span<const double> points, size_t dim, std::span<double> values) const {
    call_(ctx_, points, dim, values);
  }

 private:
  void* ctx_;
  void (*call_)(void*, std::span<const double>, size_t, std::span<double>);
};

// How a generation ends.
enum class Verdict { go_on, converged, stopped };

// Records a verdict on the run; true when the run ends.
inline bool settle(RunResult& r, Verdict v) noexcept {
  if (v == Verdict::go_on) return false;
  r.converged = v == Verdict::converged;
  r.stopped = v == Verdict::stopped;
  return true;
}

// The shared frame of a run. Copying it keeps the start time, so runs made
// one after the other (restarts, portfolio members) share one time budget.
struct RunControl {
  using Clock = std::chrono::steady_clock;

  uint64_t max_evals = std::numeric_limits<uint64_t>::max();  // no generation passes it
  double max_time = std::numeric_limits<double>::infinity();  // seconds from `start`
  std::optional<double> target;        // best value at or below it ends the run, converged
  const Monitor* monitor = nullptr;    // borrowed; called after every generation
  const BatchObjective* batch = nullptr;  // borrowed; set: evaluate generation by generation
  Clock::time_point start = Clock::now();
  uint64_t prior_evaluations = 0;  // calls made by earlier runs of the same call

  double elapsed() const noexcept {
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

  bool reached(double best) const noexcept { return target && best <= *target; }

  // After a generation whose best value was appended to `r.history`:
  // the monitor is asked first (it sees every generation), then the
  // optimiser's own test (`own_test`) and the target end the run as
  // converged, and last the caps end it unconverged: time up, or fewer
  // than `next_evals` evaluations left for the next generation.
  Verdict review(const RunResult& r, bool own_test, uint64_t next_evals) const {
    return review(r.history.size() - 1, r.evaluations, r.x, r.objective, own_test, next_evals);
  }

  // The same for runs without a RunResult (frontiers, ADMM): `x` and
  // `objective` are what the monitor is shown.
  Verdict review(uint64_t iteration, uint64_t evaluations, std::span<const double> x,
                 double objective, bool own_test, uint64_t next_evals) const {
    if (monitor) {
      Progress p{iteration, prior_evaluations + evaluations, x, objective, elapsed()};
      if ((*monitor)(p)) return Verdict::stopped;
    }
    if (own_test || reached(objective)) return Verdict::converged;
    if (!room_for(evaluations, next_evals)) return Verdict::stopped;
    return Verdict::go_on;
  }

  // Whether a run that has made `evaluations` calls may start a generation
  // of `next_evals` more (used before the first generation).
  bool room_for(uint64_t evaluations, uint64_t next_evals) const noexcept {
    const uint64_t used = prior_evaluations + evaluations;
    return used <= max_evals && max_evals - used >= next_evals && elapsed() < max_time;
  }

  // Values of `n` points (flat, `dim` each): through the batch evaluator
  // when one is set, else one call of `objective` per point in order.
  void evaluate(Objective objective, std::span<const double> points, size_t dim,
                std::span<double> values) const {
    if (batch) {
      (*batch)(points, dim, values);
      return;
    }
    for (size_t i = 0; i < values.size(); ++i) values[i] = objective(points.subspan(i * dim, dim));
  }
};

}  // namespace pelora::blackbox
