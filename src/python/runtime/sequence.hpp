// Reading Python sequences item by item. A sequence's __len__ is only its
// own claim: nothing is allocated from it beyond a small reservation, so an
// object that reports 2**62 items costs no more than the items it really has.
#pragma once
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <string>

#include "python/runtime/error.hpp"
#include "python/runtime/ref.hpp"

namespace pelora::py {

// ValueError for a sequence whose items end before its reported length.
[[noreturn]] inline void throw_length_mismatch(Py_ssize_t reported, Py_ssize_t index,
                                               const std::string& why) {
  throw SizeError{{PyExc_ValueError,
                        "the sequence reports " + std::to_string(reported) +
                            " items but item " + std::to_string(index) + " is missing (" +
                            why + ")"}};
}

// At most this many elements are reserved up front from a reported length;
// longer sequences grow as their items arrive.
constexpr size_t kReserveCap = 4096;
inline size_t reserve_hint(Py_ssize_t reported) {
  return reported <= 0 ? 0 : std::min(static_cast<size_t>(reported), kReserveCap);
}

// Calls f(item) (a borrowed object, held for the call) for every item of a
// sequence, by index up to its length. A list's length is read afresh at
// every step, since f may run Python code that changes it. An IndexError
// before the reported length raises a ValueError (SizeError); any other failure of an
// item passes through.
template <class F>
void for_each_item(PyObject* seq, F&& f) {
  if (PyList_Check(seq)) {
    for (Py_ssize_t i = 0; i < PyList_Size(seq); ++i) {
      Ref item = Ref::borrow(PyList_GetItem(seq, i));
      f(item.get());
    }
    return;
  }
  const Py_ssize_t n = PySequence_Size(seq);
  if (n < 0) throw_already_set();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* raw = PySequence_GetItem(seq, i);
    if (!raw) {
      if (PyErr_ExceptionMatches(PyExc_IndexError)) {
        const std::string text = take_error_message();
        throw_length_mismatch(n, i, text.empty() ? "IndexError" : "IndexError: " + text);
      }
      throw_already_set();
    }
    Ref item = Ref::steal(raw);
    f(item.get());
  }
}

// A new list of the items of a sequence, read as for_each_item does (a
// list or tuple is copied whole). Unlike list(seq), nothing is reserved
// from a length the object reports.
inline Ref sequence_list(PyObject* seq) {
  if (PyList_Check(seq) || PyTuple_Check(seq)) return check(PySequence_List(seq));
  Ref list = check(PyList_New(0));
  for_each_item(seq, [&](PyObject* item) { check_status(PyList_Append(list.get(), item)); });
  return list;
}

}  // namespace pelora::py
