// The expression values: affine (Expr), quadratic (QuadExpr) and nonlinear
// (NlExpr, a flat list of weighted trees plus a linear part).
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "core/expr/linear_terms.hpp"
#include "core/expr/owner.hpp"
#include "core/expr/shared_list.hpp"

namespace pelora {

struct Expr {
  LinearTerms terms;
  double constant = 0.0;
  ModelId owner = kNoModel;  // the model whose variables the terms are
};

// The first variable of an expression, for messages (none when it has no term).
inline std::optional<VarIndex> first_variable(const Expr& e) {
  if (e.terms.empty()) return std::nullopt;
  return e.terms.begin()->index;
}
// e's owner joined with o's (throws ForeignVariable naming o's first variable).
inline void join_owner(Expr& e, const Expr& o) {
  if (e.owner != o.owner) e.owner = joined_owner(e.owner, o.owner, first_variable(o));
}

struct QuadTerm {
  VarIndex i;  // i <= j
  VarIndex j;
  double coef;
};

struct QuadExpr {
  SharedList<QuadTerm> quad_terms;  // never merged: the same pair may repeat
  Expr linear;
};

enum class NlKind : uint8_t { Var = 0, Const = 1, Neg = 2, Add = 3, Mul = 4, Div = 5, Sin = 6, Cos = 7, Sqrt = 8,
                             Exp = 9, Log = 10 };

struct NlNode;
using NodePtr = std::shared_ptr<const NlNode>;

// Immutable tree node, shared between every expression that contains it.
// Trees can be very deep (a product built in a loop nests once per step), so
// the destructor releases the children it solely owns from an explicit stack
// instead of recursing.
struct NlNode {
  NlKind kind;
  VarIndex var = 0;    // Var
  double value = 0.0;  // Const
  NodePtr a, b;        // children (one for Neg/Sin/Cos/Sqrt/Exp/Log, two for Add/Mul/Div)

  ~NlNode();
};

struct NlTerm {
  double coef;
  NodePtr node;
};

struct NlExpr {
  SharedList<NlTerm> nl_terms;
  Expr linear;
};

enum class Sense : uint8_t { Le = 0, Ge = 1, Eq = 2 };

}  // namespace pelora
