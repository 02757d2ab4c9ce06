// Failures of the result diagnostics that the caller can act on (missing
// solution or model data, a variable index the snapshot does not hold). The
// Python layer raises them as ValueError with the same message.
#pragma once
#include <stdexcept>

namespace pelora {

class DiagnosticError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

inline constexpr const char* kNoSolutionMessage = "No solution available";
inline constexpr const char* kNoModelDataMessage =
    "No model data stored \xE2\x80\x94 use Model.solve() for diagnostics";

}  // namespace pelora
