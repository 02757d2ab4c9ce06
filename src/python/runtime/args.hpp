// The one argument matcher. Every function and method with parameters
// declares a parameter table (Params) and calls `match`; the messages for
// too many, duplicate, unknown and missing arguments come from here only.
#pragma once
#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "python/runtime/error.hpp"
#include "python/runtime/ref.hpp"

namespace pelora::py {

template <size_t N>
struct Params {
  const char* display;  // "sum()" or "Model.variable()"
  std::array<const char*, N> names;
  size_t required;      // leading parameters that must be supplied
  bool collect_extra;   // unknown keywords go into Args::extra instead of failing
};

// Type name of an object, e.g. "int".
std::string type_name(PyObject* o);

// Plain conversions. They raise TypeError (or pass other failures through)
// without any argument prefix; Args adds "argument '{}': " to TypeErrors.
double as_double(PyObject* o);
std::string as_string(PyObject* o);          // str only: "... cannot be converted to 'PyString'"
size_t as_count(PyObject* o);                // int or __index__; OverflowError when it does not fit
PyObject* as_list(PyObject* o);              // list only (borrowed): "... to 'PyList'"
// "'{}' object cannot be converted to '{}'" with the object's type name.
[[noreturn]] void throw_cannot_convert(PyObject* o, const char* target);

// Runs `f` for argument `name`; a TypeError it raises is re-raised as
// "argument '{name}': {message}", and so are the size failures (SizeError,
// std::length_error and std::bad_alloc, the last two as MemoryError). Other
// failures pass through unchanged.
template <class F>
auto convert_arg(const char* name, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const SizeError& e) {
    throw SizeError{{e.type, std::string("argument '") + name + "': " + e.message}};
  } catch (const std::length_error&) {
    throw SizeError{{PyExc_MemoryError, std::string("argument '") + name +
                                            "': too large to hold in memory"}};
  } catch (const std::bad_alloc&) {
    throw SizeError{{PyExc_MemoryError, std::string("argument '") + name +
                                            "': not enough memory to hold it"}};
  } catch (const PyError& e) {
    if (PyErr_GivenExceptionMatches(e.type, PyExc_TypeError)) {
      throw_type_error(std::string("argument '") + name + "': " + e.message);
    }
    throw;
  } catch (const ErrorAlreadySet&) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      throw_type_error(std::string("argument '") + name + "': " + take_error_message());
    }
    throw;
  }
}

template <size_t N>
struct Args {
  std::array<PyObject*, N> v{};  // borrowed; null when not supplied
  Ref extra;                      // collected keywords (null when none)
  const Params<N>* params = nullptr;

  PyObject* operator[](size_t i) const { return v[i]; }
  bool given(size_t i) const { return v[i] != nullptr; }
  // Supplied and not None (for parameters whose default is shown as None).
  bool given_not_none(size_t i) const { return v[i] != nullptr && v[i] != Py_None; }

  template <class F>
  auto convert(size_t i, F&& f) const -> decltype(f(v[i])) {
    return convert_arg(params->names[i], [&] { return f(v[i]); });
  }
  double to_double(size_t i, double fallback) const {
    return given(i) ? convert(i, as_double) : fallback;
  }
  std::string to_string(size_t i) const { return convert(i, as_string); }
  size_t to_count(size_t i) const { return convert(i, as_count); }
  PyObject* to_list(size_t i) const { return convert(i, as_list); }
  // Borrowed entry of the collected keywords, or null.
  PyObject* extra_item(const char* key) const {
    return extra ? PyDict_GetItemString(extra.get(), key) : nullptr;
  }
};

void match_arguments(const char* display, const char* const* names, size_t count, size_t required,
                     bool collect_extra, PyObject* args, PyObject* kwargs, PyObject** out,
                     Ref* extra);

template <size_t N>
Args<N> match(const Params<N>& p, PyObject* args, PyObject* kwargs) {
  Args<N> a;
  a.params = &p;
  match_arguments(p.display, p.names.data(), N, p.required, p.collect_extra, args, kwargs,
                  a.v.data(), &a.extra);
  return a;
}

}  // namespace pelora::py
