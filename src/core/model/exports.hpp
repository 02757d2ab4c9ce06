// Text renderings of a model: LP-format text, free-format MPS text, a
// standalone Python script that rebuilds the model, and a one-line census.
// They only read the record.
#pragma once
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/model/model_data.hpp"

namespace pelora {

// A model an export cannot render faithfully (a non-finite number in LP or
// MPS text, a term whose variable the model does not hold, content a file
// format cannot carry). The Python layer raises it as ValueError.
class ExportError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The linear and quadratic parts in LP format. Names that are not legal and
// unique in LP format are replaced (originals listed in `\` comments); what
// the format cannot hold (cones, nonlinear constraints, nonlinear objective
// terms) is left out and named in a first `\` comment line.
std::string export_lp(const ModelData& m, std::string_view what = "to_lp");
// Free-format MPS with the same names as export_lp. Refuses (ExportError) a
// model holding anything beyond a linear or quadratic objective and linear
// constraints. `what` names the caller in error messages.
std::string export_mps(const ModelData& m, std::string_view what = "to_mps");
// A script that rebuilds everything the model holds and solves it.
std::string export_python(const ModelData& m);
std::string model_summary(const ModelData& m);

// Throws ExportError naming `what` (e.g. "Model.write") when the model holds
// content that LP and MPS files cannot carry.
void require_file_expressible(const ModelData& m, std::string_view what);

// A Python string literal (repr-style quoting and escapes) that evaluates to
// `s`, which must be valid UTF-8.
std::string python_string_literal(std::string_view s);
void append_python_string_literal(std::string& out, std::string_view s);

// True for an ASCII Python identifier that is not a keyword.
bool is_python_identifier(std::string_view s);

}  // namespace pelora
