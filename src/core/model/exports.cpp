#include "core/model/exports.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "core/format.hpp"
#include "core/model/export_common.hpp"
#include "core/model/standard_form.hpp"

namespace pelora {
namespace {

using namespace exports;

bool is_ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }

const char* sense_text(Sense s, bool python) {
  switch (s) {
    case Sense::Le: return "<=";
    case Sense::Ge: return ">=";
    case Sense::Eq: return python ? "==" : "=";
  }
  return "<=";
}

// ---- names in LP and MPS files ----------------------------------------------

// Characters an LP or MPS name may hold (none of them separates, compares or
// starts a comment in either format).
bool file_name_char(char c) {
  return is_ascii_alpha(c) || is_ascii_digit(c) ||
         (c != '\0' && std::strchr("!\"#$%&()/,.;?@_`'{}|~", c) != nullptr);
}

// Words LP readers take as keywords (section heads, bound words, infinity).
bool reserved_word(std::string_view s) {
  static constexpr std::array<std::string_view, 33> kWords = {
      "inf", "infinity", "free", "st", "s.t.", "st.", "subject", "to", "such", "that", "end",
      "bound", "bounds", "bin", "binary", "binaries", "int", "general", "generals", "gen",
      "semi", "semis", "sos", "sos1", "sos2", "minimize", "minimise", "minimum", "min",
      "maximize", "maximise", "maximum", "max"};
  if (s.size() > 9) return false;
  char buf[9];
  for (size_t i = 0; i < s.size(); ++i)
    buf[i] = s[i] >= 'A' && s[i] <= 'Z' ? static_cast<char>(s[i] - 'A' + 'a') : s[i];
  const std::string_view lower(buf, s.size());
  if (lower == "nan") return true;
  for (std::string_view w : kWords)
    if (lower == w) return true;
  return false;
}

constexpr size_t kMaxFileName = 255;

bool file_name_legal(std::string_view s) {
  if (s.empty() || s.size() > kMaxFileName) return false;
  if (!(is_ascii_alpha(s[0]) || s[0] == '_')) return false;
  for (char c : s)
    if (!file_name_char(c)) return false;
  return !reserved_word(s);
}

// A legal name made from `s`: illegal characters become '_' (one per UTF-8
// character), a name that cannot start as it does gets a leading '_'.
std::string derived_name(std::string_view s) {
  std::string d;
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x80 && c < 0xc0) continue;  // UTF-8 continuation byte
    d += file_name_char(ch) ? ch : '_';
  }
  if (d.empty() || !(is_ascii_alpha(d[0]) || d[0] == '_') || reserved_word(d)) d.insert(0, "_");
  if (d.size() > kMaxFileName - 12) d.resize(kMaxFileName - 12);
  return d;
}

struct Renamed {
  bool row;
  size_t index;
};

struct FileNames {
  std::vector<std::string> cols, rows;
  std::vector<Renamed> renamed;  // in column then row order
};

// Written names for `wanted` (taken over): a legal name keeps itself the
// first time it occurs; every other gets a derived name with a numeric
// suffix where needed, unique among all names written and `reserved`.
std::vector<std::string> unique_names(std::vector<std::string> names, std::string_view reserved,
                                      bool row, std::vector<Renamed>& renamed) {
  NameSet taken(names.size() + 1);
  if (!reserved.empty()) taken.insert(reserved);
  std::vector<size_t> redo;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i + kLookAhead < names.size()) taken.prefetch(names[i + kLookAhead]);
    if (!(file_name_legal(names[i]) && taken.insert(names[i]))) redo.push_back(i);
  }
  std::unordered_map<std::string, size_t> next_suffix;
  for (size_t i : redo) {
    const std::string base = derived_name(names[i]);
    std::string name = base;
    if (taken.contains(name)) {
      size_t& k = next_suffix[base];
      do {
        name = base + '_' + std::to_string(++k);
      } while (taken.contains(name));
    }
    names[i] = std::move(name);
    taken.insert(names[i]);
    renamed.push_back({row, i});
  }
  return names;
}

std::string default_row_name(const ModelData& m, size_t i) {
  const std::string* name = m.constraints.name(i);
  return name ? *name : "c" + std::to_string(i);
}

// A first guess at an export's length, so its buffer rarely grows.
size_t expected_length(const ModelData& m) {
  const size_t nonzeros = m.constraints.nonzeros();
  return 24 * nonzeros + 40 * (m.variables.size() + m.constraints.size()) + 256;
}

constexpr const char* kObjectiveRow = "obj";

FileNames file_names(const ModelData& m) {
  FileNames f;
  std::vector<std::string> wanted(m.variables.size());
  for (size_t i = 0; i < wanted.size(); ++i) wanted[i] = variable_name(m, i);
  f.cols = unique_names(std::move(wanted), {}, false, f.renamed);
  wanted.assign(m.constraints.size(), {});
  for (size_t i = 0; i < wanted.size(); ++i) wanted[i] = default_row_name(m, i);
  f.rows = unique_names(std::move(wanted), kObjectiveRow, true, f.renamed);
  return f;
}

// Comment lines listing every replaced name with its original (quoted, so
// line breaks and spaces stay visible and the line stays one line).
void append_renamed_comments(std::string& out, const ModelData& m, const FileNames& f,
                             const char* marker) {
  if (f.renamed.empty()) return;
  out += marker;
  out += "Names changed to be legal and unique (written name: original):\n";
  for (const Renamed& r : f.renamed) {
    out += marker;
    out += r.row ? "constraint " : "variable ";
    out += r.row ? f.rows[r.index] : f.cols[r.index];
    out += ": ";
    out += python_string_literal(r.row ? default_row_name(m, r.index) : variable_name(m, r.index));
    out += '\n';
  }
}

// Text for a comment line: the text itself, or its quoted form when it holds
// a control character (a line break would end the comment).
std::string comment_text(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return python_string_literal(s);
  return std::string(s);
}

// ---- what a file can hold ------------------------------------------------------

std::string count_text(size_t n, const char* one, const char* many) {
  return std::to_string(n) + ' ' + (n == 1 ? one : many);
}

// The parts LP and MPS cannot carry, as a list ("" when there is none).
std::string left_out(const ModelData& m) {
  std::vector<std::string> parts;
  if (objective_parts(m).nl) parts.push_back("the nonlinear objective terms");
  if (!m.nl_constraints.empty())
    parts.push_back(count_text(m.nl_constraints.size(), "nonlinear constraint", "nonlinear constraints"));
  if (!m.soc_cones.empty())
    parts.push_back(count_text(m.soc_cones.size(), "second-order cone", "second-order cones"));
  if (!m.psd_cones.empty()) parts.push_back(count_text(m.psd_cones.size(), "PSD cone", "PSD cones"));
  std::string s;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) s += ", ";
    s += parts[i];
  }
  return s;
}

// ---- finite numbers --------------------------------------------------------------

std::string quoted(std::string_view s) { return python_string_literal(s); }

[[noreturn]] void throw_not_finite(double v, std::string_view what, const std::string& place) {
  throw ExportError(std::string(what) + ": " + place + " is " + plain_number(v));
}

// Every number LP and MPS text needs is finite (bounds may be infinite on
// their own side), and every term names a variable of the model. Messages
// are built only for a failure; a row's terms are checked in index order so
// the first offending variable is the one named.
void check_file_numbers(const ModelData& m, std::string_view what) {
  const ObjectiveParts obj = objective_parts(m);
  auto check_terms = [&](const auto& terms, auto&& place) {
    bool bad = false;
    for (const Term& t : terms) bad |= t.index >= m.variables.size() || !std::isfinite(t.coef);
    if (!bad) return;
    for (const Term& t : sorted_terms(terms)) {
      check_index(m, what, t.index);
      if (!std::isfinite(t.coef)) throw_not_finite(t.coef, what, place(t.index));
    }
  };
  if (obj.linear) {
    check_terms(obj.linear->terms, [&](VarIndex i) {
      return "objective coefficient of " + quoted(variable_name(m, i));
    });
    if (!std::isfinite(obj.linear->constant))
      throw_not_finite(obj.linear->constant, what, "objective constant");
  }
  if (obj.quad) {
    for (const QuadTerm& q : *obj.quad) {
      check_index(m, what, q.i);
      check_index(m, what, q.j);
      if (!std::isfinite(q.coef))
        throw_not_finite(q.coef, what,
                         "quadratic objective coefficient of " + quoted(variable_name(m, q.i)) +
                             " * " + quoted(variable_name(m, q.j)));
    }
  }
  for (size_t r = 0; r < m.constraints.size(); ++r) {
    const LinearRow c = m.constraints[r];
    check_terms(c.terms, [&](VarIndex i) {
      return "coefficient of " + quoted(variable_name(m, i)) + " in constraint " +
             quoted(default_row_name(m, r));
    });
    if (!std::isfinite(c.rhs))
      throw_not_finite(c.rhs, what, "right-hand side of constraint " + quoted(default_row_name(m, r)));
  }
  for (size_t i = 0; i < m.variables.size(); ++i) {
    const VarRecord& v = m.variables[i];
    if (std::isnan(v.lower) || v.lower == INFINITY)
      throw_not_finite(v.lower, what, "lower bound of " + quoted(variable_name(m, i)));
    if (std::isnan(v.upper) || v.upper == -INFINITY)
      throw_not_finite(v.upper, what, "upper bound of " + quoted(variable_name(m, i)));
  }
}

// Quadratic objective terms merged by pair, sorted; merged zeros dropped.
std::vector<QuadTerm> merged_quad(const SharedList<QuadTerm>& q) {
  std::map<std::pair<VarIndex, VarIndex>, double> acc;
  for (const QuadTerm& t : q) acc[{std::min(t.i, t.j), std::max(t.i, t.j)}] += t.coef;
  std::vector<QuadTerm> out;
  out.reserve(acc.size());
  for (const auto& [k, c] : acc)
    if (c != 0.0) out.push_back({k.first, k.second, c});
  return out;
}

// ---- LP format ------------------------------------------------------------

// "c name" pieces in LP style: the first carries its sign in the number, the
// later ones get "+ " or "- " before their magnitude.
void append_lp_term(std::string& out, bool first, double c, std::string_view name) {
  if (first) {
    if (is_one(c)) {
    } else if (is_minus_one(c)) {
      out += "- ";
    } else {
      append_plain_number(out, c);
      out += ' ';
    }
  } else if (c > 0) {
    out += " + ";
    if (!is_one(c)) {
      append_plain_number(out, c);
      out += ' ';
    }
  } else {
    out += " - ";
    if (!is_minus_one(c)) {
      append_plain_number(out, 0.0 - c);  // 0.0 - c: a zero prints "0", not "-0"
      out += ' ';
    }
  }
  out += name;
}

// Terms in index order, then the constant unless it is 0; "0" for nothing.
void append_lp_sum(std::string& out, const FileNames& names, std::span<const Term> terms, double k) {
  bool first = true;  // no piece written yet
  for (const Term& t : terms) {
    append_lp_term(out, first, t.coef, names.cols[t.index]);
    first = false;
  }
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

void append_lp_expr(std::string& out, const FileNames& names, SortedTerms& order, const Expr& e) {
  append_lp_sum(out, names, order.of(e.terms), e.constant);
}

// "[ 2 x ^ 2 + 4 x * y ] / 2": the bracket holds twice each coefficient.
void append_lp_quad(std::string& out, const FileNames& names, const std::vector<QuadTerm>& q) {
  out += "[ ";
  bool first = true;
  for (const QuadTerm& t : q) {
    std::string product = names.cols[t.i];
    product += t.i == t.j ? " ^ 2" : " * " + names.cols[t.j];
    append_lp_term(out, first, 2.0 * t.coef, product);
    first = false;
  }
  out += " ] / 2";
}

void append_lp_bound(std::string& out, const VarRecord& v, const std::string& name) {
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
}

// ---- MPS format ---------------------------------------------------------------

void append_mps_entry(std::string& out, std::string_view a, std::string_view b, double v) {
  out += "    ";
  out += a;
  out += ' ';
  out += b;
  out += ' ';
  append_plain_number(out, v);
  out += '\n';
}

void append_mps_bound(std::string& out, const char* type, std::string_view col, double v,
                      bool with_value) {
  out += ' ';
  out += type;
  out += " BND ";
  out += col;
  if (with_value) {
    out += ' ';
    append_plain_number(out, v);
  }
  out += '\n';
}

}  // namespace

bool is_python_identifier(std::string_view s) {
  static constexpr std::array<std::string_view, 35> kKeywords = {
      "False", "None",   "True",    "and",      "as",       "assert", "async",
      "await", "break",  "class",   "continue", "def",      "del",    "elif",
      "else",  "except", "finally", "for",      "from",     "global", "if",
      "import", "in",    "is",      "lambda",   "nonlocal", "not",    "or",
      "pass",  "raise",  "return",  "try",      "while",    "with",   "yield"};
  if (s.empty() || !(is_ascii_alpha(s[0]) || s[0] == '_')) return false;
  for (char c : s)
    if (!(is_ascii_alpha(c) || is_ascii_digit(c) || c == '_')) return false;
  for (std::string_view k : kKeywords)
    if (s == k) return false;
  return true;
}

namespace {

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

std::string python_string_literal(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 2);
  append_python_string_literal(out, s);
  return out;
}

void append_python_string_literal(std::string& out, std::string_view s) {
  const bool has_single = s.find('\'') != std::string_view::npos;
  const bool has_double = s.find('"') != std::string_view::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';
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
}

void require_file_expressible(const ModelData& m, std::string_view what) {
  const std::string parts = left_out(m);
  if (parts.empty()) return;
  throw ExportError(std::string(what) + ": the model holds " + parts +
                    ", which LP and MPS files cannot hold (write a .py script instead)");
}

std::string export_lp(const ModelData& m, std::string_view what) {
  check_file_numbers(m, what);
  const FileNames names = file_names(m);
  SortedTerms order;
  std::string out;
  out.reserve(expected_length(m));
  const std::string missing = left_out(m);
  if (!missing.empty()) out += "\\ Left out, not expressible in LP format: " + missing + "\n";
  out += "\\ Problem: ";
  out += comment_text(m.name);
  out += '\n';
  append_renamed_comments(out, m, names, "\\ ");
  out += m.maximize ? "Maximize\n" : "Minimize\n";
  out += " obj: ";
  const ObjectiveParts obj = objective_parts(m);
  const std::vector<QuadTerm> quad = obj.quad ? merged_quad(*obj.quad) : std::vector<QuadTerm>{};
  if (obj.linear) {
    const bool linear_empty = obj.linear->terms.empty() && obj.linear->constant == 0.0;
    if (!linear_empty || quad.empty()) append_lp_expr(out, names, order, *obj.linear);
    if (!quad.empty()) {
      if (!linear_empty) out += " + ";
      append_lp_quad(out, names, quad);
    }
  }
  out += "\nSubject To\n";
  for (size_t i = 0; i < m.constraints.size(); ++i) {
    const LinearRow c = m.constraints[i];
    out += ' ';
    out += names.rows[i];
    out += ": ";
    append_lp_sum(out, names, order.of(c.terms), 0.0);
    out += ' ';
    out += sense_text(c.sense, false);
    out += ' ';
    append_plain_number(out, c.rhs);
    out += '\n';
  }
  out += "Bounds\n";
  // A reader gives a Binary-section variable the bounds [0, 1]; a binary
  // whose bounds fix it is listed under General, with its bounds above.
  const auto section_of = [](const VarRecord& v) {
    if (v.kind == VarKind::Binary && v.lower == 0.0 && v.upper == 1.0) return VarKind::Binary;
    return v.kind == VarKind::Continuous ? VarKind::Continuous : VarKind::Integer;
  };
  bool any_integer = false, any_binary = false;
  for (size_t i = 0; i < m.variables.size(); ++i) {
    const VarRecord& v = m.variables[i];
    append_lp_bound(out, v, names.cols[i]);
    any_integer |= section_of(v) == VarKind::Integer;
    any_binary |= section_of(v) == VarKind::Binary;
  }
  auto section = [&](const char* title, VarKind kind) {
    out += title;
    out += '\n';
    for (size_t i = 0; i < m.variables.size(); ++i) {
      if (section_of(m.variables[i]) != kind) continue;
      out += ' ';
      out += names.cols[i];
      out += '\n';
    }
  };
  if (any_integer) section("General", VarKind::Integer);
  if (any_binary) section("Binary", VarKind::Binary);
  out += "End\n";
  return out;
}

std::string export_mps(const ModelData& m, std::string_view what) {
  require_file_expressible(m, what);
  check_file_numbers(m, what);
  const FileNames names = file_names(m);
  const size_t n = m.variables.size();
  const ObjectiveParts obj = objective_parts(m);

  // Column-wise entries: the objective first, then the rows in order.
  std::vector<size_t> count(n + 1, 0);
  if (obj.linear)
    for (const Term& t : obj.linear->terms) ++count[t.index + 1];
  for (size_t r = 0; r < m.constraints.size(); ++r)
    for (VarIndex i : m.constraints.terms(r).indices()) ++count[i + 1];
  for (size_t j = 0; j < n; ++j) count[j + 1] += count[j];
  struct Entry {
    size_t row;  // 0 objective, r + 1 constraint r
    double value;
  };
  std::vector<Entry> entries(count[n]);
  std::vector<size_t> fill(count.begin(), count.end() - 1);
  if (obj.linear)
    for (const Term& t : obj.linear->terms) entries[fill[t.index]++] = {0, t.coef};
  for (size_t r = 0; r < m.constraints.size(); ++r)
    for (const Term& t : m.constraints.terms(r)) entries[fill[t.index]++] = {r + 1, t.coef};

  std::string out;
  out.reserve(expected_length(m) + 24 * entries.size());
  out += "* Problem: ";
  out += comment_text(m.name);
  out += '\n';
  append_renamed_comments(out, m, names, "* ");
  out += "NAME";
  if (!m.name.empty()) {
    out += ' ';
    out += derived_name(m.name);
  }
  out += '\n';
  if (m.maximize) out += "OBJSENSE\n    MAX\n";
  out += "ROWS\n N  ";
  out += kObjectiveRow;
  out += '\n';
  for (size_t r = 0; r < m.constraints.size(); ++r) {
    const Sense s = m.constraints.sense(r);
    out += s == Sense::Le ? " L  " : s == Sense::Ge ? " G  " : " E  ";
    out += names.rows[r];
    out += '\n';
  }
  out += "COLUMNS\n";
  bool in_integer = false;
  auto row_name = [&](size_t row) -> const std::string& {
    static const std::string kObj = kObjectiveRow;
    return row == 0 ? kObj : names.rows[row - 1];
  };
  for (size_t j = 0; j < n; ++j) {
    const bool integer = m.variables[j].kind != VarKind::Continuous;
    if (integer != in_integer) {
      out += "    MARKER 'MARKER' ";
      out += integer ? "'INTORG'\n" : "'INTEND'\n";
      in_integer = integer;
    }
    if (count[j] == count[j + 1]) {
      append_mps_entry(out, names.cols[j], kObjectiveRow, 0.0);  // a column with no entry
      continue;
    }
    for (size_t k = count[j]; k < count[j + 1]; ++k)
      append_mps_entry(out, names.cols[j], row_name(entries[k].row), entries[k].value);
  }
  if (in_integer) out += "    MARKER 'MARKER' 'INTEND'\n";
  out += "RHS\n";
  // The objective row's right-hand side is minus the objective constant.
  if (obj.linear && obj.linear->constant != 0.0)
    append_mps_entry(out, "RHS", kObjectiveRow, -obj.linear->constant);
  for (size_t r = 0; r < m.constraints.size(); ++r) {
    const double rhs = m.constraints.rhs(r);
    if (rhs != 0.0) append_mps_entry(out, "RHS", names.rows[r], rhs);
  }
  out += "BOUNDS\n";
  for (size_t j = 0; j < n; ++j) {
    const VarRecord& v = m.variables[j];
    const std::string& col = names.cols[j];
    const bool integer = v.kind != VarKind::Continuous;
    const bool lower_free = v.lower == -INFINITY, upper_free = v.upper == INFINITY;
    if (v.lower == v.upper) {
      append_mps_bound(out, "FX", col, v.lower, true);
    } else if (lower_free && upper_free) {
      append_mps_bound(out, "FR", col, 0.0, false);
    } else {
      if (lower_free) append_mps_bound(out, "MI", col, 0.0, false);
      else if (v.lower != 0.0 || integer || v.upper < 0.0) append_mps_bound(out, "LO", col, v.lower, true);
      if (!upper_free) append_mps_bound(out, "UP", col, v.upper, true);
      else if (integer) append_mps_bound(out, "PL", col, 0.0, false);
    }
  }
  if (obj.quad) {
    const std::vector<QuadTerm> quad = merged_quad(*obj.quad);
    if (!quad.empty()) {
      // Entries of Q in 0.5 x'Qx, one per pair: c x_i x_j is Q_ij = c, c x_i^2 is Q_ii = 2c.
      out += "QUADOBJ\n";
      for (const QuadTerm& t : quad)
        append_mps_entry(out, names.cols[t.i], names.cols[t.j], t.i == t.j ? 2.0 * t.coef : t.coef);
    }
  }
  out += "ENDATA\n";
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
  for (size_t r = 0; r < m.constraints.size(); ++r) {
    switch (m.constraints.sense(r)) {
      case Sense::Le: ++le; break;
      case Sense::Ge: ++ge; break;
      case Sense::Eq: ++eq; break;
    }
  }
  nonzeros = m.constraints.nonzeros();
  auto n = [](size_t v) { return std::to_string(v); };
  return "Model '" + m.name + "': " + n(m.variables.size()) + " vars (" + n(cont) + " cont, " +
         n(integer) + " int, " + n(binary) + " bin), " + n(m.constraints.size()) +
         " constraints (" + n(le) + " <=, " + n(ge) + " >=, " + n(eq) + " ==), " + n(nonzeros) +
         " nonzeros, type=" + problem_type_text(classify_problem(m));
}

}  // namespace pelora
