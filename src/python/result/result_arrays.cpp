#include "python/result/result_arrays.hpp"

#include <cstring>
#include <optional>
#include <vector>

#include "python/result/result_object.hpp"
#include "python/runtime/call.hpp"

namespace pelora::py {

namespace {

// numpy.empty(n) filled with one memcpy through its buffer; None for none.
PyObject* float64_array(const std::optional<std::vector<double>>& v) {
  if (!v) Py_RETURN_NONE;
  Ref np = import_module("numpy");
  Ref n = check(PyLong_FromSize_t(v->size()));
  Ref arr = call_method(np.get(), "empty", n.get());
  Py_buffer view;
  check_status(PyObject_GetBuffer(arr.get(), &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE));
  if (static_cast<size_t>(view.len) == v->size() * sizeof(double) && !v->empty()) {
    std::memcpy(view.buf, v->data(), v->size() * sizeof(double));
  }
  PyBuffer_Release(&view);
  return arr.release();
}

}  // namespace

const char kPrimalArrayDoc[] =
    "primal_array($self)\n--\n\n"
    "The primal values as a numpy float64 array in variable creation order, or None when\n"
    "the solve produced no primal solution.";
const char kDualArrayDoc[] =
    "dual_array($self)\n--\n\n"
    "The dual values (shadow prices) as a numpy float64 array in constraint order, or None\n"
    "when the solver reported none.";

PyObject* result_primal_array(PyObject* self, PyObject*) {
  return boundary([&] { return float64_array(result_value(self).data.primals); });
}

PyObject* result_dual_array(PyObject* self, PyObject*) {
  return boundary([&] { return float64_array(result_value(self).data.duals); });
}

}  // namespace pelora::py
