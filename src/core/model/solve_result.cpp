#include "core/model/solve_result.hpp"

namespace pelora {

const char* status_text(SolveStatus s) {
  switch (s) {
    case SolveStatus::Optimal: return "optimal";
    case SolveStatus::Infeasible: return "infeasible";
    case SolveStatus::Unbounded: return "unbounded";
    case SolveStatus::InfeasibleOrUnbounded: return "infeasible_or_unbounded";
    case SolveStatus::TimeLimit: return "time_limit";
    case SolveStatus::IterationLimit: return "iteration_limit";
    case SolveStatus::Error: return "error";
    case SolveStatus::Unknown: return "unknown";
    case SolveStatus::Interrupted: return "interrupted";
  }
  return "unknown";
}

}  // namespace pelora
