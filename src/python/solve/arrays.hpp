// NumPy arrays made from C++ buffers in one block copy, for handing a model
// to a solver package in bulk, and bulk read-back of the vectors a package
// returns.
#pragma once
#include <Python.h>

#include <cstdint>
#include <span>
#include <vector>

#include "python/runtime/ref.hpp"

namespace pelora::py {

class Numpy {
 public:
  Numpy();  // imports numpy

  PyObject* module() const noexcept { return np_.get(); }
  // Read-only one-dimensional arrays holding a copy of `v`, made with one
  // memory copy into a bytes object that the array keeps alive. Owning the
  // data (rather than viewing the C++ buffer) keeps the array valid whatever
  // holds on to it after the call it was made for.
  Ref view(std::span<const double> v) const;
  Ref view(std::span<const int32_t> v) const;
  // Read-only arrays over `v` itself, with no copy: only for a call that
  // copies what it is given before returning (HiGHS's passModel does) and
  // whose arguments are dropped while `v` still lives. A large model is then
  // handed over without a second copy of its matrix.
  Ref borrow(std::span<const double> v) const;
  Ref borrow(std::span<const int32_t> v) const;

 private:
  Ref make(const void* data, size_t bytes, PyObject* dtype) const;
  Ref over(const void* data, size_t bytes, PyObject* dtype) const;
  Ref np_, frombuffer_, float64_, int32_;
};

// The floats of a list, a tuple, a buffer of doubles (a NumPy array) or any
// other iterable, in one pass; an element that does not convert raises.
std::vector<double> read_floats(PyObject* seq);

// New Python list of floats.
Ref float_list(std::span<const double> v);

}  // namespace pelora::py
