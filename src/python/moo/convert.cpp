#include "python/moo/convert.hpp"

#include "python/runtime/args.hpp"

namespace pelora::py::moo {

namespace {

void refuse_non_sequence(PyObject* seq) {
  if (PyUnicode_Check(seq)) throw_type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(seq)) throw_cannot_convert(seq, "Sequence");
}

}  // namespace

std::vector<Ref> read_objects(PyObject* seq) {
  refuse_non_sequence(seq);
  const Py_ssize_t n = PySequence_Size(seq);
  if (n < 0) throw_already_set();
  std::vector<Ref> out;
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) out.push_back(check(PySequence_GetItem(seq, i)));
  return out;
}

bool read_floats_or_clear(PyObject* obj, std::vector<double>& out) {
  out.clear();
  try {
    refuse_non_sequence(obj);
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) throw_already_set();
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      Ref item = check(PySequence_GetItem(obj, i));
      out.push_back(as_double(item.get()));
    }
    return true;
  } catch (const PyError& e) {
    if (!PyErr_GivenExceptionMatches(e.type, PyExc_Exception)) throw;
    return false;
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
    return false;
  }
}

}  // namespace pelora::py::moo
