#include "core/expr/text.hpp"

#include <cmath>
#include <variant>
#include <vector>

#include "core/format.hpp"

namespace pelora {

namespace {

inline bool is_unit(double a) { return std::fabs(a - 1.0) < kCancelTolerance; }

// "x{index}" or "{a}*x{index}" with a = |c| (the variable's name instead of
// x{index} when `name` is given).
void append_term(std::string& out, double c, VarIndex index, const VariableNamer* name = nullptr) {
  double a = std::fabs(c);
  if (!is_unit(a)) {
    append_plain_number(out, a);
    out += '*';
  }
  if (name) {
    out += (*name)(index);
    return;
  }
  out += 'x';
  out += std::to_string(index);
}

void append_weighted_node(std::string& out, double c, const NlNode& node) {
  double a = std::fabs(c);
  if (!is_unit(a)) {
    append_plain_number(out, a);
    out += '*';
  }
  append_node_text(out, node);
}

}  // namespace

void append_expr_text(std::string& out, const Expr& e) { append_expr_text(out, e, nullptr); }

void append_expr_text(std::string& out, const Expr& e, const VariableNamer* name) {
  bool first = true;
  for (const Term& t : e.terms) {
    if (first) {
      if (t.coef < 0) out += '-';
    } else {
      out += t.coef < 0 ? " - " : " + ";
    }
    first = false;
    append_term(out, t.coef, t.index, name);
  }
  if (first) {
    // A negative zero (e.g. from negating an empty expression) prints as "0".
    append_plain_number(out, e.constant == 0.0 ? 0.0 : e.constant);
    return;
  }
  if (e.constant == 0.0) return;
  if (e.constant < 0) {
    out += " - ";
    append_plain_number(out, -e.constant);
  } else {
    out += " + ";  // positive, or NaN (shown rather than hidden)
    append_plain_number(out, e.constant);
  }
}

std::string expr_text(const Expr& e) {
  std::string s;
  append_expr_text(s, e);
  return s;
}

// Trees may be arbitrarily deep (a product built in a loop nests once per
// step), so the text is produced from an explicit stack, not by recursion.
void append_node_text(std::string& out, const NlNode& root) {
  struct Item {
    const NlNode* node;  // a node to expand, or
    const char* text;    // a literal piece
  };
  std::vector<Item> stack;
  stack.push_back({&root, nullptr});
  while (!stack.empty()) {
    Item it = stack.back();
    stack.pop_back();
    if (!it.node) {
      out += it.text;
      continue;
    }
    const NlNode& n = *it.node;
    const char* open = nullptr;
    const char* mid = nullptr;
    switch (n.kind) {
      case NlKind::Var:
        out += 'x';
        out += std::to_string(n.var);
        continue;
      case NlKind::Const:
        append_plain_number(out, n.value);
        continue;
      case NlKind::Neg: open = "(-"; break;
      case NlKind::Sin: open = "sin("; break;
      case NlKind::Cos: open = "cos("; break;
      case NlKind::Sqrt: open = "sqrt("; break;
      case NlKind::Exp: open = "exp("; break;
      case NlKind::Log: open = "log("; break;
      case NlKind::Add: mid = " + "; break;
      case NlKind::Mul: mid = " * "; break;
      case NlKind::Div: mid = " / "; break;
    }
    // Pushed in reverse: popped as open, child(ren), close.
    stack.push_back({nullptr, ")"});
    if (mid) {
      stack.push_back({n.b.get(), nullptr});
      stack.push_back({nullptr, mid});
      stack.push_back({n.a.get(), nullptr});
      out += '(';
    } else {
      stack.push_back({n.a.get(), nullptr});
      out += open;
    }
  }
}

std::string node_text(const NlNode& node) {
  std::string s;
  append_node_text(s, node);
  return s;
}

void append_nl_expr_text(std::string& out, const NlExpr& n) {
  const Expr& lin = n.linear;
  bool first = true;
  if (!lin.terms.empty() || lin.constant != 0.0 || n.nl_terms.empty()) {
    append_expr_text(out, lin);
    first = false;
  }
  for (const NlTerm& p : n.nl_terms) {
    if (first) {
      if (p.coef < 0) out += '-';
    } else {
      out += p.coef < 0 ? " - " : " + ";
    }
    first = false;
    append_weighted_node(out, p.coef, *p.node);
  }
}

std::string nl_expr_text(const NlExpr& n) {
  std::string s;
  append_nl_expr_text(s, n);
  return s;
}

std::string quad_expr_text(const QuadExpr& q) {
  std::string s = "QuadExpr(linear=";
  append_expr_text(s, q.linear);
  s += ", quad_terms=";
  s += std::to_string(q.quad_terms.size());
  s += ')';
  return s;
}

const char* sense_text(Sense s) {
  switch (s) {
    case Sense::Le: return "<=";
    case Sense::Ge: return ">=";
    case Sense::Eq: return "==";
  }
  return "?";
}

std::string linear_constraint_text(const LinearConstraint& c, const VariableNamer& name) {
  std::string s;
  if (c.name) {
    s += *c.name;
    s += ": ";
  }
  append_expr_text(s, c.expr, &name);
  s += ' ';
  s += sense_text(c.sense);
  s += ' ';
  append_plain_number(s, c.rhs);
  return s;
}

std::string constraint_text(const ConstraintRecord& c) {
  std::string s;
  std::visit(
      [&s](const auto& r) {
        if (r.name) {
          s += *r.name;
          s += ": ";
        }
        if constexpr (std::is_same_v<std::decay_t<decltype(r)>, LinearConstraint>) {
          append_expr_text(s, r.expr);
        } else {
          append_nl_expr_text(s, r.body);
        }
        s += ' ';
        s += sense_text(r.sense);
        s += ' ';
        append_plain_number(s, r.rhs);
      },
      c);
  return s;
}

}  // namespace pelora
