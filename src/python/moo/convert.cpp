#include "python/moo/convert.hpp"

#include "python/runtime/args.hpp"
#include "python/runtime/sequence.hpp"

namespace pelora::py::moo {

namespace {

void refuse_non_sequence(PyObject* seq) {
  if (PyUnicode_Check(seq)) throw_type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(seq)) throw_cannot_convert(seq, "Sequence");
}

}  // namespace

std::vector<Ref> read_objects(PyObject* seq) {
  refuse_non_sequence(seq);
  std::vector<Ref> out;
  for_each_item(seq, [&](PyObject* item) { out.push_back(Ref::borrow(item)); });
  return out;
}

bool read_floats_or_clear(PyObject* obj, std::vector<double>& out) {
  out.clear();
  try {
    refuse_non_sequence(obj);
    for_each_item(obj, [&](PyObject* item) { out.push_back(as_double(item)); });
    return true;
  } catch (const SizeError&) {
    throw;  // a length that lies is the caller's fault, not a junk result
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
