// Reading numbers and matrices from Python arrays in bulk: anything with the
// buffer protocol (numpy arrays, memoryviews, array.array) is read in place
// when it already holds float64 (or int32/int64 indices) contiguously; other
// array-likes are converted once by numpy; lists and tuples of numbers are
// read item by item in C++. No Python call per entry.
#pragma once
#include <Python.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/expr/linear_terms.hpp"
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

// A contiguous float64 view of an array-like, valid while this object lives.
class DoubleArray {
 public:
  // `what` names the argument in messages. Non-numeric content raises
  // TypeError "{what} must hold numbers"; NaN or infinite entries raise
  // ValueError "{what} contains a NaN or infinite entry" unless `allow_inf`
  // (then only NaN is refused, for bounds).
  DoubleArray(PyObject* o, const std::string& what, bool allow_inf = false);
  DoubleArray(const DoubleArray&) = delete;
  DoubleArray& operator=(const DoubleArray&) = delete;

  std::span<const double> values() const { return {data_, size_}; }
  const std::vector<Py_ssize_t>& shape() const { return shape_; }

 private:
  Ref holder_;  // declared before the view, so the view is released first
  BufferView view_;
  std::vector<double> own_;
  const double* data_ = nullptr;
  size_t size_ = 0;
  std::vector<Py_ssize_t> shape_;
};

// Integer entries (int32 or int64) of an array-like, read in place when it
// holds one of those contiguously, converted once by numpy otherwise.
class IndexArray {
 public:
  IndexArray(PyObject* o, const std::string& what);
  ~IndexArray();
  IndexArray(const IndexArray&) = delete;
  IndexArray& operator=(const IndexArray&) = delete;

  size_t size() const { return size_; }
  int64_t operator[](size_t k) const { return p32_ ? p32_[k] : p64_[k]; }

 private:
  void init(void* buf, Py_ssize_t itemsize, size_t n);
  Py_buffer view_{};
  Ref holder_;
  const int32_t* p32_ = nullptr;
  const int64_t* p64_ = nullptr;
  size_t size_ = 0;
};

// A sparse or dense matrix in compressed-row form. The column indices and
// values are either owned or, for a CSR input, views of its arrays.
struct CsrMatrix {
  size_t rows = 0, cols = 0;
  std::vector<int64_t> indptr;  // rows + 1 entries
  std::vector<int64_t> indices;
  std::vector<double> data;
  std::shared_ptr<IndexArray> index_view;
  std::shared_ptr<DoubleArray> data_view;

  size_t nnz() const { return data_view ? data_view->values().size() : data.size(); }
  int64_t index(size_t k) const { return index_view ? (*index_view)[k] : indices[k]; }
  double value(size_t k) const { return data_view ? data_view->values()[k] : data[k]; }
};

// Reads a numpy 2-D array, a nested sequence, or any scipy.sparse matrix or
// array (CSR, CSC and COO taken whole; other formats converted once with
// tocsr()). Zero entries of a dense matrix are dropped. `what` names the
// argument in messages.
CsrMatrix read_matrix(PyObject* o, const std::string& what);

// The model indices of a sequence of Var objects (list, tuple, numpy object
// array); TypeError for anything else. `owner`, when given, receives the
// model they all belong to (ValueError when they belong to two).
std::vector<VarIndex> read_variables(PyObject* o, const std::string& what, ModelId* owner = nullptr);

// Appends the terms of `merged` (distinct indices) whose magnitude reaches
// kCancelTolerance, in order, into storage reserved at their exact number.
void append_kept(LinearTerms& terms, std::span<const Term> merged);

// True when no index repeats in `vars` (every index below `top`).
bool all_distinct(std::span<const VarIndex> vars, VarIndex top);

// True when `o` looks like a per-entry sequence rather than one number
// (a str or bytes is neither).
bool is_array_like(PyObject* o);

}  // namespace pelora::py
