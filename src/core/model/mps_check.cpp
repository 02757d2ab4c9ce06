#include "core/model/mps_check.hpp"

#include <set>
#include <unordered_set>
#include <utility>
#include <vector>

namespace pelora {

namespace {

// The fields of a data line read as free format: separated by blanks.
std::vector<std::string_view> free_fields(std::string_view line) {
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

// The fields of a data line read as fixed format: the name fields at
// columns 2-3, 5-12, 15-22, 40-47 and the numbers at 25-36 and 50-61, each
// without its surrounding blanks, so that names may hold blanks. Nothing when
// the line does not keep to those columns (text in a gap between fields or
// past column 61), which makes the file no fixed-format file.
std::optional<std::vector<std::string_view>> fixed_fields(std::string_view line) {
  static constexpr std::pair<size_t, size_t> kFields[] = {{1, 3}, {4, 12}, {14, 22}, {24, 36}, {39, 47}, {49, 61}};
  const auto blank = [](char c) { return c == ' '; };
  size_t at = 0;  // first column (0-based) not yet looked at
  std::vector<std::string_view> out;
  for (const auto& [begin, end] : kFields) {
    for (; at < begin && at < line.size(); ++at)
      if (!blank(line[at])) return std::nullopt;
    if (begin >= line.size()) break;
    std::string_view f = line.substr(begin, std::min(end, line.size()) - begin);
    while (!f.empty() && blank(f.front())) f.remove_prefix(1);
    while (!f.empty() && blank(f.back())) f.remove_suffix(1);
    out.push_back(f);
    at = end;
  }
  for (; at < line.size(); ++at)
    if (!blank(line[at])) return std::nullopt;
  while (!out.empty() && out.back().empty()) out.pop_back();
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

enum class Reading { Free, Fixed };

// The first fault of `text` read the given way. `fits` turns false (and the
// scan stops) when a data line cannot be read that way at all.
std::optional<std::string> scan(std::string_view text, Reading reading, bool& fits) {
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
    std::vector<std::string_view> f = free_fields(line);
    if (f.empty()) continue;
    const auto fault = [&](const std::string& what) { return "line " + std::to_string(number) + ": " + what; };
    if (line[0] != ' ' && line[0] != '\t') {  // a section header
      section = section_of(f[0]);
      s.seen.clear();
      continue;
    }
    if (reading == Reading::Fixed) {
      std::optional<std::vector<std::string_view>> g = fixed_fields(line);
      // Entries of COLUMNS, RHS and RANGES start at the second field.
      const bool entries = section == Section::Columns || section == Section::Rhs || section == Section::Ranges;
      if (!g || (entries && !g->empty() && !g->front().empty())) {
        fits = false;
        return std::nullopt;
      }
      f = std::move(*g);
      if (entries && !f.empty()) f.erase(f.begin());
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

}  // namespace

std::optional<std::string> mps_fault(std::string_view text) {
  bool fits = true;
  std::optional<std::string> fault = scan(text, Reading::Free, fits);
  if (!fault) return std::nullopt;
  // A fixed-format file may hold names with blanks, which the free reading
  // splits into fields of their own; such a file is judged by its columns.
  fits = true;
  std::optional<std::string> fixed_fault = scan(text, Reading::Fixed, fits);
  return fits ? fixed_fault : fault;
}

}  // namespace pelora
