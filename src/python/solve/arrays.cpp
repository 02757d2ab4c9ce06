#include "python/solve/arrays.hpp"

#include <cstring>

#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"

namespace pelora::py {

namespace {

double item_float(PyObject* o) {
  const double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) throw_already_set();
  return d;
}

// Reads a C-contiguous one-dimensional buffer of doubles; false when `seq`
// offers no such buffer.
bool read_double_buffer(PyObject* seq, std::vector<double>& out) {
  if (!PyObject_CheckBuffer(seq)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(seq, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
    PyErr_Clear();
    return false;
  }
  const bool doubles = view.itemsize == static_cast<Py_ssize_t>(sizeof(double)) &&
                       view.ndim == 1 && view.format &&
                       (std::strcmp(view.format, "d") == 0 || std::strcmp(view.format, "<d") == 0 ||
                        std::strcmp(view.format, "=d") == 0);
  if (doubles) {
    const size_t n = static_cast<size_t>(view.len) / sizeof(double);
    out.resize(n);
    if (n) std::memcpy(out.data(), view.buf, n * sizeof(double));
  }
  PyBuffer_Release(&view);
  return doubles;
}

}  // namespace

Numpy::Numpy() {
  np_ = import_module("numpy");
  frombuffer_ = get_attr(np_.get(), "frombuffer");
  float64_ = get_attr(np_.get(), "float64");
  int32_ = get_attr(np_.get(), "int32");
}

Ref Numpy::make(const void* data, size_t bytes, PyObject* dtype) const {
  Ref mem = check(PyBytes_FromStringAndSize(bytes ? static_cast<const char*>(data) : nullptr,
                                            static_cast<Py_ssize_t>(bytes)));
  return call(frombuffer_.get(), mem.get(), dtype);
}

Ref Numpy::over(const void* data, size_t bytes, PyObject* dtype) const {
  // An empty span may have no storage; a one-byte stand-in keeps the view valid.
  static char empty = 0;
  char* p = bytes ? const_cast<char*>(static_cast<const char*>(data)) : &empty;
  Ref mem = check(PyMemoryView_FromMemory(p, static_cast<Py_ssize_t>(bytes), PyBUF_READ));
  return call(frombuffer_.get(), mem.get(), dtype);
}

Ref Numpy::borrow(std::span<const double> v) const {
  return over(v.data(), v.size() * sizeof(double), float64_.get());
}

Ref Numpy::borrow(std::span<const int32_t> v) const {
  return over(v.data(), v.size() * sizeof(int32_t), int32_.get());
}

Ref Numpy::view(std::span<const double> v) const {
  return make(v.data(), v.size() * sizeof(double), float64_.get());
}

Ref Numpy::view(std::span<const int32_t> v) const {
  return make(v.data(), v.size() * sizeof(int32_t), int32_.get());
}

std::vector<double> read_floats(PyObject* seq) {
  std::vector<double> out;
  if (PyList_Check(seq)) {
    Py_ssize_t n = PyList_Size(seq);
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyList_GetItem(seq, i);
      // A float converts without running any code: nothing can change the
      // list meanwhile (a solver's solution is a list of floats).
      if (PyFloat_CheckExact(item)) {
        out.push_back(PyFloat_AsDouble(item));
        continue;
      }
      // Another element's __float__ may change the list: the element is
      // held while it converts and the size read afresh, as a list
      // iterator would.
      Ref held = Ref::borrow(item);
      out.push_back(item_float(held.get()));
      n = PyList_Size(seq);
    }
    return out;
  }
  if (PyTuple_Check(seq)) {
    const Py_ssize_t n = PyTuple_Size(seq);
    out.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out[static_cast<size_t>(i)] = item_float(PyTuple_GetItem(seq, i));
    return out;
  }
  if (read_double_buffer(seq, out)) return out;
  Ref it = check(PyObject_GetIter(seq));
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref item = Ref::steal(raw);
    out.push_back(item_float(item.get()));
  }
  if (PyErr_Occurred()) throw_already_set();
  return out;
}

Ref float_list(std::span<const double> v) {
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(v.size())));
  for (size_t i = 0; i < v.size(); ++i) {
    PyObject* f = PyFloat_FromDouble(v[i]);
    if (!f) throw_already_set();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), f);  // steals f
  }
  return list;
}

}  // namespace pelora::py
