#include "core/model/mps_check.hpp"

#include <set>
#include <unordered_set>
#include <utility>
#include <vector>

namespace pelora {

namespace {

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

std::string quoted(std::string_view name) { return "'" + std::string(name) + "'"; }

enum class Section { Other, Rows, Columns, Rhs, Ranges, Bounds, Done };

Section section_of(std::string_view head) {
  if (head == "ROWS") return Section::Rows;
  if (head == "COLUMNS") return Section::Columns;
  if (head == "RHS") return Section::Rhs;
  if (head == "RANGES") return Section::Ranges;
  if (head == "BOUNDS") return Section::Bounds;
  if (head == "NAME" || head == "OBJSENSE" || head == "OBJSENCE" || head == "OBJNAME") return Section::Other;
  // Sections past the linear part (quadratic, SOS, indicators) and the end
  // are not checked.
  return Section::Done;
}

struct Scan {
  std::unordered_set<std::string> rows, columns;
  std::set<std::pair<std::string, std::string>> seen;  // (column or set, row) of this section
  std::string column;                                  // the column being read
  std::unordered_set<std::string> column_rows;         // rows given for it so far
};

}  // namespace

std::optional<std::string> mps_fault(std::string_view text) {
  Scan s;
  Section section = Section::Other;
  size_t number = 0;
  size_t pos = 0;
  while (pos <= text.size() && section != Section::Done) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '*') continue;
    const std::vector<std::string_view> f = fields(line);
    if (f.empty()) continue;
    const auto fault = [&](const std::string& what) { return "line " + std::to_string(number) + ": " + what; };
    if (line[0] != ' ' && line[0] != '\t') {  // a section header
      section = section_of(f[0]);
      s.seen.clear();
      continue;
    }
    switch (section) {
      case Section::Rows:
        if (f.size() >= 2) s.rows.emplace(f[1]);
        break;
      case Section::Columns: {
        bool marker = false;
        for (std::string_view t : f) marker |= t == "'MARKER'";
        if (marker || f.size() % 2 == 0) break;  // integrality markers; odd lines are HiGHS's to judge
        if (f[0] != s.column) {
          s.column = std::string(f[0]);
          s.column_rows.clear();
          s.columns.insert(s.column);
        }
        for (size_t k = 1; k + 1 < f.size(); k += 2) {
          const std::string row(f[k]);
          if (!s.rows.count(row)) {
            return fault("column " + quoted(f[0]) + " has an entry in row " + quoted(row) +
                         ", which ROWS does not declare");
          }
          if (!s.column_rows.insert(row).second) {
            return fault("column " + quoted(f[0]) + " has a second entry in row " + quoted(row));
          }
        }
        break;
      }
      case Section::Rhs:
      case Section::Ranges: {
        const char* name = section == Section::Rhs ? "RHS" : "RANGES";
        // "set row value [row value]", or without the set name.
        const size_t first = f.size() % 2 == 1 ? 1 : 0;
        const std::string set = first ? std::string(f[0]) : std::string();
        for (size_t k = first; k + 1 < f.size(); k += 2) {
          const std::string row(f[k]);
          if (!s.rows.count(row)) {
            return fault(std::string(name) + " names row " + quoted(row) + ", which ROWS does not declare");
          }
          if (!s.seen.emplace(set, row).second) {
            return fault(std::string(name) + " gives row " + quoted(row) + " a second value");
          }
        }
        break;
      }
      case Section::Bounds: {
        // "type [set] column [value]": the column is the second or third field.
        const bool known = (f.size() > 1 && s.columns.count(std::string(f[1]))) ||
                           (f.size() > 2 && s.columns.count(std::string(f[2])));
        if (!known && f.size() > 1) {
          const std::string_view name = f.size() > 3 || (f.size() == 3 && (f[0] == "FR" || f[0] == "MI" ||
                                                                           f[0] == "PL" || f[0] == "BV"))
                                            ? f[2]
                                            : f[1];
          return fault("BOUNDS names column " + quoted(name) + ", which COLUMNS does not declare");
        }
        break;
      }
      default:
        break;
    }
  }
  return std::nullopt;
}

}  // namespace pelora
