#include "python/blackbox/polish.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "python/blackbox/evaluate.hpp"
#include "python/runtime/call.hpp"

namespace pelora::py::blackbox {
namespace {

// What the scipy-facing callable works on while the polish runs.
struct Polish {
  PyObject* func;  // borrowed
  uint64_t budget;
  uint64_t used = 0;
  // The polish ended the minimisation itself: the budget is spent, or the
  // objective gave a value L-BFGS-B cannot differentiate (inf, NaN).
  bool stopped = false;
  double best;
  std::vector<double> x, best_x;
};

// Owned by the callable's capsule; `live` is cleared when the polish ends,
// so a callable that scipy kept somewhere can no longer reach the stack.
struct Handle {
  Polish* live;
};

const char* const kCapsule = "pelora_opt.polish";

void free_handle(PyObject* capsule) {
  delete static_cast<Handle*>(PyCapsule_GetPointer(capsule, kCapsule));
}

// fun(x) for scipy: x is any sequence of floats (scipy passes an ndarray).
PyObject* call(PyObject* self, PyObject* arg) {
  return boundary([&]() -> PyObject* {
    auto* h = static_cast<Handle*>(PyCapsule_GetPointer(self, kCapsule));
    if (!h) throw_already_set();
    Polish* p = h->live;
    if (!p) throw_runtime_error("the polish this objective belonged to has ended");
    if (p->used >= p->budget) {
      p->stopped = true;
      throw_runtime_error("evaluation budget spent");
    }
    Ref seq = check(PySequence_List(arg));
    const Py_ssize_t n = PyList_Size(seq.get());
    if (static_cast<size_t>(n) != p->x.size()) {
      throw_value_error("the point has " + std::to_string(n) + " coordinates, expected " +
                        std::to_string(p->x.size()));
    }
    for (Py_ssize_t k = 0; k < n; ++k) {
      const double v = PyFloat_AsDouble(PyList_GetItem(seq.get(), k));
      if (v == -1.0 && PyErr_Occurred()) throw_already_set();
      p->x[static_cast<size_t>(k)] = v;
    }
    ++p->used;
    const double v = evaluate(p->func, p->x);
    if (pelora::blackbox::improves(v, p->best)) {
      p->best = v;
      p->best_x = p->x;
    }
    if (!std::isfinite(v)) {
      p->stopped = true;
      throw_runtime_error("the objective is not finite here");
    }
    return PyFloat_FromDouble(v);
  });
}

PyMethodDef call_def = {"polish_objective", call, METH_O, nullptr};

}  // namespace

void polish(PyObject* func, const pelora::blackbox::Bounds& bounds,
            pelora::blackbox::RunResult& r, uint64_t budget) {
  Ref optimize = Ref::steal(import_module_raw("scipy.optimize"));
  if (!optimize) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_already_set();
    PyErr_Clear();
    throw_error(PyExc_ImportError, "polish=True needs scipy (scipy.optimize.minimize)");
  }
  Ref minimize = check(PyObject_GetAttrString(optimize.get(), "minimize"));

  Polish p{func, budget, 0, false, r.objective, r.x, r.x};
  auto* handle = new Handle{&p};
  Ref capsule = Ref::steal(PyCapsule_New(handle, kCapsule, free_handle));
  if (!capsule) {
    delete handle;
    throw_already_set();
  }
  Ref fun = check(PyCFunction_New(&call_def, capsule.get()));

  Ref x0 = float_list(r.x);
  Ref box = check(PyList_New(static_cast<Py_ssize_t>(bounds.dim())));
  for (size_t k = 0; k < bounds.dim(); ++k) {
    PyObject* pair = Py_BuildValue("(dd)", bounds.lower[k], bounds.upper[k]);
    if (!pair) throw_already_set();
    PyList_SetItem(box.get(), static_cast<Py_ssize_t>(k), pair);  // steals pair
  }
  Ref options = check(Py_BuildValue("{s:K}", "maxfun", static_cast<unsigned long long>(budget)));
  Ref args = check(PyTuple_Pack(2, fun.get(), x0.get()));
  Ref kwargs = check(Py_BuildValue("{s:s,s:O,s:O}", "method", "L-BFGS-B", "bounds", box.get(),
                                   "options", options.get()));
  Ref out = Ref::steal(PyObject_Call(minimize.get(), args.get(), kwargs.get()));
  handle->live = nullptr;
  if (!out) {
    // The polish ending the minimisation is a normal way out; any other
    // error (an interrupt, scipy refusing the input) propagates.
    if (!p.stopped || !PyErr_ExceptionMatches(PyExc_RuntimeError)) throw_already_set();
    PyErr_Clear();
  }
  r.evaluations += p.used;
  if (pelora::blackbox::improves(p.best, r.objective)) {
    r.objective = p.best;
    r.x = p.best_x;
  }
  r.history.push_back(r.objective);
}

}  // namespace pelora::py::blackbox
