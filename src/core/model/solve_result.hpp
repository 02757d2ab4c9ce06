// The outcome of a model solve as the core sees it, with the snapshot of the
// model that the diagnostics read after the model has changed or gone.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/model/model_data.hpp"

namespace pelora {

enum class SolveStatus : uint8_t {
  Optimal = 0,
  Infeasible = 1,
  Unbounded = 2,
  InfeasibleOrUnbounded = 3,
  TimeLimit = 4,
  IterationLimit = 5,
  Error = 6,
  Unknown = 7,
  Interrupted = 8,  // stopped by the user (Ctrl-C); the incumbent, if any, is kept
};

const char* status_text(SolveStatus s);

// LP ranging in the model's own terms: per variable, the objective
// coefficients (low, high) and per linear constraint the right-hand sides
// (low, high) over which the optimal basis stays optimal; +-inf where a side
// is unbounded.
struct LpRanging {
  std::vector<std::pair<double, double>> cost;
  std::vector<std::pair<double, double>> rhs;
};

// The model's variables and linear constraints at solve time. It shares the
// model's storage; the model copies before it edits what a snapshot holds.
struct ModelSnapshot {
  VarNames var_names;  // shares the model's name blocks
  SharedVector<VarRecord> variables;
  LinearRows constraints;
  // The solved model's identity (ModelData::id, origins), so that only its
  // variables are read, and its row ids (one per constraint).
  ModelId model = kNoModel;
  std::vector<ModelOrigin> origins;
  SharedVector<uint64_t> row_ids;
};

struct ResultData {
  SolveStatus status = SolveStatus::Unknown;
  std::optional<double> objective;
  double solve_time = 0.0;
  std::string solver;
  std::optional<uint64_t> iterations;
  std::optional<uint64_t> nodes;
  std::optional<double> gap;
  std::optional<std::vector<double>> primals;
  std::optional<std::vector<double>> duals;
  // Set when ranging was asked for; both lists stay empty when the solve
  // gave none (not a continuous LP solved to optimality by HiGHS).
  std::optional<LpRanging> ranging;
  // Shared, never changed after the solve (empty for PersistentHighs results).
  std::shared_ptr<const ModelSnapshot> snapshot;
};

}  // namespace pelora
