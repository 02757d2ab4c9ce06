#include "core/expr/expressions.hpp"

#include <utility>

namespace pelora {

NlNode::~NlNode() {
  if (!a && !b) return;
  // Children owned by this node alone are moved onto a stack and stripped of
  // their own children before they die, so no destructor recurses. Shared
  // children just lose one reference.
  try {
    std::vector<NodePtr> stack;
    auto take = [&stack](NodePtr& p) {
      if (p && p.use_count() == 1) stack.push_back(std::move(p));
      else p.reset();
    };
    take(a);
    take(b);
    while (!stack.empty()) {
      NodePtr n = std::move(stack.back());
      stack.pop_back();
      // Sole owner: nothing else can observe the node while it is stripped.
      auto& m = const_cast<NlNode&>(*n);
      take(m.a);
      take(m.b);
    }
  } catch (...) {
    // Out of memory for the stack: fall back to plain recursive release.
    a.reset();
    b.reset();
  }
}

}  // namespace pelora
