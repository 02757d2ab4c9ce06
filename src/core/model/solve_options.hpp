// The options of one Model.solve call, as the orchestration and the adapters
// read them. The HiGHS basis object is a Python value and travels beside this
// record in the Python layer.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pelora {

struct SolveOptions {
  std::optional<double> time_limit;              // seconds
  std::optional<double> gap;                     // relative MIP gap
  std::optional<uint32_t> threads;
  std::optional<int32_t> simplex_scale_strategy;
  std::optional<std::vector<double>> warm_start;  // start point (HiGHS: MIP only, exact length)
  // A partial start: the columns whose `warm_start` values were given (the
  // others hold 0 moved into the bounds).
  std::optional<std::vector<int32_t>> warm_start_index;
  std::optional<std::string> solver_method;       // HiGHS option "solver"
  std::optional<std::string> run_crossover;
  std::optional<std::string> parallel;
  bool verbose = false;
  bool scale_cleanup = false;
  bool eliminate_redundant = false;
  bool presolve = true;
  bool basis_given = false;  // a `basis` keyword was passed (switches presolve off)
  bool ranging = false;      // read HiGHS's LP ranging after a continuous LP solve

  // Handing a basis always switches presolve off.
  bool effective_presolve() const noexcept { return presolve && !basis_given; }
};

}  // namespace pelora
