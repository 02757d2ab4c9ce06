// Pre-solve checks of a model record: bound conflicts, unused variables,
// coefficient range, huge right-hand sides, empty and trivially infeasible
// constraints. Findings are returned, never raised; nothing is solved.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/model/model_data.hpp"

namespace pelora {

enum class Severity : uint8_t { Info = 0, Warn = 1, Error = 2 };

const char* severity_text(Severity s);

struct ValidationWarning {
  Severity severity;
  std::string category;
  std::string message;
};

// Warnings in check order. Terms naming a variable the model does not have
// (a Var from another model) are skipped.
std::vector<ValidationWarning> validate_model(const ModelData& m);

}  // namespace pelora
