#include "python/runtime/args.hpp"

#include <string_view>
#include <vector>

namespace pelora::py {

std::string type_name(PyObject* o) {
  Ref n = Ref::steal(PyType_GetName(Py_TYPE(o)));
  if (!n) {
    PyErr_Clear();
    return "?";
  }
  Py_ssize_t len = 0;
  const char* c = PyUnicode_AsUTF8AndSize(n.get(), &len);
  if (!c) {
    PyErr_Clear();
    return "?";
  }
  return std::string(c, static_cast<size_t>(len));
}

void throw_cannot_convert(PyObject* o, const char* target) {
  throw_type_error("'" + type_name(o) + "' object cannot be converted to '" + target + "'");
}

double as_double(PyObject* o) {
  // numpy's complex scalars convert with a warning, dropping the imaginary
  // part; they are refused as Python's own complex is.
  if (PyComplex_Check(o)) throw_type_error("must be real number, not " + type_name(o));
  double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) throw_already_set();
  return d;
}

std::string as_string(PyObject* o) {
  if (!PyUnicode_Check(o)) throw_cannot_convert(o, "PyString");
  Py_ssize_t n = 0;
  const char* c = PyUnicode_AsUTF8AndSize(o, &n);
  if (!c) throw_already_set();
  return std::string(c, static_cast<size_t>(n));
}

size_t as_count(PyObject* o) {
  // Integers and integer-like objects (numpy integers: the index protocol);
  // a float or None fails with "'float' object cannot be interpreted as an integer".
  Ref index = check(PyNumber_Index(o));
  size_t n = PyLong_AsSize_t(index.get());
  if (n == static_cast<size_t>(-1) && PyErr_Occurred()) throw_already_set();
  return n;
}

PyObject* as_list(PyObject* o) {
  if (!PyList_Check(o)) throw_cannot_convert(o, "PyList");
  return o;
}

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
  std::string s;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) s += (i + 1 == names.size()) ? " and " : ", ";
    s += "'";
    s += names[i];
    s += "'";
  }
  return s;
}

}  // namespace

void match_arguments(const char* display, const char* const* names, size_t count, size_t required,
                     bool collect_extra, PyObject* args, PyObject* kwargs, PyObject** out,
                     Ref* extra) {
  const size_t given = args ? static_cast<size_t>(PyTuple_Size(args)) : 0;
  if (given > count) {
    const char* verb = given == 1 ? "was" : "were";
    if (required == count) {
      throw_type_error(std::string(display) + " takes " + std::to_string(count) +
                       " positional arguments but " + std::to_string(given) + " " + verb +
                       " given");
    }
    throw_type_error(std::string(display) + " takes from " + std::to_string(required) + " to " +
                     std::to_string(count) + " positional arguments but " +
                     std::to_string(given) + " " + verb + " given");
  }
  for (size_t i = 0; i < count; ++i) out[i] = nullptr;
  for (size_t i = 0; i < given; ++i) out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));

  if (kwargs && PyDict_Size(kwargs) > 0) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_ssize_t klen = 0;
      const char* k = PyUnicode_AsUTF8AndSize(key, &klen);
      if (!k) throw_already_set();
      // Compared with its length: a keyword with an embedded NUL names no parameter.
      const std::string_view key_text(k, static_cast<size_t>(klen));
      size_t i = 0;
      while (i < count && key_text != names[i]) ++i;
      if (i < count) {
        if (out[i]) {
          throw_type_error(std::string(display) + " got multiple values for argument '" +
                           std::string(key_text) + "'");
        }
        out[i] = value;
      } else if (collect_extra) {
        if (!*extra) *extra = check(PyDict_New());
        check_status(PyDict_SetItem(extra->get(), key, value));
      } else {
        throw_type_error(std::string(display) + " got an unexpected keyword argument '" +
                         std::string(key_text) + "'");
      }
    }
  }

  std::vector<const char*> missing;
  for (size_t i = 0; i < required; ++i) {
    if (!out[i]) missing.push_back(names[i]);
  }
  if (!missing.empty()) {
    throw_type_error(std::string(display) + " missing " + std::to_string(missing.size()) +
                     " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                     ": " + quoted_list(missing));
  }
}

}  // namespace pelora::py
