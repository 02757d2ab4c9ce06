#include "core/model/exports.hpp"

#include <algorithm>
#include <array>
#include <charconv>
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

// ---- names in LP and MPS files ----------------------------------------------

// Characters an LP or MPS name may hold (none of them separates, compares or
// starts a comment in either format), as a table by byte.
struct NameChars {
  bool ok[256] = {};
  constexpr NameChars() {
    for (int c = 'a'; c <= 'z'; ++c) ok[c] = true;
    for (int c = 'A'; c <= 'Z'; ++c) ok[c] = true;
    for (int c = '0'; c <= '9'; ++c) ok[c] = true;
    for (const char* p = "!\"#$%&()/,.;?@_`'{}|~"; *p; ++p) ok[static_cast<unsigned char>(*p)] = true;
  }
};
constexpr NameChars kNameChars;

bool file_name_char(char c) { return kNameChars.ok[static_cast<unsigned char>(c)]; }

// Words LP readers take as keywords (section heads, bound words, infinity).
bool reserved_word(std::string_view s) {
  static constexpr std::array<std::string_view, 33> kWords = {
      "inf", "infinity", "free", "st", "s.t.", "st.", "subject", "to", "such", "that", "end",
      "bound", "bounds", "bin", "binary", "binaries", "int", "general", "generals", "gen",
      "semi", "semis", "sos", "sos1", "sos2", "minimize", "minimise", "minimum", "min",
      "maximize", "maximise", "maximum", "max"};
  if (s.size() > 9) return false;
  char buf[9];
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '_') return false;  // no keyword holds one
    buf[i] = s[i] >= 'A' && s[i] <= 'Z' ? static_cast<char>(s[i] - 'A' + 'a') : s[i];
  }
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
  NameList cols, rows;
  std::vector<Renamed> renamed;  // in column then row order
};

// Written names for `names` (taken over): a legal name keeps itself the
// first time it occurs; every other gets a derived name with a numeric
// suffix where needed, unique among all names written and `reserved`.
NameList unique_names(NameList names, std::string_view reserved, bool row,
                      std::vector<Renamed>& renamed) {
  NameSet taken(names.size() + 1);
  if (!reserved.empty()) taken.insert(reserved);
  std::vector<size_t> redo;
  // Each name's hash is made once, kLookAhead names before its insertion,
  // when its slot is prefetched.
  size_t ahead[kLookAhead];
  for (size_t i = 0; i < names.size() && i < kLookAhead; ++i) {
    ahead[i] = NameSet::hash(names[i]);
    taken.prefetch_hash(ahead[i]);
  }
  for (size_t i = 0; i < names.size(); ++i) {
    const size_t h = ahead[i % kLookAhead];
    if (i + kLookAhead < names.size()) {
      ahead[i % kLookAhead] = NameSet::hash(names[i + kLookAhead]);
      taken.prefetch_hash(ahead[i % kLookAhead]);
    }
    if (!(file_name_legal(names[i]) && taken.insert_hashed(names[i], h))) redo.push_back(i);
  }
  if (redo.empty()) return names;
  // The new names live here (the set holds views of them) until the list is
  // rebuilt with them in place.
  std::vector<std::string> fresh;
  fresh.reserve(redo.size());
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
    fresh.push_back(std::move(name));
    taken.insert(fresh.back());
    renamed.push_back({row, i});
  }
  NameList out;
  out.reserve(names.size(), names.text_size());
  size_t next = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    if (next < redo.size() && redo[next] == i) {
      out.push(fresh[next++]);
    } else {
      out.push(names[i]);
    }
  }
  return out;
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
  f.cols = unique_names(variable_names(m), {}, false, f.renamed);
  NameList rows;
  const size_t n = m.constraints.size();
  rows.reserve(n, 8 * n);
  char number[24];
  for (size_t i = 0; i < n; ++i) {
    if (const std::string* name = m.constraints.name(i)) {
      rows.push(*name);
    } else {
      number[0] = 'c';
      rows.push({number, static_cast<size_t>(std::to_chars(number + 1, number + sizeof number, i).ptr - number)});
    }
  }
  f.rows = unique_names(std::move(rows), kObjectiveRow, true, f.renamed);
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

// Room for a term: its sign, its number and the name (`name_size` long).
constexpr size_t term_room(size_t name_size) { return kMaxPlainNumber + name_size + 8; }

// The part of an LP-style "c name" piece before the name: the first piece
// carries its sign in the number, the later ones get "+ " or "- " before
// their magnitude; a unit coefficient is left out. Needs term_room.
void put_lp_coefficient(TextOut& out, bool first, double c) {
  if (first) {
    if (is_one(c)) {
    } else if (is_minus_one(c)) {
      out.put_literal("- ");
    } else {
      out.put_number(c);
      out.put(' ');
    }
  } else if (c > 0) {
    out.put_literal(" + ");
    if (!is_one(c)) {
      out.put_number(c);
      out.put(' ');
    }
  } else {
    out.put_literal(" - ");
    if (!is_minus_one(c)) {
      out.put_number(0.0 - c);  // 0.0 - c: a zero prints "0", not "-0"
      out.put(' ');
    }
  }
}

// Terms (in index order, anything with size() and operator[] giving a
// Term), then the constant unless it is 0; "0" for nothing.
template <class Terms>
void put_lp_sum(TextOut& out, const NameList& names, const Terms& terms, double k) {
  const size_t n = terms.size();
  for (size_t i = 0; i < n; ++i) {
    const Term t = terms[i];
    const std::string_view name = names[t.index];
    out.room(term_room(name.size()));
    put_lp_coefficient(out, i == 0, t.coef);
    out.put(name);
  }
  bool first = n == 0;  // no piece written yet
  if (k != 0.0 || std::isnan(k)) {
    out.room(kMaxPlainNumber + 4);
    if (!first) out.put(' ');
    first = false;
    if (k > 0) {
      out.put_literal("+ ");
      out.put_number(k);
    } else {
      out.put_literal("- ");
      out.put_number(-k);
    }
  }
  if (first) out.add('0');
}

// "[ 2 x ^ 2 + 4 x * y ] / 2": the bracket holds twice each coefficient.
void put_lp_quad(TextOut& out, const NameList& names, const std::vector<QuadTerm>& q) {
  out.add("[ ");
  bool first = true;
  std::string product;
  for (const QuadTerm& t : q) {
    product = names[t.i];
    if (t.i == t.j) {
      product += " ^ 2";
    } else {
      product += " * ";
      product += names[t.j];
    }
    out.room(term_room(product.size()));
    put_lp_coefficient(out, first, 2.0 * t.coef);
    out.put(product);
    first = false;
  }
  out.add(" ] / 2");
}

void put_lp_bound(TextOut& out, const VarRecord& v, std::string_view name) {
  const bool lower_free = v.lower == -INFINITY;
  const bool upper_free = v.upper == INFINITY;
  out.room(2 * kMaxPlainNumber + name.size() + 24);
  out.put(' ');
  if (lower_free && upper_free) {
    out.put(name);
    out.put_literal(" free");
  } else if (lower_free) {
    out.put_literal("-inf <= ");
    out.put(name);
    out.put_literal(" <= ");
    out.put_number(v.upper);
  } else if (!upper_free) {
    out.put_number(v.lower);
    out.put_literal(" <= ");
    out.put(name);
    out.put_literal(" <= ");
    out.put_number(v.upper);
  } else {
    out.put(name);
    out.put_literal(" >= ");
    out.put_number(v.lower);
  }
  out.put('\n');
}

// ---- MPS format ---------------------------------------------------------------

void put_mps_entry(TextOut& out, std::string_view a, std::string_view b, double v) {
  out.room(kMaxPlainNumber + a.size() + b.size() + 8);
  out.put_literal("    ");
  out.put(a);
  out.put(' ');
  out.put(b);
  out.put(' ');
  out.put_number(v);
  out.put('\n');
}

void put_mps_bound(TextOut& out, const char (&type)[3], std::string_view col, double v,
                   bool with_value) {
  out.room(kMaxPlainNumber + col.size() + 12);
  out.put(' ');
  out.put_literal(type);
  out.put_literal(" BND ");
  out.put(col);
  if (with_value) {
    out.put(' ');
    out.put_number(v);
  }
  out.put('\n');
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
  TextOut out(expected_length(m));
  std::string head;
  const std::string missing = left_out(m);
  if (!missing.empty()) head += "\\ Left out, not expressible in LP format: " + missing + "\n";
  head += "\\ Problem: ";
  head += comment_text(m.name);
  head += '\n';
  append_renamed_comments(head, m, names, "\\ ");
  head += m.maximize ? "Maximize\n" : "Minimize\n";
  head += " obj: ";
  out.add(head);
  const ObjectiveParts obj = objective_parts(m);
  const std::vector<QuadTerm> quad = obj.quad ? merged_quad(*obj.quad) : std::vector<QuadTerm>{};
  if (obj.linear) {
    const bool linear_empty = obj.linear->terms.empty() && obj.linear->constant == 0.0;
    if (!linear_empty || quad.empty())
      put_lp_sum(out, names.cols, order.of(obj.linear->terms), obj.linear->constant);
    if (!quad.empty()) {
      if (!linear_empty) out.add(" + ");
      put_lp_quad(out, names.cols, quad);
    }
  }
  out.add("\nSubject To\n");
  for (size_t i = 0; i < m.constraints.size(); ++i) {
    const std::string_view row = names.rows[i];
    out.room(row.size() + 4);
    out.put(' ');
    out.put(row);
    out.put_literal(": ");
    const RowTerms terms = m.constraints.terms(i);
    const std::span<const VarIndex> index = terms.indices();
    if (std::is_sorted(index.begin(), index.end())) {
      put_lp_sum(out, names.cols, terms, 0.0);
    } else {
      put_lp_sum(out, names.cols, order.of(terms), 0.0);
    }
    out.room(kMaxPlainNumber + 6);
    out.put(' ');
    const Sense sense = m.constraints.sense(i);
    if (sense == Sense::Eq) {
      out.put('=');
    } else {
      out.put_literal(sense == Sense::Le ? "<=" : ">=");
    }
    out.put(' ');
    out.put_number(m.constraints.rhs(i));
    out.put('\n');
  }
  out.add("Bounds\n");
  // A reader gives a Binary-section variable the bounds [0, 1]; a binary
  // whose bounds fix it is listed under General, with its bounds above.
  const auto section_of = [](const VarRecord& v) {
    if (v.kind == VarKind::Binary && v.lower == 0.0 && v.upper == 1.0) return VarKind::Binary;
    return v.kind == VarKind::Continuous ? VarKind::Continuous : VarKind::Integer;
  };
  bool any_integer = false, any_binary = false;
  for (size_t i = 0; i < m.variables.size(); ++i) {
    const VarRecord& v = m.variables[i];
    put_lp_bound(out, v, names.cols[i]);
    any_integer |= section_of(v) == VarKind::Integer;
    any_binary |= section_of(v) == VarKind::Binary;
  }
  auto section = [&](std::string_view title, VarKind kind) {
    out.add(title);
    for (size_t i = 0; i < m.variables.size(); ++i) {
      if (section_of(m.variables[i]) != kind) continue;
      const std::string_view name = names.cols[i];
      out.room(name.size() + 2);
      out.put(' ');
      out.put(name);
      out.put('\n');
    }
  };
  if (any_integer) section("General\n", VarKind::Integer);
  if (any_binary) section("Binary\n", VarKind::Binary);
  out.add("End\n");
  return out.take();
}

namespace {

// The objective's terms and the rows' terms column by column (each column's
// in row order, the objective first), by one counting pass.
template <class Index>
struct ColumnEntries {
  std::vector<Index> start;  // column j's entries are start[j] .. start[j + 1]
  std::vector<Index> row;    // 0 the objective, r + 1 constraint r
  std::vector<double> value;
};

template <class Index>
ColumnEntries<Index> column_entries(const ModelData& m, const ObjectiveParts& obj) {
  const size_t n = m.variables.size();
  ColumnEntries<Index> e;
  std::vector<Index>& count = e.start;
  count.assign(n + 1, 0);
  if (obj.linear)
    for (const Term& t : obj.linear->terms) ++count[t.index + 1];
  for (size_t r = 0; r < m.constraints.size(); ++r)
    for (VarIndex i : m.constraints.terms(r).indices()) ++count[i + 1];
  for (size_t j = 0; j < n; ++j) count[j + 1] += count[j];
  e.row.resize(count[n]);
  e.value.resize(count[n]);
  std::vector<Index> fill(count.begin(), count.end() - 1);
  if (obj.linear) {
    for (const Term& t : obj.linear->terms) {
      const Index at = fill[t.index]++;
      e.row[at] = 0;
      e.value[at] = t.coef;
    }
  }
  for (size_t r = 0; r < m.constraints.size(); ++r) {
    const RowTerms terms = m.constraints.terms(r);
    const std::span<const VarIndex> index = terms.indices();
    const std::span<const double> value = terms.values();
    const auto row = static_cast<Index>(r + 1);
    for (size_t k = 0; k < index.size(); ++k) {
      const Index at = fill[index[k]]++;
      e.row[at] = row;
      e.value[at] = value[k];
    }
  }
  return e;
}

// The COLUMNS lines, integer columns between markers.
template <class Index>
void put_mps_columns(TextOut& out, const ModelData& m, const FileNames& names,
                     const ColumnEntries<Index>& e) {
  const std::string_view objective_row = kObjectiveRow;
  bool in_integer = false;
  for (size_t j = 0; j < m.variables.size(); ++j) {
    const bool integer = m.variables[j].kind != VarKind::Continuous;
    if (integer != in_integer) {
      out.add(integer ? "    MARKER 'MARKER' 'INTORG'\n" : "    MARKER 'MARKER' 'INTEND'\n");
      in_integer = integer;
    }
    const std::string_view col = names.cols[j];
    if (e.start[j] == e.start[j + 1]) {
      put_mps_entry(out, col, objective_row, 0.0);  // a column with no entry
      continue;
    }
    for (size_t k = e.start[j]; k < e.start[j + 1]; ++k) {
      const size_t row = e.row[k];
      put_mps_entry(out, col, row == 0 ? objective_row : names.rows[row - 1], e.value[k]);
    }
  }
  if (in_integer) out.add("    MARKER 'MARKER' 'INTEND'\n");
}

}  // namespace

std::string export_mps(const ModelData& m, std::string_view what) {
  require_file_expressible(m, what);
  check_file_numbers(m, what);
  const FileNames names = file_names(m);
  const size_t n = m.variables.size();
  const ObjectiveParts obj = objective_parts(m);

  const size_t objective_terms = obj.linear ? obj.linear->terms.size() : 0;
  const size_t entry_count = objective_terms + m.constraints.nonzeros();

  TextOut out(expected_length(m) + 24 * entry_count);
  std::string head = "* Problem: ";
  head += comment_text(m.name);
  head += '\n';
  append_renamed_comments(head, m, names, "* ");
  head += "NAME";
  if (!m.name.empty()) {
    head += ' ';
    head += derived_name(m.name);
  }
  head += '\n';
  if (m.maximize) head += "OBJSENSE\n    MAX\n";
  head += "ROWS\n N  ";
  head += kObjectiveRow;
  head += '\n';
  out.add(head);
  for (size_t r = 0; r < m.constraints.size(); ++r) {
    const Sense s = m.constraints.sense(r);
    const std::string_view row = names.rows[r];
    out.room(row.size() + 5);
    out.put_literal(s == Sense::Le ? " L  " : s == Sense::Ge ? " G  " : " E  ");
    out.put(row);
    out.put('\n');
  }
  out.add("COLUMNS\n");
  // 32-bit positions and rows where they fit: the scatter by column touches
  // less memory.
  if (entry_count < UINT32_MAX && m.constraints.size() < UINT32_MAX) {
    put_mps_columns(out, m, names, column_entries<uint32_t>(m, obj));
  } else {
    put_mps_columns(out, m, names, column_entries<size_t>(m, obj));
  }
  out.add("RHS\n");
  const std::string_view objective_row = kObjectiveRow;
  // The objective row's right-hand side is minus the objective constant.
  if (obj.linear && obj.linear->constant != 0.0)
    put_mps_entry(out, "RHS", objective_row, -obj.linear->constant);
  for (size_t r = 0; r < m.constraints.size(); ++r) {
    const double rhs = m.constraints.rhs(r);
    if (rhs != 0.0) put_mps_entry(out, "RHS", names.rows[r], rhs);
  }
  out.add("BOUNDS\n");
  for (size_t j = 0; j < n; ++j) {
    const VarRecord& v = m.variables[j];
    const std::string_view col = names.cols[j];
    const bool integer = v.kind != VarKind::Continuous;
    const bool lower_free = v.lower == -INFINITY, upper_free = v.upper == INFINITY;
    if (v.lower == v.upper) {
      put_mps_bound(out, "FX", col, v.lower, true);
    } else if (lower_free && upper_free) {
      put_mps_bound(out, "FR", col, 0.0, false);
    } else {
      if (lower_free) put_mps_bound(out, "MI", col, 0.0, false);
      else if (v.lower != 0.0 || integer || v.upper < 0.0) put_mps_bound(out, "LO", col, v.lower, true);
      if (!upper_free) put_mps_bound(out, "UP", col, v.upper, true);
      else if (integer) put_mps_bound(out, "PL", col, 0.0, false);
    }
  }
  if (obj.quad) {
    const std::vector<QuadTerm> quad = merged_quad(*obj.quad);
    if (!quad.empty()) {
      // Entries of Q in 0.5 x'Qx, one per pair: c x_i x_j is Q_ij = c, c x_i^2 is Q_ii = 2c.
      out.add("QUADOBJ\n");
      for (const QuadTerm& t : quad)
        put_mps_entry(out, names.cols[t.i], names.cols[t.j], t.i == t.j ? 2.0 * t.coef : t.coef);
    }
  }
  out.add("ENDATA\n");
  return out.take();
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
