// Nonlinear expressions translated into pyscipopt's general expressions
// (SumExpr, ProdExpr, PowExpr, VarExpr, Constant, SinExpr, CosExpr,
// SqrtExpr), which pyscipopt turns into one SCIP expression tree per
// constraint.
//
// Chains of additions and of multiplications become single n-ary sums and
// products, so the usual deep chains (a sum collapsed into one node before
// it is wrapped in sin or sqrt, a product built in a loop) stay one level
// deep. A node used in several places is translated once and its object
// shared; chains are flattened only through nodes that have one user, so
// shared sub-trees are never expanded.
#pragma once
#include <Python.h>

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/expr/expressions.hpp"
#include "python/runtime/ref.hpp"

namespace pelora::py {

// The value of `e` at the point `x` (one value per column); NaN where a
// function is undefined (the square root of a negative number, 0/0).
double evaluate_nl(const NlExpr& e, std::span<const double> x);

class ScipExpressions {
 public:
  // Nesting (after flattening) beyond this is refused with ValueError:
  // pyscipopt walks expressions recursively and a far deeper tree would
  // overflow the native stack.
  static constexpr uint32_t kMaxDepth = 5000;
  // pyscipopt also copies a shared sub-expression at every use, so a tree
  // that reuses nodes over and over (x = x * x in a loop) unfolds
  // exponentially; beyond this many unfolded nodes it is refused.
  static constexpr uint64_t kMaxUnfolded = 2'000'000;

  // `scip_module` is pyscipopt.scip; `vars` holds the SCIP variable of every
  // column (borrowed; they outlive this object).
  ScipExpressions(PyObject* scip_module, std::span<PyObject* const> vars);

  // Registers the trees of `e`; every expression is registered before the
  // first one is translated, so that shared nodes are known as shared.
  void add_uses(const NlExpr& e);

  // The general expression scale * (nonlinear terms of `e`), plus
  // scale * (linear part and constant of `e`) when `with_linear`, plus
  // extra_coef * extra_var when `extra_var` is given. A coefficient or
  // constant that is not finite raises ValueError.
  Ref sum(const NlExpr& e, double scale, bool with_linear, PyObject* extra_var = nullptr,
          double extra_coef = 0.0);

 private:
  struct Piece {
    double coef;
    const NlNode* node;
  };
  struct Pending {
    std::vector<Piece> pieces;  // addends or factors (coef unused for factors)
    double constant = 0.0;      // sum constant or product factor
  };
  struct Done {
    Ref object;
    uint32_t depth;
    uint64_t unfolded;  // nodes in pyscipopt's copy, capped above kMaxUnfolded
  };

  bool single_use(const NlNode* n) const;
  void gather_addends(const NlNode* n, double coef, Pending& out) const;
  Pending pieces_of(const NlNode* n) const;
  void translate(const NlNode* root);
  Ref build(const NlNode* n, const Pending& p, uint32_t& depth, uint64_t& unfolded);
  static void check_shape(uint32_t depth, uint64_t unfolded);

  Ref var_expr(VarIndex i);
  Ref scaled(const Ref& object, double coef);
  Ref new_sum(PyObject* children, double constant);
  Ref new_product(PyObject* children, double constant);
  Ref new_power(const Ref& base, double exponent);

  Ref sum_t_, prod_t_, pow_t_, var_t_, const_t_, sin_t_, cos_t_, sqrt_t_, exp_t_, log_t_;
  std::span<PyObject* const> vars_;
  std::vector<Ref> var_exprs_;
  std::unordered_map<const NlNode*, uint32_t> uses_;
  std::unordered_map<const NlNode*, Done> done_;
};

}  // namespace pelora::py
