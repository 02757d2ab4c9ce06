// A check of an MPS file's text (fixed or free format) for entries that a
// reader would drop or invent without a word: COLUMNS, RHS and RANGES
// entries naming a row that ROWS does not declare, BOUNDS entries naming a
// column that COLUMNS does not declare, and the same (column, row) entry,
// RHS or range value given twice.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pelora {

// The first such fault, as "line {}: {what}", or nothing when there is none.
// Fields are separated by blanks; a file that the blanks would fault but that
// keeps to the fixed-format columns is judged by those columns, so names
// holding blanks are read whole.
std::optional<std::string> mps_fault(std::string_view text);

}  // namespace pelora
