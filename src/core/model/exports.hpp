// Text renderings of a model: LP-format text, a standalone Python script that
// rebuilds the model, and a one-line census. They only read the record.
#pragma once
#include <string>
#include <string_view>

#include "core/model/model_data.hpp"

namespace pelora {

std::string export_lp(const ModelData& m);
std::string export_python(const ModelData& m);
std::string model_summary(const ModelData& m);

// A Python string literal (repr-style quoting and escapes) that evaluates to
// `s`, which must be valid UTF-8.
std::string python_string_literal(std::string_view s);

// True for an ASCII Python identifier that is not a keyword.
bool is_python_identifier(std::string_view s);

}  // namespace pelora
