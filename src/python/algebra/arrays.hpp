// Reading numbers and matrices from Python arrays in bulk: anything with the
// buffer protocol (numpy arrays, memoryviews, array.array) is read in place
// when it already holds float64 (or int32/int64 indices) contiguously; other
// array-likes are converted once by numpy; lists and tuples of numbers are
// read item by item in C++. No Python call per entry.
#pragma once
#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/expr/linear_terms.hpp"
#include "python/runtime/ref.hpp"

namespace pelora::py {

// A contiguous float64 view of an array-like, valid while this object lives.
class DoubleArray {
 public:
  // `what` names the argument in messages. Non-numeric content raises
  // TypeError "{what} must hold numbers"; NaN or infinite entries raise
  // ValueError "{what} contains a NaN or infinite entry" unless `allow_inf`
  // (then only NaN is refused, for bounds).
  DoubleArray(PyObject* o, const std::string& what, bool allow_inf = false);
  ~DoubleArray();
  DoubleArray(const DoubleArray&) = delete;
  DoubleArray& operator=(const DoubleArray&) = delete;

  std::span<const double> values() const { return {data_, size_}; }
  const std::vector<Py_ssize_t>& shape() const { return shape_; }

 private:
  Py_buffer view_{};
  bool has_view_ = false;
  Ref holder_;
  std::vector<double> own_;
  const double* data_ = nullptr;
  size_t size_ = 0;
  std::vector<Py_ssize_t> shape_;
};

// A sparse or dense matrix in compressed-row form.
struct CsrMatrix {
  size_t rows = 0, cols = 0;
  std::vector<int64_t> indptr;  // rows + 1 entries
  std::vector<int64_t> indices;
  std::vector<double> data;
};

// Reads a numpy 2-D array, a nested sequence, or any scipy.sparse matrix or
// array (CSR, CSC and COO taken whole; other formats converted once with
// tocsr()). Zero entries of a dense matrix are dropped. `what` names the
// argument in messages.
CsrMatrix read_matrix(PyObject* o, const std::string& what);

// The model indices of a sequence of Var objects (list, tuple, numpy object
// array); TypeError for anything else.
std::vector<VarIndex> read_variables(PyObject* o, const std::string& what);

// True when `o` looks like a per-entry sequence rather than one number
// (a str or bytes is neither).
bool is_array_like(PyObject* o);

}  // namespace pelora::py
