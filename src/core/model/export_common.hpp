// Pieces the model exports share: term ordering, unit coefficients, the
// objective's parts, variable names and the messages of refused exports.
#pragma once
#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/model/exports.hpp"
#include "core/model/model_data.hpp"

namespace pelora::exports {

inline constexpr double kUnitTolerance = 1e-15;

inline bool is_one(double c) { return std::fabs(c - 1.0) < kUnitTolerance; }
inline bool is_minus_one(double c) { return std::fabs(c + 1.0) < kUnitTolerance; }

inline std::vector<Term> sorted_terms(const LinearTerms& t) {
  std::vector<Term> v(t.begin(), t.end());
  std::sort(v.begin(), v.end(), [](const Term& a, const Term& b) { return a.index < b.index; });
  return v;
}

// The name of variable `i` as the model records it (the one place the
// exports read a variable's name).
inline std::string variable_name(const ModelData& m, size_t i) { return m.var_name(i); }

// The parts of the objective: its linear expression (null for none), its
// quadratic terms and its nonlinear terms (null when absent).
struct ObjectiveParts {
  const Expr* linear = nullptr;
  const SharedList<QuadTerm>* quad = nullptr;
  const SharedList<NlTerm>* nl = nullptr;
};

inline ObjectiveParts objective_parts(const ModelData& m) {
  ObjectiveParts p;
  if (!m.objective) return p;
  std::visit(
      [&](const auto& o) {
        using T = std::decay_t<decltype(o)>;
        if constexpr (std::is_same_v<T, Expr>) {
          p.linear = &o;
        } else if constexpr (std::is_same_v<T, QuadExpr>) {
          p.linear = &o.linear;
          p.quad = &o.quad_terms;
        } else {
          p.linear = &o.linear;
          if (!o.nl_terms.empty()) p.nl = &o.nl_terms;
        }
      },
      *m.objective);
  return p;
}

// Refuses an index the model has no record for (a Var of another model).
[[noreturn]] inline void throw_unknown_index(std::string_view what, size_t index) {
  throw ExportError(std::string(what) + ": variable index " + std::to_string(index) +
                    " has no record in this model (a Var of another model?)");
}

inline void check_index(const ModelData& m, std::string_view what, size_t index) {
  if (index >= m.variables.size()) throw_unknown_index(what, index);
}

}  // namespace pelora::exports
