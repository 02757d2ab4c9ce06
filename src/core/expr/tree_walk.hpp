// Visiting the variables of nonlinear trees.
#pragma once
#include <unordered_set>
#include <vector>

#include "core/expr/expressions.hpp"

namespace pelora {

// Calls f(index) for every Var leaf reachable from the nonlinear terms of `e`.
// Trees may share sub-trees, so every node is visited once; the walk uses an
// explicit stack, so arbitrarily deep trees are safe.
template <class F>
void for_each_tree_var(const NlExpr& e, F&& f) {
  std::unordered_set<const NlNode*> seen;
  std::vector<const NlNode*> stack;
  for (const NlTerm& t : e.nl_terms) {
    if (t.node) stack.push_back(t.node.get());
  }
  while (!stack.empty()) {
    const NlNode* n = stack.back();
    stack.pop_back();
    if (!seen.insert(n).second) continue;
    if (n->kind == NlKind::Var) f(n->var);
    if (n->a) stack.push_back(n->a.get());
    if (n->b) stack.push_back(n->b.get());
  }
}

}  // namespace pelora
