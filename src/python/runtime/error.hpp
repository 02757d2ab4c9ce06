// Failures inside the Python layer are C++ exceptions; each entry point turns
// them into a Python exception exactly once, in `boundary`.
#pragma once
#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <string>

#include "core/expr/owner.hpp"
#include "python/runtime/ref.hpp"

namespace pelora::py {

// A Python exception is already set (an API call failed); just unwind.
struct ErrorAlreadySet {};

// A Python exception to raise: type and message.
struct PyError {
  PyObject* type;  // borrowed: a built-in exception type or a module-lifetime type
  std::string message;
};

// A size or length on user input that cannot be honoured (a sequence that
// ends before its reported length, a size beyond the limits, an allocation
// that fails): ValueError, OverflowError or MemoryError. The argument matcher
// (convert_arg) prefixes the message with the argument's name.
struct SizeError : PyError {};

// "variable '<name>' belongs to another model", naming the variable through
// the live model it belongs to (python/model/model.cpp).
std::string foreign_variable_message(const ForeignVariable& e);

// A broken internal invariant. Raised in Python as the module's
// InternalFailure type, which derives from BaseException.
struct InternalFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void throw_error(PyObject* type, std::string message);
[[noreturn]] inline void throw_type_error(std::string m) { throw_error(PyExc_TypeError, std::move(m)); }
[[noreturn]] inline void throw_value_error(std::string m) { throw_error(PyExc_ValueError, std::move(m)); }
[[noreturn]] inline void throw_runtime_error(std::string m) { throw_error(PyExc_RuntimeError, std::move(m)); }
// An API call returned failure: unwind with its exception, or with SystemError
// when the call failed without setting one.
[[noreturn]] void throw_already_set();

// Checks the result of an API call that returns a new reference.
inline Ref check(PyObject* o) {
  if (!o) throw_already_set();
  return Ref::steal(o);
}
inline void check_status(int rc) {
  if (rc < 0) throw_already_set();
}

// The module's internal-failure exception type (created on first need).
PyObject* internal_failure_type();

// An exception (or warning) class `name` derived from `base`, created once
// into `cell` (a re-entrant caller's type, filled meanwhile, is kept);
// null with the Python error set on failure.
PyObject* exception_type_once(PyObject*& cell, const char* name, const char* doc, PyObject* base);

// Sets the Python error for the exception currently being handled.
void set_python_error_from_current() noexcept;

// Runs `f` and converts any failure into a set Python error. `f` returns a
// new reference (PyObject*) or an int status.
//
// boundary itself is always inlined, and the operator slots mark their body
// lambda PELORA_INLINE_BODY: the body is then always inlined into the slot,
// which stays one function with one frame
// (the compiler's own choice flips with the body's size, and an outlined body
// costs a call, a second prologue and register spills on every operator).
#define PELORA_INLINE_BODY __attribute__((always_inline))
template <class F>
PELORA_INLINE_BODY inline auto boundary(F&& f) noexcept -> decltype(f()) {
  try {
    return f();
  } catch (...) {
    set_python_error_from_current();
    if constexpr (std::is_pointer_v<decltype(f())>) {
      return nullptr;
    } else {
      return -1;
    }
  }
}

// Fetches the pending Python error's message text (str of the value) and
// clears it; used to re-raise conversion errors with an argument prefix.
std::string take_error_message();

// Runs f(); an ordinary Python failure (an Exception, not an interrupt or an
// exit) is cleared and reported as false, anything else goes on up. For
// optional extras (duals, a warm start, a shortcut) that may simply be absent.
template <class F>
bool ran_or_cleared(F&& f) {
  try {
    f();
    return true;
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
  } catch (const PyError&) {
  }
  return false;
}

}  // namespace pelora::py
