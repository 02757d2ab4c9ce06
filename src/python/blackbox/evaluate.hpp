// The Python side of the black-box optimisers: calling a user objective,
// reading `bounds` and the keyword options, and making BlackBoxResult.
#pragma once
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "core/blackbox/bounds.hpp"
#include "core/blackbox/run.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/ref.hpp"

namespace pelora::py::blackbox {

namespace bb = pelora::blackbox;

// A new Python list holding a new float for each coordinate.
Ref float_list(std::span<const double> x);

// One call `func(list_of_x)`. A failure of a kind derived from Exception
// (raising, or a result that float() refuses, such as None or a str) scores
// +inf and clears the error; anything else (KeyboardInterrupt, SystemExit)
// ends the run: the error stays set and ErrorAlreadySet is thrown. Pending
// signals are checked before the call. A returned NaN passes through.
double evaluate(PyObject* func, std::span<const double> x);

// As `evaluate`, for `func(list_of_x, extra)` with two positional arguments.
double evaluate2(PyObject* func, std::span<const double> x, PyObject* extra);

// The objective of a Python callable as the core's C++ callable.
struct PyObjective {
  PyObject* func;  // borrowed
  double operator()(std::span<const double> x) const { return evaluate(func, x); }
};

// `bounds`: a sequence (not a str) of 2-tuples of float-convertible numbers.
// Raises the conversion TypeError without an argument prefix; callers pass
// it through Args::convert so the message names `bounds`.
bb::Bounds read_bounds(PyObject* seq);

// Keyword options, looked up by exact name in the collected dictionary
// (which may be null). Absent keys give nullopt; a present key (None
// included) is converted and a conversion failure raises unchanged:
// integers through __index__ (TypeError for a float, OverflowError for a
// negative or too large value), reals through float(), strings str only.
std::optional<uint64_t> kw_u64(PyObject* kwargs, const char* key);
std::optional<size_t> kw_size(PyObject* kwargs, const char* key);
std::optional<double> kw_double(PyObject* kwargs, const char* key);
std::optional<std::string> kw_string(PyObject* kwargs, const char* key);
// A bool setting: True or False only (TypeError naming the key otherwise).
std::optional<bool> kw_bool(PyObject* kwargs, const char* key);

// The position of `given` among `names` (a keyword's documented choices,
// lower case with '_'), matched whatever its case and with '-' or ' ' for
// '_'. Anything else raises ValueError "unknown {what} \"{given}\"; the
// {what}s are \"a\", \"b\", ...".
size_t choice_of(const std::string& given, std::initializer_list<const char*> names,
                 const char* what);

// Runs a core call, turning the core's std::invalid_argument (input the run
// cannot work with) into a Python ValueError with the same text.
template <class F>
auto run_core(F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const std::invalid_argument& e) {
    throw_value_error(e.what());
  }
}

// A new BlackBoxResult holding `r`.
PyObject* new_blackbox_result(bb::RunResult r);

}  // namespace pelora::py::blackbox
