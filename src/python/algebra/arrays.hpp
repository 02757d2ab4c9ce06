// Reading numbers and matrices from Python arrays in bulk: anything with the
// buffer protocol (numpy arrays, memoryviews, array.array) is copied straight
// from its memory when it already holds float64 (or int32/int64 indices)
// contiguously; other array-likes are converted once by numpy; lists and
// tuples of numbers are read item by item in C++. No Python call per entry,
// and every entry is read exactly once, into memory of our own.
#pragma once
#include <Python.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/expr/linear_terms.hpp"
#include "core/uninit_vector.hpp"
#include "python/runtime/ref.hpp"

namespace pelora::py {

// A buffer export released when its holder goes, also when the constructor
// of the object holding it throws.
struct BufferView {
  Py_buffer view{};
  bool held = false;
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held) PyBuffer_Release(&view);
  }
};

// The float64 entries of an array-like, copied out of it in one pass that
// also checks them. Nothing here keeps reading the caller's memory: Python
// code that runs later in the same call (a `__float__`, a `__getitem__`,
// another thread) may rewrite the array without changing what was read.
class DoubleArray {
 public:
  // `what` names the argument in messages. Complex, datetime, timedelta,
  // bool and object arrays raise TypeError "{what} must hold real numbers,
  // not {dtype} values"; other non-numeric content TypeError
  // "{what} must hold numbers"; NaN or infinite entries raise ValueError
  // "{what} contains a NaN or infinite entry" unless `allow_inf` (then only
  // NaN is refused, for bounds).
  DoubleArray(PyObject* o, const std::string& what, bool allow_inf = false);
  DoubleArray(const DoubleArray&) = delete;
  DoubleArray& operator=(const DoubleArray&) = delete;

  std::span<const double> values() const { return values_; }
  const std::vector<Py_ssize_t>& shape() const { return shape_; }
  std::vector<double> take() { return std::move(values_); }

 private:
  std::vector<double> values_;
  std::vector<Py_ssize_t> shape_;
};

// Integer entries of an array-like, copied out of it in one pass. Anything
// that does not hold integers (floats, bools, complex, ...) raises
// TypeError "{what} must hold integers".
class IndexArray {
 public:
  IndexArray(PyObject* o, const std::string& what);
  IndexArray(const IndexArray&) = delete;
  IndexArray& operator=(const IndexArray&) = delete;

  size_t size() const { return values_.size(); }
  int64_t operator[](size_t k) const { return values_[k]; }
  std::vector<int64_t> take() { return std::move(values_); }

 private:
  std::vector<int64_t> values_;
};

// A sparse or dense matrix in compressed-row form, owned: every column
// index lies in [0, cols) and every value is finite.
struct CsrMatrix {
  size_t rows = 0, cols = 0;
  std::vector<int64_t> indptr;  // rows + 1 entries
  std::vector<int64_t> indices;
  std::vector<double> data;

  size_t nnz() const { return data.size(); }
  int64_t index(size_t k) const { return indices[k]; }
  double value(size_t k) const { return data[k]; }
};

// Refuses, with TypeError "{what} must hold real numbers, not {dtype}
// values", a numpy array or scalar (anything with a dtype) whose entries are
// complex, datetime, timedelta, bool or objects; text, bytes and records
// raise TypeError "{what} must hold numbers".
void refuse_non_real(PyObject* o, const std::string& what);

// Reads a numpy 2-D array, a nested sequence, or any scipy.sparse matrix or
// array (CSR, CSC and COO taken whole; other formats converted once with
// tocsr()). Zero entries of a dense matrix are dropped. `what` names the
// argument in messages.
CsrMatrix read_matrix(PyObject* o, const std::string& what);

// The model indices of a sequence of Var objects (list, tuple, numpy object
// array); TypeError for anything else. `owner`, when given, receives the
// model they all belong to (ValueError when they belong to two).
std::vector<VarIndex> read_variables(PyObject* o, const std::string& what, ModelId* owner = nullptr);

// The indices read_variables gives, with what its callers check next: one
// past the largest index, and whether the indices strictly increase (the
// order Model.variables hands them out), which makes them distinct without
// a table.
struct VarIndices {
  // Written once by the reader (no zero fill first).
  UninitVector<VarIndex> index;
  VarIndex top = 0;
  bool increasing = true;

  // True when no index repeats.
  bool distinct() const;
};
VarIndices read_var_indices(PyObject* o, const std::string& what, ModelId* owner = nullptr);

// Appends the terms of `merged` (distinct indices) whose magnitude reaches
// kCancelTolerance, in order, into storage reserved at their exact number.
void append_kept(LinearTerms& terms, std::span<const Term> merged);

// True when no index repeats in `vars` (every index below `top`).
bool all_distinct(std::span<const VarIndex> vars, VarIndex top);

// True when `o` looks like a per-entry sequence rather than one number
// (a str or bytes is neither).
bool is_array_like(PyObject* o);

}  // namespace pelora::py
