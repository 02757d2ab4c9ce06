#include "core/model/exports.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <unordered_set>
#include <variant>
#include <vector>

#include "core/format.hpp"
#include "core/model/standard_form.hpp"

namespace pelora {
namespace {

constexpr double kUnitTolerance = 1e-15;

bool is_one(double c) { return std::fabs(c - 1.0) < kUnitTolerance; }
bool is_minus_one(double c) { return std::fabs(c + 1.0) < kUnitTolerance; }

std::vector<Term> sorted_terms(const LinearTerms& t) {
  std::vector<Term> v(t.begin(), t.end());
  std::sort(v.begin(), v.end(), [](const Term& a, const Term& b) { return a.index < b.index; });
  return v;
}

// The linear expression an export writes for the objective, or null for
// none; `nonlinear` is set for an objective with nonlinear terms.
const Expr* objective_expr(const ModelData& m, bool& nonlinear) {
  nonlinear = false;
  if (!m.objective) return nullptr;
  return std::visit(
      [&](const auto& o) -> const Expr* {
        using T = std::decay_t<decltype(o)>;
        if constexpr (std::is_same_v<T, Expr>) {
          return &o;
        } else if constexpr (std::is_same_v<T, QuadExpr>) {
          return &o.linear;  // quadratic terms are not exported
        } else {
          if (!o.nl_terms.empty()) {
            nonlinear = true;
            return nullptr;
          }
          return &o.linear;
        }
      },
      *m.objective);
}

const char* sense_text(Sense s, bool python) {
  switch (s) {
    case Sense::Le: return "<=";
    case Sense::Ge: return ">=";
    case Sense::Eq: return python ? "==" : "=";
  }
  return "<=";
}

// ---- LP format ------------------------------------------------------------

// Term names as LP text: the record's name, "?" for an index the model
// does not have (a Var taken from another model).
std::string lp_name(const ModelData& m, VarIndex i) {
  return i < m.variables.size() ? m.var_name(i) : std::string("?");
}

void append_lp_expr(std::string& out, const ModelData& m, const Expr& e) {
  bool first = true;  // no piece written yet
  for (const Term& t : sorted_terms(e.terms)) {
    const double c = t.coef;
    const std::string name = lp_name(m, t.index);
    if (first) {  // the first term carries its sign in the number
      if (is_one(c)) {
        out += name;
      } else if (is_minus_one(c)) {
        out += "- ";
        out += name;
      } else {
        append_plain_number(out, c);
        out += ' ';
        out += name;
      }
    } else if (c > 0) {
      out += " + ";
      if (!is_one(c)) {
        append_plain_number(out, c);
        out += ' ';
      }
      out += name;
    } else {
      out += " - ";
      if (!is_minus_one(c)) {
        append_plain_number(out, 0.0 - c);  // 0.0 - c: a zero prints "0", not "-0"
        out += ' ';
      }
      out += name;
    }
    first = false;
  }
  const double k = e.constant;
  if (k != 0.0 || std::isnan(k)) {
    if (!first) out += ' ';
    first = false;
    if (k > 0) {
      out += "+ ";
      append_plain_number(out, k);
    } else {
      out += "- ";
      append_plain_number(out, -k);
    }
  }
  if (first) out += '0';
}

// ---- Python script ----------------------------------------------------------

constexpr std::array<std::string_view, 35> kKeywords = {
    "False", "None",   "True",    "and",      "as",       "assert", "async",
    "await", "break",  "class",   "continue", "def",      "del",    "elif",
    "else",  "except", "finally", "for",      "from",     "global", "if",
    "import", "in",    "is",      "lambda",   "nonlocal", "not",    "or",
    "pass",  "raise",  "return",  "try",      "while",    "with",   "yield"};

// Names the generated script itself uses; a variable may not shadow them.
constexpr std::array<std::string_view, 5> kScriptNames = {"m", "pl", "result", "float", "print"};

bool is_ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

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
  std::vector<std::string> names(n);
  m.var_names.for_each([&](size_t i, std::string name) { names[i] = std::move(name); });
  std::unordered_set<std::string_view> taken;
  // The first variable of each usable name keeps it.
  for (size_t i = 0; i < n; ++i) {
    const std::string& name = names[i];
    if (usable_identifier(name) && taken.insert(name).second) ids[i] = name;
  }
  // Everything else gets v_<index> (extended with '_' past any clash).
  std::vector<std::string> generated;
  generated.reserve(n);
  std::unordered_set<std::string> used_generated;
  for (size_t i = 0; i < n; ++i) {
    if (!ids[i].empty()) continue;
    std::string id = "v_" + std::to_string(i);
    while (taken.count(id) || used_generated.count(id)) id += '_';
    used_generated.insert(id);
    ids[i] = std::move(id);
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

std::string_view py_name(const std::vector<std::string>& ids, VarIndex i) {
  return i < ids.size() ? std::string_view(ids[i]) : std::string_view("?");
}

void append_py_expr(std::string& out, const std::vector<std::string>& ids, const Expr& e) {
  bool first = true;
  auto piece = [&] {
    if (!first) out += " + ";
    first = false;
  };
  for (const Term& t : sorted_terms(e.terms)) {
    piece();
    const std::string_view name = py_name(ids, t.index);
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
  if (e.constant != 0.0 || std::isnan(e.constant)) {
    piece();
    append_py_number(out, e.constant);
  }
  if (first) out += '0';
}

// A constraint's left side. Without terms it must still be an expression
// (a bare number compared with a number is a bool), so it starts from the
// empty sum.
void append_py_lhs(std::string& out, const std::vector<std::string>& ids, const Expr& e) {
  if (!e.terms.empty()) {
    append_py_expr(out, ids, e);
    return;
  }
  out += "pl.sum([])";
  if (e.constant != 0.0 || std::isnan(e.constant)) {
    out += " + ";
    append_py_number(out, e.constant);
  }
}

void append_hex(std::string& out, uint32_t v, int digits) {
  static const char* hex = "0123456789abcdef";
  for (int s = (digits - 1) * 4; s >= 0; s -= 4) out += hex[(v >> s) & 0xf];
}

// Code points that repr escapes although they are not ASCII controls:
// C1 controls, odd spaces, format and separator characters.
bool escape_code_point(uint32_t cp) {
  return (cp >= 0x80 && cp <= 0xa0) || cp == 0xad || (cp >= 0x2000 && cp <= 0x200f) ||
         (cp >= 0x2028 && cp <= 0x202f) || (cp >= 0x205f && cp <= 0x206f) || cp == 0x3000 ||
         cp == 0xfeff || (cp >= 0xfff9 && cp <= 0xfffb) || cp == 0x1680 || cp == 0x180e;
}

}  // namespace

bool is_python_identifier(std::string_view s) {
  if (s.empty() || !(is_ascii_alpha(s[0]) || s[0] == '_')) return false;
  for (char c : s)
    if (!(is_ascii_alpha(c) || is_ascii_digit(c) || c == '_')) return false;
  for (std::string_view k : kKeywords)
    if (s == k) return false;
  return true;
}

std::string python_string_literal(std::string_view s) {
  const bool has_single = s.find('\'') != std::string_view::npos;
  const bool has_double = s.find('"') != std::string_view::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';
  std::string out;
  out.reserve(s.size() + 2);
  out += quote;
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      switch (c) {
        case '\\': out += "\\\\"; continue;
        case '\n': out += "\\n"; continue;
        case '\r': out += "\\r"; continue;
        case '\t': out += "\\t"; continue;
        default: break;
      }
      if (c == static_cast<unsigned char>(quote)) {
        out += '\\';
        out += quote;
      } else if (c < 0x20 || c == 0x7f) {
        out += "\\x";
        append_hex(out, c, 2);
      } else {
        out += static_cast<char>(c);
      }
      continue;
    }
    // Multi-byte UTF-8 sequence: decode to see whether it needs an escape.
    size_t len = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
    if (i + len > s.size()) len = s.size() - i;
    uint32_t cp = c & (len == 4 ? 0x07 : len == 3 ? 0x0f : 0x1f);
    for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3f);
    if (escape_code_point(cp)) {
      if (cp <= 0xff) {
        out += "\\x";
        append_hex(out, cp, 2);
      } else if (cp <= 0xffff) {
        out += "\\u";
        append_hex(out, cp, 4);
      } else {
        out += "\\U";
        append_hex(out, cp, 8);
      }
    } else {
      out.append(s.substr(i, len));
    }
    i += len;
  }
  out += quote;
  return out;
}

std::string export_lp(const ModelData& m) {
  std::string out;
  out += "\\ Problem: ";
  out += m.name;
  out += '\n';
  out += m.maximize ? "Maximize\n" : "Minimize\n";
  out += " obj: ";
  bool nonlinear = false;
  if (const Expr* obj = objective_expr(m, nonlinear)) {
    append_lp_expr(out, m, *obj);
  } else if (nonlinear) {
    out += "\\ <nonlinear objective: LP export unsupported>";
  }
  out += "\nSubject To\n";
  for (size_t i = 0; i < m.constraints.size(); ++i) {
    const LinearConstraint& c = m.constraints[i];
    out += ' ';
    if (c.name) out += *c.name;
    else out += "c" + std::to_string(i);
    out += ": ";
    append_lp_expr(out, m, c.expr);
    out += ' ';
    out += sense_text(c.sense, false);
    out += ' ';
    append_plain_number(out, c.rhs);
    out += '\n';
  }
  out += "Bounds\n";
  bool any_integer = false, any_binary = false;
  for (size_t i = 0; i < m.variables.size(); ++i) {
    const VarRecord& v = m.variables[i];
    const std::string name = m.var_name(i);
    const bool lower_free = v.lower == -INFINITY;
    const bool upper_free = v.upper == INFINITY;
    out += ' ';
    if (lower_free && upper_free) {
      out += name;
      out += " free";
    } else if (lower_free) {
      out += "-inf <= ";
      out += name;
      out += " <= ";
      append_plain_number(out, v.upper);
    } else if (!upper_free) {
      append_plain_number(out, v.lower);
      out += " <= ";
      out += name;
      out += " <= ";
      append_plain_number(out, v.upper);
    } else {
      out += name;
      out += " >= ";
      append_plain_number(out, v.lower);
    }
    out += '\n';
    any_integer |= v.kind == VarKind::Integer;
    any_binary |= v.kind == VarKind::Binary;
  }
  auto section = [&](const char* title, VarKind kind) {
    out += title;
    out += '\n';
    for (size_t i = 0; i < m.variables.size(); ++i) {
      if (m.variables[i].kind != kind) continue;
      out += ' ';
      out += m.var_name(i);
      out += '\n';
    }
  };
  if (any_integer) section("General", VarKind::Integer);
  if (any_binary) section("Binary", VarKind::Binary);
  out += "End\n";
  return out;
}

std::string export_python(const ModelData& m) {
  const std::vector<std::string> ids = python_identifiers(m);
  std::string out;
  out += "\"\"\"Auto-generated by Pelora \xE2\x80\x94 standalone solver code.\"\"\"\n";
  out += "import pelora_opt as pl\n\n";
  out += "m = pl.Model(" + python_string_literal(m.name) + ")\n\n";
  out += "# Variables\n";
  for (size_t i = 0; i < m.variables.size(); ++i) {
    const VarRecord& v = m.variables[i];
    out += ids[i];
    switch (v.kind) {
      case VarKind::Continuous: out += " = m.variable("; break;
      case VarKind::Integer: out += " = m.integer("; break;
      case VarKind::Binary: out += " = m.binary("; break;
    }
    out += python_string_literal(m.var_name(i));
    if (v.kind != VarKind::Binary) {
      out += ", lower=";
      append_py_number(out, v.lower);
      out += ", upper=";
      append_py_number(out, v.upper);
    }
    out += ")\n";
  }
  out += "\n# Objective\n";
  bool nonlinear = false;
  if (const Expr* obj = objective_expr(m, nonlinear)) {
    out += m.maximize ? "m.maximize(" : "m.minimize(";
    append_py_expr(out, ids, *obj);
    out += ")\n";
  } else if (nonlinear) {
    out += "# <nonlinear objective: Python-code export unsupported>\n";
  }
  out += "\n# Constraints\n";
  for (size_t i = 0; i < m.constraints.size(); ++i) {
    const LinearConstraint& c = m.constraints[i];
    out += "m.add(";
    append_py_lhs(out, ids, c.expr);
    out += ' ';
    out += sense_text(c.sense, true);
    out += ' ';
    append_py_number(out, c.rhs);
    out += ", name=";
    out += python_string_literal(c.name ? *c.name : "c" + std::to_string(i));
    out += ")\n";
  }
  out += "\n# Solve\n";
  out += "result = m.solve()\n";
  out += "print(f'Status: {result.status}')\n";
  out += "print(f'Objective: {result.objective}')\n";
  out += "print(f'Values: {result.values()}')\n";
  return out;
}

std::string model_summary(const ModelData& m) {
  size_t cont = 0, integer = 0, binary = 0;
  for (const VarRecord& v : m.variables) {
    switch (v.kind) {
      case VarKind::Continuous: ++cont; break;
      case VarKind::Integer: ++integer; break;
      case VarKind::Binary: ++binary; break;
    }
  }
  size_t le = 0, ge = 0, eq = 0, nonzeros = 0;
  for (const LinearConstraint& c : m.constraints) {
    switch (c.sense) {
      case Sense::Le: ++le; break;
      case Sense::Ge: ++ge; break;
      case Sense::Eq: ++eq; break;
    }
    nonzeros += c.expr.terms.size();
  }
  auto n = [](size_t v) { return std::to_string(v); };
  return "Model '" + m.name + "': " + n(m.variables.size()) + " vars (" + n(cont) + " cont, " +
         n(integer) + " int, " + n(binary) + " bin), " + n(m.constraints.size()) +
         " constraints (" + n(le) + " <=, " + n(ge) + " >=, " + n(eq) + " ==), " + n(nonzeros) +
         " nonzeros, type=" + problem_type_text(classify_problem(m));
}

}  // namespace pelora
