// Bound propagation over a subset of a model's linear constraints: decides
// whether the subset is provably infeasible within the variables' boxes.
//
// The rows are copied once into flat arrays; a judgement then costs one
// propagation (at most kMaxPasses passes over the subset). Within a pass a row
// with t terms costs O(t) per side: the "rest" activity seen by each term is
// the row's prefix sum before it plus the suffix sum after it, instead of
// re-summing every other term for every term.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/model/model_data.hpp"

namespace pelora {

inline constexpr double kPropagationCoefFloor = 1e-15;
inline constexpr double kPropagationFeasTol = 1e-8;
inline constexpr int kMaxPropagationPasses = 10;
// Relative size of the rounding a sum of magnitude m may carry (m times this).
inline constexpr double kPropagationRounding = 1e-14;

class BoundPropagator {
 public:
  // Copies the constraints; fails with DiagnosticError when a term refers to
  // a variable index at or beyond `variables.size()`.
  BoundPropagator(std::span<const VarRecord> variables,
                  const LinearRows& constraints);

  size_t num_rows() const noexcept { return sense_.size(); }

  // True when the rows with `member[r]` set, apart from row `skip` (pass
  // num_rows() to skip nothing), are proven infeasible: after propagation a
  // variable has lb > ub + tol, or a row of two or more terms cannot reach its
  // right-hand side within the propagated bounds. Tolerances are relative to
// the magnitudes compared once those exceed 1.
  bool infeasible(std::span<const uint8_t> member, size_t skip);

 private:
  bool in_set(std::span<const uint8_t> member, size_t skip, size_t r) const noexcept {
    return r != skip && member[r];
  }
  // One pass over the set; returns whether a bound changed. Sets `crossed_`
  // once some variable has lb > ub + tol (bounds only tighten, so that stays
  // true and the judgement is settled).
  bool pass(std::span<const uint8_t> member, size_t skip);
  bool propagate_row(size_t r);
  bool propagate_side(size_t r, bool at_least);
  bool raise_lower(uint32_t x, double v) noexcept;
  bool lower_upper(uint32_t x, double v) noexcept;
  bool row_unreachable(size_t r) const noexcept;

  std::vector<double> lower0_, upper0_;
  std::vector<uint32_t> start_;  // rows' term ranges, num_rows + 1
  std::vector<uint32_t> var_;
  std::vector<double> coef_;
  std::vector<double> rhs_, constant_;
  std::vector<Sense> sense_;

  // Working state of one judgement.
  std::vector<double> lb_, ub_;
  std::vector<double> contrib_, suffix_, abs_suffix_;
  bool crossed_ = false;
};

}  // namespace pelora
