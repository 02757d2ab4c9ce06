// Which model's variables an expression uses. Every model has an id of its
// own; a Var knows it through its name block, and every expression value
// carries the id of the model whose variables it holds (kNoModel for an
// expression made of numbers only). Joining two expressions compares the two
// ids, so an expression can never mix the variables of two models.
#pragma once
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "core/expr/linear_terms.hpp"

namespace pelora {

using ModelId = uint64_t;
inline constexpr ModelId kNoModel = 0;

// Raised when a variable of model `owner` (index `index`, when one is known)
// meets an expression or a model it does not belong to. The Python layer
// turns it into ValueError "variable '<name>' belongs to another model".
class ForeignVariable : public std::exception {
 public:
  ForeignVariable(ModelId owner, std::optional<VarIndex> index) noexcept : owner(owner), index(index) {}
  const char* what() const noexcept override { return "variable belongs to another model"; }

  ModelId owner;
  std::optional<VarIndex> index;
  std::string name;  // the variable's name when the thrower knows it
};

// The owner of an expression joining owners `a` and `b`; `b_var` names one
// variable of the `b` side for the message when the two differ.
[[noreturn]] void throw_foreign(ModelId owner, std::optional<VarIndex> var);
inline ModelId joined_owner(ModelId a, ModelId b, std::optional<VarIndex> b_var) {
  if (a == b || b == kNoModel) return a;
  if (a == kNoModel) return b;
  throw_foreign(b, b_var);
}

}  // namespace pelora
