// solve_admm: the consensus loop of the core over Python subproblem callables.
#include <Python.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/admm/consensus.hpp"
#include "python/blackbox/evaluate.hpp"
#include "python/blackbox/frame.hpp"
#include "python/runtime/call.hpp"
#include "python/moo/convert.hpp"
#include "python/registry.hpp"
#include "python/runtime/args.hpp"

namespace pelora::py {

namespace {

using blackbox::float_list;
namespace bb = pelora::blackbox;

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
    if (!ret) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_already_set();
      PyErr_Clear();
    }
    read(i, ret.get(), out);
  }

  // Part i's answer `ret` (null or None: the part failed) into out.
  void read(size_t i, PyObject* ret, std::span<double> out) {
    bool ok = false;
    if (ret && ret != Py_None) {
      try {
        ok = moo::read_floats_or_clear(ret, buffer);
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

constexpr Params<10> kAdmmParams{
    "solve_admm()",
    {"subproblems", "dim", "rho", "max_iter", "tol", "workers", "callback", "max_time",
     "max_evals", "verbose"},
    2, false};

PyObject* solve_admm(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    blackbox::check_positional("solve_admm()", args, 2, 5);  // the rest are keyword-only
    auto a = match(kAdmmParams, args, kwargs);
    const std::vector<Ref> parts = a.convert(0, moo::read_objects);
    const size_t dim = a.to_count(1);
    admm::AdmmOptions o;
    o.rho = a.to_double(2, 1.0);
    if (a.given(3)) o.max_iter = a.to_count(3);
    o.tol = a.to_double(4, 1e-6);

    Ref shared = check(PyDict_New());
    for (size_t i = 5; i < 10; ++i) {
      if (a.given(i)) check_status(PyDict_SetItemString(shared.get(), kAdmmParams.names[i], a[i]));
    }
    blackbox::Frame frame(blackbox::read_frame_options(
        shared.get(), {.max_evals = true, .target = false, .vectorized = false}));

    Ref rho = check(PyFloat_FromDouble(o.rho));
    PySubproblems solve{&parts, rho.get(), {}};
    // With workers the parts of one iteration are solved in parallel; the
    // results are read exactly as in the serial loop.
    Ref task;
    Ref part_list = check(PyList_New(0));
    for (const Ref& p : parts) check_status(PyList_Append(part_list.get(), p.get()));
    if (frame.batching()) {
      task = call(blackbox::helper("_Part"));
      frame.open(part_list.get(), "subproblems");
    }
    auto batch = [&](double, std::span<const double> targets, std::span<double> out) {
      if (PyErr_CheckSignals() < 0) throw_already_set();
      const size_t n = parts.size();
      Ref items = check(PyList_New(static_cast<Py_ssize_t>(n)));
      for (size_t i = 0; i < n; ++i) {
        Ref v = float_list(targets.subspan(i * dim, dim));
        PyObject* item = PyTuple_Pack(3, parts[i].get(), rho.get(), v.get());
        if (!item) throw_already_set();
        PyList_SetItem(items.get(), static_cast<Py_ssize_t>(i), item);  // steals
      }
      Ref results = frame.map(task.get(), items.get(), true);
      for (size_t i = 0; i < n; ++i) {
        solve.read(i, PyList_GetItem(results.get(), static_cast<Py_ssize_t>(i)),
                   out.subspan(i * dim, dim));
      }
    };
    admm::SubproblemBatch batch_ref(batch);
    if (frame.remote()) o.batch = &batch_ref;
    frame.apply(o.control);
    o.control.start = bb::RunControl::Clock::now();
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
    "solve_admm(subproblems, dim, rho=1.0, max_iter=200, tol=1e-6, *, workers=None, "
    "callback=None, max_time=None, max_evals=None, verbose=False)\n--\n\n"
    "ADMM consensus solver for decomposable problems.\n"
    "subproblems: list of callables, each takes (rho: float, target: list[float]) -> list[float]\n"
    "With workers, the parts of one iteration are solved in parallel."};

}  // namespace pelora::py
