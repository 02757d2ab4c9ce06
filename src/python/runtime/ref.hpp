// Owning reference to a Python object. Every PyObject* the layer owns lives in
// a Ref; raw pointers are borrowed only.
#pragma once
#include <Python.h>

#include <utility>

namespace pelora::py {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (may be null).
  static Ref steal(PyObject* o) noexcept { return Ref(o); }
  // Adds a reference to a borrowed object (may be null).
  static Ref borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return Ref(o);
  }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller (for returning to the interpreter).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

}  // namespace pelora::py
