#include "python/runtime/error.hpp"

namespace pelora::py {

void throw_error(PyObject* type, std::string message) { throw PyError{type, std::move(message)}; }

void throw_already_set() {
  if (!PyErr_Occurred()) {
    throw PyError{PyExc_SystemError, "attempted to fetch exception but none was set"};
  }
  throw ErrorAlreadySet{};
}

PyObject* exception_type_once(PyObject*& cell, const char* name, const char* doc, PyObject* base) {
  if (!cell) {
    PyObject* t = PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
    if (!t) return nullptr;
    if (cell) {  // filled meanwhile by a re-entrant caller: keep the first
      Py_DECREF(t);
    } else {
      cell = t;
    }
  }
  return cell;
}

PyObject* internal_failure_type() {
  static PyObject* type = nullptr;
  return exception_type_once(
      type, "pelora_opt.InternalFailure",
      "Signals an internal failure of pelora_opt: a broken invariant, such as a model "
      "whose lock was poisoned by an earlier failure. The object involved stays unusable.",
      PyExc_BaseException);
}

void set_python_error_from_current() noexcept {
  try {
    throw;
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
  } catch (const PyError& e) {
    // The whole message, embedded NULs included (a keyword name may carry one).
    PyObject* text = PyUnicode_DecodeUTF8(e.message.data(),
                                          static_cast<Py_ssize_t>(e.message.size()), "replace");
    if (text) {
      PyErr_SetObject(e.type, text);
      Py_DECREF(text);
    }
  } catch (const InternalFailure& e) {
    PyObject* t = internal_failure_type();
    if (t) PyErr_SetString(t, e.what());
  } catch (const ForeignVariable& e) {
    try {
      const std::string m = foreign_variable_message(e);
      PyErr_SetString(PyExc_ValueError, m.c_str());
    } catch (...) {
      PyErr_SetString(PyExc_ValueError, e.what());
    }
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError, "not enough memory to complete the call");
  } catch (const std::length_error& e) {
    // A container asked to grow beyond its limits: a size taken from the
    // caller's input, not a broken invariant.
    PyErr_Format(PyExc_MemoryError, "size beyond the limits (%s)", e.what());
  } catch (const std::exception& e) {
    PyObject* t = internal_failure_type();
    if (t) PyErr_SetString(t, e.what());
  } catch (...) {
    PyObject* t = internal_failure_type();
    if (t) PyErr_SetString(t, "unknown internal failure");
  }
}

std::string take_error_message() {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
  if (!v) return {};
  Ref s = Ref::steal(PyObject_Str(v.get()));
  if (!s) {
    PyErr_Clear();
    return {};
  }
  Py_ssize_t n = 0;
  const char* c = PyUnicode_AsUTF8AndSize(s.get(), &n);
  if (!c) {
    PyErr_Clear();
    return {};
  }
  return std::string(c, static_cast<size_t>(n));
}

}  // namespace pelora::py
