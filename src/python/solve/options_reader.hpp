// Reading Model.solve's keyword options into Options, with the conversion
// rule of each keyword (strict booleans, unsigned and signed integers,
// texts, floats, a warm start taken from a Result or a float sequence).
#pragma once
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "python/solve/adapter.hpp"

namespace pelora::py {

// Reads every option from `kwargs` (a dict, or null for none) in the fixed
// order; the first conversion error is raised. Unknown keys are ignored
// after one warning line each on standard error.
Options read_solve_options(PyObject* kwargs);

// The single conversions, shared with the other entry points that read a few
// of the same keywords (PersistentHighs.from_model, minimize/maximize). Each
// raises the conversion's own TypeError or OverflowError.
double option_float(PyObject* o);
bool option_bool(PyObject* o);  // a Python bool only
uint32_t option_u32(PyObject* o);
int32_t option_i32(PyObject* o);
std::string option_text(PyObject* o);

// Borrowed value of `key` in `kwargs`, or null when absent.
PyObject* option_item(PyObject* kwargs, const char* key);

}  // namespace pelora::py
