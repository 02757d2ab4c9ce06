// Bulk readers for arrays, and the module functions built on them: dot and
// quad_form.
#include "python/runtime/types.hpp"
#include "python/algebra/arrays.hpp"

#include <cmath>
#include <algorithm>
#include <cstring>
#include <memory>

#include "core/expr/algebra.hpp"
#include "core/scan.hpp"
#include "python/algebra/objects.hpp"
#include "python/algebra/operands.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/call.hpp"
#include "python/runtime/sequence.hpp"

namespace pelora::py {

namespace {

// The element code of a buffer format ("d", "<d", "=d", "@d" -> 'd'), or 0
// when the format names anything but one native-order scalar.
char format_code(const char* format) {
  if (!format) return 'B';
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  if (format[0] == 0 || format[1] != 0) return 0;
  return format[0];
}

// Runs numpy.ascontiguousarray(o, dtype=dtype); a conversion failure becomes
// TypeError "{what} must hold numbers".
Ref numpy_contiguous(PyObject* o, const char* dtype, const std::string& what) {
  Ref np = import_module("numpy");
  Ref fn = get_attr(np.get(), "ascontiguousarray");
  // A plain sequence is read item by item first: NumPy would reserve room
  // for as many items as its __len__ claims.
  Ref items;
  if (!PyList_Check(o) && !PyTuple_Check(o) && !PyObject_CheckBuffer(o) &&
      !PyObject_HasAttrString(o, "__array__") && !PyObject_HasAttrString(o, "__array_interface__") &&
      PySequence_Check(o) && !PyUnicode_Check(o) && !PyBytes_Check(o)) {
    items = sequence_list(o);
    o = items.get();
  }
  Ref args = check(PyTuple_Pack(1, o));
  Ref kw = check(PyDict_New());
  Ref dt = get_attr(np.get(), dtype);
  check_status(PyDict_SetItemString(kw.get(), "dtype", dt.get()));
  PyObject* r = PyObject_Call(fn.get(), args.get(), kw.get());
  if (!r) {
    if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      throw_type_error(what + " must hold numbers");
    }
    throw_already_set();
  }
  return Ref::steal(r);
}

// A contiguous buffer view of `o` (C order), or false with no error pending.
bool contiguous_view(PyObject* o, Py_buffer& view) {
  if (!PyObject_CheckBuffer(o)) return false;
  if (PyObject_GetBuffer(o, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) return true;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_already_set();
  PyErr_Clear();
  return false;
}

std::vector<Py_ssize_t> view_shape(const Py_buffer& v) {
  if (v.ndim == 0) return {};
  if (!v.shape) return {static_cast<Py_ssize_t>(v.len / (v.itemsize ? v.itemsize : 1))};
  return std::vector<Py_ssize_t>(v.shape, v.shape + v.ndim);
}

std::pair<size_t, size_t> read_shape(PyObject* o, const std::string& what) {
  Ref shape = get_attr(o, "shape");
  Ref fast = check(PySequence_List(shape.get()));
  if (PyList_Size(fast.get()) != 2) throw_value_error(what + " must be 2-dimensional");
  size_t dims[2];
  for (int k = 0; k < 2; ++k) {
    const long long d = PyLong_AsLongLong(PyList_GetItem(fast.get(), k));
    if (d == -1 && PyErr_Occurred()) throw_already_set();
    if (d < 0) throw_value_error(what + " has a negative dimension");
    dims[k] = static_cast<size_t>(d);
  }
  return {dims[0], dims[1]};
}

std::string text_of(PyObject* o) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (!s) throw_already_set();
  return std::string(s, static_cast<size_t>(n));
}

// Compressed-row form from (row, col, value) triples, by counting sort;
// `row_of(k)`, `col_of(k)` and `value_of(k)` read the k-th triple.
template <class R, class C, class V>
CsrMatrix from_triples(size_t rows, size_t cols, size_t nnz, R row_of, C col_of, V value_of,
                       const std::string& what) {
  CsrMatrix m;
  m.rows = rows;
  m.cols = cols;
  m.indptr.assign(rows + 1, 0);
  for (size_t k = 0; k < nnz; ++k) {
    const int64_t r = row_of(k), c = col_of(k);
    if (r < 0 || static_cast<size_t>(r) >= rows || c < 0 || static_cast<size_t>(c) >= cols) {
      throw_value_error(what + " has an index out of range");
    }
    ++m.indptr[static_cast<size_t>(r) + 1];
  }
  for (size_t r = 0; r < rows; ++r) m.indptr[r + 1] += m.indptr[r];
  m.indices.resize(nnz);
  m.data.resize(nnz);
  std::vector<int64_t> next(m.indptr.begin(), m.indptr.end() - 1);
  for (size_t k = 0; k < nnz; ++k) {
    const size_t pos = static_cast<size_t>(next[static_cast<size_t>(row_of(k))]++);
    m.indices[pos] = col_of(k);
    m.data[pos] = value_of(k);
  }
  return m;
}

// The compressed arrays (CSR when `by_row`, CSC otherwise) of a scipy.sparse
// matrix, copied and checked (the copies, never the originals, are checked
// and used); CSC is turned into CSR.
CsrMatrix compressed(PyObject* o, size_t rows, size_t cols, bool by_row, const std::string& what) {
  Ref indptr_obj = get_attr(o, "indptr"), indices_obj = get_attr(o, "indices"), data_obj = get_attr(o, "data");
  IndexArray indptr_in(indptr_obj.get(), what + " indptr");
  IndexArray indices_in(indices_obj.get(), what + " indices");
  DoubleArray data_in(data_obj.get(), what);
  std::vector<int64_t> indptr = indptr_in.take(), indices = indices_in.take();
  std::vector<double> data = data_in.take();
  const size_t outer = by_row ? rows : cols;
  const size_t nnz = data.size();
  if (indptr.size() != outer + 1 || indices.size() != nnz || indptr[0] != 0 ||
      indptr[outer] != static_cast<int64_t>(nnz)) {
    throw_value_error(what + " has inconsistent sparse index arrays");
  }
  const size_t inner = by_row ? cols : rows;
  for (size_t j = 0; j < outer; ++j) {
    if (indptr[j + 1] < indptr[j]) throw_value_error(what + " has inconsistent sparse index arrays");
  }
  // A negative index turns into a huge unsigned one: one compare per entry,
  // folded without branches.
  bool out_of_range = false;
  for (int64_t i : indices) out_of_range |= static_cast<uint64_t>(i) >= inner;
  if (out_of_range) throw_value_error(what + " has an index out of range");
  if (by_row) {
    CsrMatrix m;
    m.rows = rows;
    m.cols = cols;
    m.indptr = std::move(indptr);
    m.indices = std::move(indices);
    m.data = std::move(data);
    return m;
  }
  std::vector<int64_t> outer_of(nnz);
  for (size_t j = 0; j < outer; ++j) {
    for (int64_t k = indptr[j]; k < indptr[j + 1]; ++k) outer_of[static_cast<size_t>(k)] = static_cast<int64_t>(j);
  }
  return from_triples(
      rows, cols, nnz, [&](size_t k) { return indices[k]; }, [&](size_t k) { return outer_of[k]; },
      [&](size_t k) { return data[k]; }, what);
}

// True for a buffer format whose items are not real numbers: bool ('?'),
// complex ('Z' prefix), object ('O'), characters and strings.
bool non_real_format(const char* format) {
  if (!format) return false;
  while (*format == '@' || *format == '=' || *format == '<' || *format == '>' || *format == '!') ++format;
  return *format == '?' || *format == 'Z' || *format == 'O' || *format == 'c' || *format == 's' ||
         *format == 'p';
}

// Copies the entries of a contiguous buffer holding items of type T, each
// written once (no zero fill of storage the copy overwrites).
template <class T, class U>
void copy_items(const Py_buffer& v, std::vector<U>& out) {
  const size_t n = static_cast<size_t>(v.len) / sizeof(T);
  const T* p = static_cast<const T*>(v.buf);
  out.assign(p, p + n);
}

}  // namespace

void refuse_non_real(PyObject* o, const std::string& what) {
  if (PyFloat_Check(o) || PyLong_Check(o) || PyList_Check(o) || PyTuple_Check(o)) return;
  if (PyComplex_Check(o)) throw_type_error(what + " must hold real numbers, not complex values");
  PyObject* raw = PyObject_GetAttrString(o, "dtype");
  if (!raw) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_already_set();
    PyErr_Clear();
    return;
  }
  Ref dtype = Ref::steal(raw);
  PyObject* kind_raw = PyObject_GetAttrString(dtype.get(), "kind");
  if (!kind_raw) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_already_set();
    PyErr_Clear();
    return;
  }
  Ref kind = Ref::steal(kind_raw);
  if (!PyUnicode_Check(kind.get()) || PyUnicode_GetLength(kind.get()) != 1) return;
  const Py_UCS4 k = PyUnicode_ReadChar(kind.get(), 0);
  if (k == 'i' || k == 'u' || k == 'f') return;
  if (k == 'U' || k == 'S' || k == 'V') throw_type_error(what + " must hold numbers");
  Ref name = Ref::steal(PyObject_Str(dtype.get()));
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (!text) {
    PyErr_Clear();
    text = "non-numeric";
  }
  throw_type_error(what + " must hold real numbers, not " + text + " values");
}

IndexArray::IndexArray(PyObject* o, const std::string& what) {
  refuse_non_real(o, what);
  BufferView v;
  v.held = contiguous_view(o, v.view);
  if (v.held) {
    const char c = format_code(v.view.format);
    if (c == 'i' && v.view.itemsize == 4) {
      copy_items<int32_t>(v.view, values_);
      return;
    }
    if ((c == 'l' || c == 'q') && v.view.itemsize == 8) {
      copy_items<int64_t>(v.view, values_);
      return;
    }
    if (non_real_format(v.view.format) || c == 'd' || c == 'f' || c == 'e') {
      throw_type_error(what + " must hold integers");
    }
  }
  Ref holder = numpy_contiguous(o, "int64", what);
  BufferView w;
  w.held = contiguous_view(holder.get(), w.view);
  if (!w.held) throw_type_error(what + " must hold integers");
  copy_items<int64_t>(w.view, values_);
}

DoubleArray::DoubleArray(PyObject* o, const std::string& what, bool allow_inf) {
  refuse_non_real(o, what);
  bool done = false;
  if (PyList_Check(o) || PyTuple_Check(o)) {
    const Py_ssize_t n = PySequence_Size(o);
    if (n < 0) throw_already_set();
    values_.reserve(static_cast<size_t>(n));
    bool nested = false;
    for (Py_ssize_t i = 0; i < PySequence_Size(o) && !nested; ++i) {
      Ref item = check(PySequence_GetItem(o, i));
      double v;
      if (!PyFloat_CheckExact(item.get()) && !PyLong_CheckExact(item.get())) {
        refuse_non_real(item.get(), what);
      }
      if (number_operand(item.get(), v)) values_.push_back(v);
      else if (PySequence_Check(item.get()) && !PyUnicode_Check(item.get())) nested = true;
      else throw_type_error(what + " must hold numbers");
    }
    if (!nested) {
      shape_ = {static_cast<Py_ssize_t>(values_.size())};
      done = true;
    } else {
      values_.clear();
    }
  }
  if (!done) {
    BufferView v;
    v.held = contiguous_view(o, v.view);
    if (v.held && non_real_format(v.view.format)) {
      throw_type_error(what + " must hold real numbers, not " +
                       (*v.view.format == 'Z' ? std::string("complex") : std::string("non-numeric")) +
                       " values");
    }
    Ref holder;
    if (v.held && !(format_code(v.view.format) == 'd' && v.view.itemsize == 8)) {
      PyBuffer_Release(&v.view);
      v.held = false;
    }
    if (!v.held) {
      holder = numpy_contiguous(o, "float64", what);
      v.held = contiguous_view(holder.get(), v.view);
      if (!v.held) throw_type_error(what + " must hold numbers");
    }
    copy_items<double>(v.view, values_);
    shape_ = view_shape(v.view);
  }
  // One pass over the whole array; no branch per entry.
  const bool bad = allow_inf ? any_nan(values_.data(), values_.size())
                             : any_non_finite(values_.data(), values_.size());
  if (bad) throw_value_error(what + (allow_inf ? " contains a NaN entry" : " contains a NaN or infinite entry"));
}
bool is_array_like(PyObject* o) {
  if (PyUnicode_Check(o) || PyBytes_Check(o)) return false;
  return PyList_Check(o) || PyTuple_Check(o) || PyObject_CheckBuffer(o) ||
         PyObject_HasAttrString(o, "__array__");
}

CsrMatrix read_matrix(PyObject* o, const std::string& what) {
  if (PyObject_HasAttrString(o, "tocsr") && PyObject_HasAttrString(o, "format")) {
    const auto [rows, cols] = read_shape(o, what);
    Ref fmt_obj = get_attr(o, "format");
    const std::string fmt = PyUnicode_Check(fmt_obj.get()) ? text_of(fmt_obj.get()) : "";
    CsrMatrix m;
    if (fmt == "csr") {
      m = compressed(o, rows, cols, true, what);
    } else if (fmt == "csc") {
      m = compressed(o, rows, cols, false, what);
    } else if (fmt == "coo") {
      Ref row_obj = get_attr(o, "row"), col_obj = get_attr(o, "col"), data_obj = get_attr(o, "data");
      IndexArray r(row_obj.get(), what + " row"), c(col_obj.get(), what + " col");
      DoubleArray d(data_obj.get(), what);
      const size_t nnz = d.values().size();
      if (r.size() != nnz || c.size() != nnz) throw_value_error(what + " has inconsistent sparse index arrays");
      const double* v = d.values().data();
      m = from_triples(rows, cols, nnz, [&](size_t k) { return r[k]; }, [&](size_t k) { return c[k]; },
                       [&](size_t k) { return v[k]; }, what);
    } else {
      Ref csr = call_method(o, "tocsr");
      return compressed(csr.get(), rows, cols, true, what);
    }
    return m;
  }
  DoubleArray dense(o, what);
  if (dense.shape().size() != 2) throw_value_error(what + " must be 2-dimensional");
  CsrMatrix m;
  m.rows = static_cast<size_t>(dense.shape()[0]);
  m.cols = static_cast<size_t>(dense.shape()[1]);
  m.indptr.reserve(m.rows + 1);
  m.indptr.push_back(0);
  const double* v = dense.values().data();
  for (size_t r = 0; r < m.rows; ++r) {
    for (size_t c = 0; c < m.cols; ++c) {
      const double x = v[r * m.cols + c];
      if (x != 0.0) {
        m.indices.push_back(static_cast<int64_t>(c));
        m.data.push_back(x);
      }
    }
    m.indptr.push_back(static_cast<int64_t>(m.indices.size()));
  }
  return m;
}

VarIndices read_var_indices(PyObject* o, const std::string& what, ModelId* owner) {
  ModelId joint = kNoModel;
  if (PyUnicode_Check(o) || !PySequence_Check(o)) throw_type_error(what + " must be a sequence of Var");
  // Reading an item below runs no Python code, so a list or tuple cannot
  // change underneath and is read in place; other sequences are listed once.
  VarIndices out;
  PyTypeObject* const var_t = var_type();
  const auto read = [&](auto size, auto item_at, PyObject* seq) {
    const Py_ssize_t n = size(seq);
    out.index.resize(static_cast<size_t>(n));
    VarIndex* const dst = out.index.data();
    // Variables of one name block share its model: the owner is looked at
    // again only where the block changes (once for Model.variables' list).
    const NameBlock* block = nullptr;
    VarIndex top = 0;
    bool increasing = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = item_at(seq, i);
      if (Py_TYPE(item) != var_t) throw_type_error(what + " must be a sequence of Var");
      const VarValue& v = var_value(item);
      const VarIndex k = v.index;
      dst[i] = k;
      increasing &= k >= top;  // every earlier index lies below top
      top = std::max(top, k + 1);
      if (v.names.get() != block) {
        const ModelId b = v.owner();
        if (b != joint) joint = joined_owner(joint, b, k);
        block = v.names.get();
      }
    }
    out.top = top;
    out.increasing = increasing;
  };
  // The item readers as lambdas, so that each is a direct call in the loop.
  const auto list_size = [](PyObject* s) { return PyList_Size(s); };
  const auto list_item = [](PyObject* s, Py_ssize_t i) { return PyList_GetItem(s, i); };
  if (PyList_Check(o)) {
    read(list_size, list_item, o);
  } else if (PyTuple_Check(o)) {
    read([](PyObject* s) { return PyTuple_Size(s); }, [](PyObject* s, Py_ssize_t i) { return PyTuple_GetItem(s, i); },
         o);
  } else {
    Ref fast = sequence_list(o);
    read(list_size, list_item, fast.get());
  }
  if (owner) *owner = joint;
  return out;
}

std::vector<VarIndex> read_variables(PyObject* o, const std::string& what, ModelId* owner) {
  const VarIndices read = read_var_indices(o, what, owner);
  return std::vector<VarIndex>(read.index.begin(), read.index.end());
}

bool VarIndices::distinct() const { return increasing || all_distinct(index, top); }

void append_kept(LinearTerms& terms, std::span<const Term> merged) {
  size_t kept = 0;
  for (const Term& t : merged) kept += std::fabs(t.coef) >= kCancelTolerance;
  terms.reserve(kept);
  for (const Term& t : merged) {
    if (std::fabs(t.coef) >= kCancelTolerance) terms.append_new(t.index, t.coef);
  }
}

bool all_distinct(std::span<const VarIndex> vars, VarIndex top) {
  if (vars.size() > top) return false;  // more indices than values below top
  // One byte per index: a load and a store per variable, no bit arithmetic.
  std::unique_ptr<uint8_t[]> seen(new uint8_t[top]());
  for (VarIndex v : vars) {
    if (seen[v]) return false;
    seen[v] = 1;
  }
  return true;
}

namespace {

const Params<2> kDotParams{"dot()", {"coefficients", "variables"}, 2, false};
const Params<2> kQuadFormParams{"quad_form()", {"Q", "variables"}, 2, false};

PyObject* dot_impl(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&] {
    auto a = match(kDotParams, args, kwargs);
    DoubleArray c(a[0], "dot: coefficients");
    ModelId owner = kNoModel;
    const VarIndices read = read_var_indices(a[1], "dot: variables", &owner);
    const auto& vars = read.index;
    if (c.shape().size() > 1) throw_value_error("dot: coefficients must be 1-dimensional");
    const std::span<const double> cv = c.values();
    if (cv.size() != vars.size()) {
      throw_value_error("dot: " + std::to_string(cv.size()) + " coefficients for " +
                        std::to_string(vars.size()) + " variables");
    }
    Expr e;
    e.owner = owner;
    if (read.distinct()) {
      // Without repeats each coefficient that is not below the cancel
      // tolerance is its term: counted, then written once into the
      // expression's own storage, sized exactly.
      size_t kept = 0;
      for (double x : cv) kept += std::fabs(x) >= kCancelTolerance;
      std::vector<Term> terms(kept);
      Term* out = terms.data();
      for (size_t k = 0; k < vars.size(); ++k) {
        if (std::fabs(cv[k]) >= kCancelTolerance) *out++ = Term{vars[k], cv[k]};
      }
      e.terms = LinearTerms::from_distinct(std::move(terms));
    } else {
      // Repeated variables merge through a position table indexed by
      // variable (no hashing per term).
      std::vector<Term> merged;
      merged.reserve(vars.size());
      std::vector<uint32_t> slot(read.top, UINT32_MAX);
      for (size_t k = 0; k < vars.size(); ++k) {
        if (cv[k] == 0.0) continue;
        uint32_t& p = slot[vars[k]];
        if (p == UINT32_MAX) {
          p = static_cast<uint32_t>(merged.size());
          merged.push_back(Term{vars[k], cv[k]});
        } else {
          merged[p].coef += cv[k];
        }
      }
      append_kept(e.terms, merged);
    }
    return new_expr(std::move(e));
  });
}

PyObject* quad_form_impl(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&] {
    auto a = match(kQuadFormParams, args, kwargs);
    const CsrMatrix q = read_matrix(a[0], "quad_form: Q");
    ModelId owner = kNoModel;
    const std::vector<VarIndex> vars = read_variables(a[1], "quad_form: variables", &owner);
    if (q.rows != vars.size() || q.cols != vars.size()) {
      throw_value_error("quad_form: Q is " + std::to_string(q.rows) + "x" + std::to_string(q.cols) +
                        " but " + std::to_string(vars.size()) + " variables were given");
    }
    QuadExpr r;
    r.linear.owner = owner;
    r.quad_terms.reserve(q.nnz());
    for (size_t row = 0; row < q.rows; ++row) {
      for (int64_t k = q.indptr[row]; k < q.indptr[row + 1]; ++k) {
        const double v = q.value(static_cast<size_t>(k));
        if (v == 0.0) continue;
        const VarIndex i = vars[row], j = vars[static_cast<size_t>(q.index(static_cast<size_t>(k)))];
        r.quad_terms.push_back(QuadTerm{std::min(i, j), std::max(i, j), v});
      }
    }
    return new_quad_expr(std::move(r));
  });
}

}  // namespace

PyMethodDef dot_def = {
    "dot", as_cfunction(dot_impl), METH_VARARGS | METH_KEYWORDS,
    "dot(coefficients, variables)\n--\n\n"
    "The linear expression sum(coefficients[k] * variables[k]) built in one call. `coefficients`\n"
    "is any buffer (a numpy array) or sequence of floats, `variables` a sequence of Var of the\n"
    "same length; zero coefficients are left out. Returns an `Expr`."};
PyMethodDef quad_form_def = {
    "quad_form", as_cfunction(quad_form_impl), METH_VARARGS | METH_KEYWORDS,
    "quad_form(Q, variables)\n--\n\n"
    "The quadratic form x'Qx over `variables` (x), built in one call. `Q` is a square numpy\n"
    "2-D array or any scipy.sparse matrix; each nonzero Q[i, j] gives the term\n"
    "Q[i, j] * x[i] * x[j]. Returns a `QuadExpr`."};

}  // namespace pelora::py
