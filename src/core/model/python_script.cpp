// The Python script export: a standalone program that rebuilds the model
// (variables, objective, linear and nonlinear constraints, cones) with this
// module and solves it.
//
// Whatever the model's size, the script must compile: CPython's compiler
// recurses once per operator of a chained expression and its parser limits
// nesting, so long sums are written as one `pl.sum` list (linear pieces) or
// accumulated in chunks into `_s`, and nonlinear trees deeper than a few
// dozen levels, or shared between several places, are built once into the
// list `_n` and referred to by position (which also keeps a shared subtree
// from being written out once per use).
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/format.hpp"
#include "core/model/export_common.hpp"
#include "core/model/exports.hpp"

namespace pelora {
namespace {

// A stored row's terms where the writer takes an expression (rows keep
// their constant in the right-hand side).
struct RowSum {
  RowTerms terms;
  double constant = 0.0;
};


using namespace exports;

constexpr const char* kWhat = "to_python";

// Names the generated script itself uses; a variable may not shadow them.
constexpr std::array<std::string_view, 7> kScriptNames = {"m",     "pl",    "result", "float",
                                                          "print", "_s",    "_n"};

// Sums with more pieces than this are written as a list or in chunks.
constexpr size_t kShortSum = 100;
// Nonlinear subexpressions nested deeper than this are built apart.
constexpr int kMaxNesting = 40;

// How each nonlinear operation is written: open, [first child, mid, second
// child,] close. One line per operation.
struct PyNodeOp {
  NlKind kind;
  const char* open;
  const char* mid;  // null for a one-child operation
  const char* close;
};

constexpr PyNodeOp kPyNodeOps[] = {
    {NlKind::Neg, "(-", nullptr, ")"},
    {NlKind::Add, "(", " + ", ")"},
    {NlKind::Mul, "(", " * ", ")"},
    {NlKind::Div, "(", " / ", ")"},
    {NlKind::Sin, "pl.sin(", nullptr, ")"},
    {NlKind::Cos, "pl.cos(", nullptr, ")"},
    {NlKind::Sqrt, "pl.sqrt(", nullptr, ")"},
    {NlKind::Exp, "pl.exp(", nullptr, ")"},
    {NlKind::Log, "pl.log(", nullptr, ")"},
};

const PyNodeOp& node_op(NlKind kind) {
  for (const PyNodeOp& op : kPyNodeOps)
    if (op.kind == kind) return op;
  throw ExportError(std::string(kWhat) + ": nonlinear operation code " +
                    std::to_string(static_cast<int>(kind)) + " has no Python form");
}

// A name written as a bare identifier: an ASCII identifier (non-ASCII
// identifiers are normalised by Python, so two distinct names could meet),
// not a keyword, not a name the script uses, not a dunder name.
bool usable_identifier(std::string_view s) {
  if (!is_python_identifier(s)) return false;
  for (std::string_view n : kScriptNames)
    if (s == n) return false;
  if (s.size() >= 2 && s.substr(0, 2) == "__") return false;
  return true;
}

// Python identifiers for every variable, by index.
std::vector<std::string> python_identifiers(const ModelData& m) {
  const size_t n = m.variables.size();
  std::vector<std::string> ids(n);
  NameSet taken(n);
  // The first variable of each usable name keeps it.
  std::vector<size_t> redo;
  {
    const NameList names = variable_names(m);
    for (size_t i = 0; i < n; ++i) ids[i] = names[i];
  }
  for (size_t i = 0; i < n; ++i) {
    if (i + kLookAhead < n) taken.prefetch(ids[i + kLookAhead]);
    if (!(usable_identifier(ids[i]) && taken.insert(ids[i]))) redo.push_back(i);
  }
  // Everything else gets v_<index> (extended with '_' past any clash).
  for (size_t i : redo) {
    std::string id = "v_" + std::to_string(i);
    while (taken.contains(id)) id += '_';
    ids[i] = std::move(id);
    taken.insert(ids[i]);
  }
  return ids;
}

void append_py_number(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "float('nan')";
  } else if (std::isinf(v)) {
    out += v < 0 ? "float('-inf')" : "float('inf')";
  } else {
    append_plain_number(out, v);
  }
}

std::string py_number(double v) {
  std::string s;
  append_py_number(s, v);
  return s;
}

std::string join(const std::vector<std::string>& pieces, size_t from, size_t to, const char* sep) {
  std::string s;
  for (size_t i = from; i < to; ++i) {
    if (i > from) s += sep;
    s += pieces[i];
  }
  return s;
}

class ScriptWriter {
 public:
  ScriptWriter(const ModelData& m, std::string& out)
      : m_(m), out_(out), ids_(python_identifiers(m)) {}

  std::string_view id(VarIndex i) const {
    check_index(m_, kWhat, i);
    return ids_[i];
  }

  // Counts the references to every node reachable from `root` (each node's
  // children are walked once).
  void count_uses(const NlNode* root) {
    std::vector<const NlNode*> stack{root};
    while (!stack.empty()) {
      const NlNode* n = stack.back();
      stack.pop_back();
      if (++uses_[n] > 1) continue;
      if (n->a) stack.push_back(n->a.get());
      if (n->b) stack.push_back(n->b.get());
    }
  }

  // "x", "(-x)", "2.5 * x", then the constant: the pieces of a linear sum,
  // written joined by `sep`.
  // E is an Expr or a RowSum (a stored row's terms; no constant).
  template <class E>
  void write_linear(std::string& out, const E& e, const char* sep) {
    bool first = true;
    for (const Term& t : order_.of(e.terms)) {
      if (!first) out += sep;
      first = false;
      const std::string_view name = id(t.index);
      if (is_one(t.coef)) {
        out += name;
      } else if (is_minus_one(t.coef)) {
        out += "(-";
        out += name;
        out += ')';
      } else {
        append_py_number(out, t.coef);
        out += " * ";
        out += name;
      }
    }
    if (has_constant(e)) {
      if (!first) out += sep;
      append_py_number(out, e.constant);
    }
  }

  template <class E>
  static bool has_constant(const E& e) { return e.constant != 0.0 || std::isnan(e.constant); }
  template <class E>
  static size_t piece_count(const E& e) { return e.terms.size() + (has_constant(e) ? 1 : 0); }

  // A linear sum alone: a list for pl.sum when long, "0" when empty.
  template <class E>
  void write_linear_sum(std::string& out, const E& e) {
    const size_t n = piece_count(e);
    if (n > kShortSum) {
      out += "pl.sum([";
      write_linear(out, e, ", ");
      out += "])";
    } else if (n == 0) {
      out += '0';
    } else {
      write_linear(out, e, " + ");
    }
  }

  void quad_pieces(const SharedList<QuadTerm>& q, std::vector<std::string>& pieces) const {
    for (const QuadTerm& t : q) {
      const std::string product = std::string(id(t.i)) + " * " + std::string(id(t.j));
      if (is_one(t.coef)) pieces.push_back(product);
      else pieces.push_back(py_number(t.coef) + " * (" + product + ")");
    }
  }

  void nl_pieces(const SharedList<NlTerm>& terms, std::vector<std::string>& pieces) {
    for (const NlTerm& p : terms) {
      std::string t = node(p.node.get());
      if (is_one(p.coef)) pieces.push_back(std::move(t));
      else pieces.push_back(py_number(p.coef) + " * " + t);
    }
  }

  // The text of one tree; subtrees that are shared or nest too deeply are
  // first written as `_n.append(...)` statements.
  std::string node(const NlNode* root) {
    struct Frame {
      const NlNode* n;
      bool combine;
    };
    struct Value {
      std::string text;
      int depth;
    };
    std::vector<Frame> stack{{root, false}};
    std::vector<Value> values;
    while (!stack.empty()) {
      const Frame f = stack.back();
      stack.pop_back();
      const NlNode* n = f.n;
      if (!f.combine) {
        if (n->kind == NlKind::Var) {
          values.push_back({std::string(id(n->var)), 0});
        } else if (n->kind == NlKind::Const) {
          values.push_back({py_number(n->value), 0});
        } else if (auto it = temps_.find(n); it != temps_.end()) {
          values.push_back({temp_name(it->second), 0});
        } else {
          const PyNodeOp& op = node_op(n->kind);
          stack.push_back({n, true});
          if (op.mid) stack.push_back({n->b.get(), false});
          stack.push_back({n->a.get(), false});
        }
        continue;
      }
      const PyNodeOp& op = node_op(n->kind);
      std::string s = op.open;
      int depth = 0;
      if (op.mid) {
        Value b = std::move(values.back());
        values.pop_back();
        Value a = std::move(values.back());
        values.pop_back();
        s += a.text;
        s += op.mid;
        s += b.text;
        depth = std::max(a.depth, b.depth) + 1;
      } else {
        Value a = std::move(values.back());
        values.pop_back();
        s += a.text;
        depth = a.depth + 1;
      }
      s += op.close;
      auto u = uses_.find(n);
      if ((u != uses_.end() && u->second > 1) || depth >= kMaxNesting) {
        const size_t k = temps_.size();
        if (k == 0) out_ += "_n = []\n";
        out_ += "_n.append(" + s + ")\n";
        temps_.emplace(n, k);
        values.push_back({temp_name(k), 0});
      } else {
        values.push_back({std::move(s), depth});
      }
    }
    return std::move(values.back().text);
  }

  // The sum of a linear expression and other (quadratic or nonlinear)
  // pieces, as an expression text; long sums write statements into `_s` first.
  std::string sum(const Expr& linear, const std::vector<std::string>& other) {
    const size_t n_linear = piece_count(linear);
    std::string lin;
    if (other.empty() || n_linear > kShortSum) write_linear_sum(lin, linear);
    if (other.empty()) return lin;
    if (n_linear <= kShortSum && n_linear + other.size() <= kShortSum) {
      std::string s;
      write_linear(s, linear, " + ");
      if (!s.empty()) s += " + ";
      return s + join(other, 0, other.size(), " + ");
    }
    if (lin.empty() && n_linear > 0) write_linear(lin, linear, " + ");
    size_t from = 0;
    if (lin.empty()) {
      const size_t to = std::min(other.size(), kShortSum);
      out_ += "_s = " + join(other, 0, to, " + ") + "\n";
      from = to;
    } else {
      out_ += "_s = " + lin + "\n";
    }
    for (; from < other.size(); from += kShortSum) {
      const size_t to = std::min(other.size(), from + kShortSum);
      out_ += "_s = _s + (" + join(other, from, to, " + ") + ")\n";
    }
    return "_s";
  }

  void variables() {
    for (size_t i = 0; i < m_.variables.size(); ++i) {
      const VarRecord& v = m_.variables[i];
      out_ += ids_[i];
      // binary() takes no bounds: a binary that its bounds fix is written as
      // the integer variable with those bounds, which admits the same values.
      const bool plain_binary = v.kind == VarKind::Binary && v.lower == 0.0 && v.upper == 1.0;
      switch (v.kind) {
        case VarKind::Continuous: out_ += " = m.variable("; break;
        case VarKind::Integer: out_ += " = m.integer("; break;
        case VarKind::Binary: out_ += plain_binary ? " = m.binary(" : " = m.integer("; break;
      }
      append_python_string_literal(out_, variable_name(m_, i));
      if (!plain_binary) {
        out_ += ", lower=";
        append_py_number(out_, v.lower);
        out_ += ", upper=";
        append_py_number(out_, v.upper);
      }
      out_ += ")\n";
    }
  }

  void objective() {
    if (!m_.objective) return;
    const ObjectiveParts p = objective_parts(m_);
    std::vector<std::string> other;
    if (p.quad) quad_pieces(*p.quad, other);
    if (p.nl) nl_pieces(*p.nl, other);
    if (other.empty()) {
      out_ += m_.maximize ? "m.maximize(" : "m.minimize(";
      write_linear_sum(out_, *p.linear);
    } else {
      const std::string e = sum(*p.linear, other);
      out_ += m_.maximize ? "m.maximize(" : "m.minimize(";
      out_ += e;
    }
    out_ += ")\n";
  }

  void linear_constraints() {
    for (size_t i = 0; i < m_.constraints.size(); ++i) {
      const LinearRow c = m_.constraints[i];
      out_ += "m.add(";
      if (c.terms.empty()) {
        // A bare number compared with a number is a bool: start from the empty sum.
        out_ += "pl.sum([])";
      } else {
        write_linear_sum(out_, RowSum{c.terms});
      }
      if (c.name) {
        add_tail(c.sense, c.rhs, *c.name);
      } else {
        char name[24];
        name[0] = 'c';
        const auto r = std::to_chars(name + 1, name + sizeof name, i);
        add_tail(c.sense, c.rhs, std::string_view(name, static_cast<size_t>(r.ptr - name)));
      }
    }
  }

  void nonlinear_constraints() {
    for (const NonlinearConstraint& c : m_.nl_constraints) {
      std::vector<std::string> other;
      nl_pieces(c.body.nl_terms, other);
      std::string lhs = sum(c.body.linear, other);
      if (lhs == "0") lhs = "pl.sum([])";
      out_ += "m.add(";
      out_ += lhs;
      if (c.name) add_tail(c.sense, c.rhs, *c.name);
      else add_tail(c.sense, c.rhs, std::nullopt);
    }
  }

  void cones(const std::vector<std::vector<VarIndex>>& list, const char* method) {
    for (const auto& cone : list) {
      out_ += "m.";
      out_ += method;
      out_ += "([";
      for (size_t k = 0; k < cone.size(); ++k) {
        if (k) out_ += ", ";
        out_ += id(cone[k]);
      }
      out_ += "])\n";
    }
  }

  void count_all_uses() {
    const ObjectiveParts p = objective_parts(m_);
    if (p.nl)
      for (const NlTerm& t : *p.nl) count_uses(t.node.get());
    for (const NonlinearConstraint& c : m_.nl_constraints)
      for (const NlTerm& t : c.body.nl_terms) count_uses(t.node.get());
  }

 private:
  static std::string temp_name(size_t k) { return "_n[" + std::to_string(k) + "]"; }

  // The rest of an m.add(...) line after its left-hand side.
  void add_tail(Sense sense, double rhs, std::optional<std::string_view> name) {
    out_ += sense == Sense::Le ? " <= " : sense == Sense::Ge ? " >= " : " == ";
    append_py_number(out_, rhs);
    if (name) {
      out_ += ", name=";
      append_python_string_literal(out_, *name);
    }
    out_ += ")\n";
  }

  const ModelData& m_;
  std::string& out_;
  std::vector<std::string> ids_;
  SortedTerms order_;
  std::unordered_map<const NlNode*, uint32_t> uses_;
  std::unordered_map<const NlNode*, size_t> temps_;
};

}  // namespace

std::string export_python(const ModelData& m) {
  std::string out;
  out += "\"\"\"Auto-generated by Pelora \xE2\x80\x94 standalone solver code.\"\"\"\n";
  out += "import pelora_opt as pl\n\n";
  out += "m = pl.Model(" + python_string_literal(m.name) + ")\n\n";
  ScriptWriter w(m, out);
  w.count_all_uses();
  out += "# Variables\n";
  w.variables();
  out += "\n# Objective\n";
  w.objective();
  out += "\n# Constraints\n";
  w.linear_constraints();
  w.nonlinear_constraints();
  if (!m.soc_cones.empty() || !m.psd_cones.empty()) {
    out += "\n# Cones\n";
    w.cones(m.soc_cones, "add_soc_cone");
    w.cones(m.psd_cones, "add_psd_cone");
  }
  out += "\n# Solve\n";
  out += "result = m.solve()\n";
  out += "print(f'Status: {result.status}')\n";
  out += "print(f'Objective: {result.objective}')\n";
  out += "print(f'Values: {result.values()}')\n";
  return out;
}

}  // namespace pelora
