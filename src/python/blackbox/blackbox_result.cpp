// BlackBoxResult: the immutable answer of a black-box run.
#include <string>

#include "core/format.hpp"
#include "python/blackbox/evaluate.hpp"
#include "python/registry.hpp"
#include "python/model/pickling.hpp"
#include "python/runtime/types.hpp"

namespace pelora::py {
namespace {

using blackbox::bb::RunResult;

const RunResult& result_of(PyObject* self) { return unbox<RunResult>(self); }

PyObject* get_x(PyObject* self, void*) {
  return boundary([&] { return blackbox::float_list(result_of(self).x).release(); });
}
PyObject* get_history(PyObject* self, void*) {
  return boundary([&] { return blackbox::float_list(result_of(self).history).release(); });
}
PyObject* get_objective(PyObject* self, void*) {
  return PyFloat_FromDouble(result_of(self).objective);
}
PyObject* get_iterations(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(result_of(self).iterations());
}
PyObject* get_evaluations(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(result_of(self).evaluations);
}
PyObject* get_converged(PyObject* self, void*) {
  return PyBool_FromLong(result_of(self).converged ? 1 : 0);
}

PyObject* result_repr(PyObject* self) {
  return boundary([&] {
    const RunResult& r = result_of(self);
    std::string s = "BlackBoxResult(obj=" + fixed_number(r.objective, 6) +
                    ", evals=" + std::to_string(r.evaluations) +
                    ", converged=" + (r.converged ? "true" : "false") + ")";
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  });
}

PyGetSetDef getters[] = {
    {"x", get_x, nullptr, nullptr, nullptr},
    {"objective", get_objective, nullptr, nullptr, nullptr},
    {"iterations", get_iterations, nullptr, nullptr, nullptr},
    {"evaluations", get_evaluations, nullptr, nullptr, nullptr},
    {"converged", get_converged, nullptr, nullptr, nullptr},
    {"history", get_history, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef blackbox_methods[] = {
    {"__reduce_ex__", reduce_blackbox_result, METH_O, nullptr},
    {"__copy__", same_object, METH_NOARGS, nullptr},
    {"__deepcopy__", same_object, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Black-box result returned from metaheuristic solvers.")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<RunResult>)},
    {Py_tp_methods, reinterpret_cast<void*>(blackbox_methods)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, getters},
    {0, nullptr},
};

PyType_Spec type_def = {
    "pelora_opt.BlackBoxResult",
    static_cast<int>(sizeof(Box<RunResult>)),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* blackbox_result_type() { return type_once(g_type, type_def); }

namespace blackbox {

PyObject* new_blackbox_result(bb::RunResult r) {
  return box_new(blackbox_result_type(), std::move(r));
}

}  // namespace blackbox
}  // namespace pelora::py
