// solve_admm: the consensus loop of the core over Python subproblem callables.
#include <Python.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/admm/consensus.hpp"
#include "python/blackbox/evaluate.hpp"
#include "python/moo/convert.hpp"
#include "python/registry.hpp"
#include "python/runtime/args.hpp"

namespace pelora::py {

namespace {

using blackbox::float_list;

// Calls part i as `part(rho, target)`. A call that raises, or a result that
// is not a sequence of numbers, gives the zero vector; a sequence shorter
// than dim is refused with ValueError (its missing entries have no value);
// entries past dim are ignored. KeyboardInterrupt and SystemExit end the run.
struct PySubproblems {
  const std::vector<Ref>* parts;
  PyObject* rho;  // borrowed Python float, shared by every call
  std::vector<double> buffer;

  void operator()(size_t i, double, std::span<const double> target, std::span<double> out) {
    if (PyErr_CheckSignals() < 0) throw_already_set();
    Ref list = float_list(target);
    Ref ret = Ref::steal(
        PyObject_CallFunctionObjArgs((*parts)[i].get(), rho, list.get(), nullptr));
    bool ok;
    if (!ret) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_already_set();
      PyErr_Clear();
      ok = false;
    } else {
      try {
        ok = moo::read_floats_or_clear(ret.get(), buffer);
      } catch (const SizeError& e) {
        std::string text = e.message;
        if (text.rfind("the sequence ", 0) == 0) text.replace(0, 13, "the sequence it returned ");
        throw SizeError{{e.type, "subproblems[" + std::to_string(i) + "]: " + text}};
      }
    }
    if (!ok) {
      std::fill(out.begin(), out.end(), 0.0);
      return;
    }
    if (buffer.size() < out.size()) {
      throw_value_error("subproblems[" + std::to_string(i) + "] returned " +
                        std::to_string(buffer.size()) + " values, expected dim=" +
                        std::to_string(out.size()));
    }
    std::copy_n(buffer.begin(), out.size(), out.begin());
  }
};

constexpr Params<5> kAdmmParams{
    "solve_admm()", {"subproblems", "dim", "rho", "max_iter", "tol"}, 2, false};

PyObject* solve_admm(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    auto a = match(kAdmmParams, args, kwargs);
    const std::vector<Ref> parts = a.convert(0, moo::read_objects);
    const size_t dim = a.to_count(1);
    admm::AdmmOptions o;
    o.rho = a.to_double(2, 1.0);
    if (a.given(3)) o.max_iter = a.to_count(3);
    o.tol = a.to_double(4, 1e-6);

    Ref rho = check(PyFloat_FromDouble(o.rho));
    PySubproblems solve{&parts, rho.get(), {}};
    const admm::AdmmResult r =
        blackbox::run_core([&] { return admm::admm_consensus(parts.size(), dim, o, solve); });

    Ref d = check(PyDict_New());
    auto set = [&](const char* key, Ref v) {
      check_status(PyDict_SetItemString(d.get(), key, v.get()));
    };
    set("x", float_list(r.z));
    set("z", float_list(r.z));
    set("iterations", check(PyLong_FromUnsignedLongLong(r.iterations)));
    set("primal_residual", check(PyFloat_FromDouble(r.primal_residual)));
    set("dual_residual", check(PyFloat_FromDouble(r.dual_residual)));
    set("converged", Ref::borrow(r.converged ? Py_True : Py_False));
    return d.release();
  });
}

}  // namespace

PyMethodDef solve_admm_def = {
    "solve_admm", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(solve_admm)),
    METH_VARARGS | METH_KEYWORDS,
    "solve_admm(subproblems, dim, rho=1.0, max_iter=200, tol=1e-6)\n--\n\n"
    "ADMM consensus solver for decomposable problems.\n"
    "subproblems: list of callables, each takes (rho: float, target: list[float]) -> list[float]"};

}  // namespace pelora::py
