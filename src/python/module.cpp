// Module entry: builds `pelora_opt` once per process and registers the
// classes and functions in their fixed order (also the order of __all__).
#include <Python.h>

#include "python/blackbox/frame.hpp"
#include "python/model/pickling.hpp"
#include "python/registry.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/messages.hpp"

namespace pelora::py {
namespace {

struct Entry {
  const char* name;
  PyTypeObject* (*type)();  // a class ...
  PyMethodDef* function;    // ... or a function
};

// Registration order. New classes and functions go in their place here.
const Entry kEntries[] = {
    {"Model", model_type, nullptr},                      // 1
    {"Var", var_type, nullptr},                          // 2
    {"Expr", expr_type, nullptr},                        // 3
    {"QuadExpr", quad_expr_type, nullptr},               // 4
    {"NlExpr", nl_expr_type, nullptr},                   // 5
    {"Constraint", constraint_type, nullptr},            // 6
    {"Result", result_type, nullptr},                    // 7
    {"BlackBoxResult", blackbox_result_type, nullptr},   // 8
    {"PersistentHighs", persistent_highs_type, nullptr},  // 9
    {"minimize", nullptr, &minimize_def},                // 10
    {"maximize", nullptr, &maximize_def},                // 11
    {"sum", nullptr, &sum_def},                          // 12
    {"sin", nullptr, &sin_def},                          // 13
    {"cos", nullptr, &cos_def},                          // 14
    {"sqrt", nullptr, &sqrt_def},                        // 15
    {"solve_de", nullptr, &solve_de_def},                // 16
    {"solve_pso", nullptr, &solve_pso_def},              // 17
    {"solve_sa", nullptr, &solve_sa_def},                // 18
    {"solve_cmaes", nullptr, &solve_cmaes_def},          // 19
    {"pareto_frontier", nullptr, &pareto_frontier_def},  // 20
    {"stochastic_solve", nullptr, &stochastic_solve_def},    // 21
    {"solve_portfolio", nullptr, &solve_portfolio_def},      // 22
    {"solve_parallel_de", nullptr, &solve_parallel_de_def},  // 23
    {"solve_admm", nullptr, &solve_admm_def},            // 24
    {"read_model", nullptr, &read_model_def},            // 25
    {"exp", nullptr, &exp_def},
    {"log", nullptr, &log_def},
    {"dot", nullptr, &dot_def},
    {"quad_form", nullptr, &quad_form_def},
    {"ConstraintRef", constraint_ref_type, nullptr},
    {nullptr, nullptr, nullptr},  // end
};

#ifndef PELORA_VERSION
#define PELORA_VERSION "0+unknown"
#endif

const char kModuleDoc[] =
    "Algebraic modelling with fast solver hand-off, and derivative-free optimisers.\n\n"
    "Model(name) holds variables, constraints and an objective written with Python\n"
    "operators; Model.solve() sends it to HiGHS (LP, MILP), OSQP (QP), Clarabel\n"
    "(cones), Ipopt (NLP) or SCIP (MIQP, MINLP) and returns a Result. The black-box\n"
    "optimisers (solve_de, solve_pso, solve_sa, solve_cmaes, solve_portfolio,\n"
    "stochastic_solve, pareto_frontier, solve_admm) minimise Python functions over\n"
    "a box. pelora_opt.plot draws convergence histories and Pareto fronts.\n\n"
    "Warnings are PeloraWarning instances and records of the \"pelora_opt\" logger.";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "pelora_opt", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;
int64_t g_interpreter = -1;

void register_entries(PyObject* module) {
  Ref all = check(PyList_New(0));
  for (const Entry* p = kEntries; p->name; ++p) {
    const Entry& e = *p;
    Ref obj;
    if (e.type) {
      obj = Ref::borrow(reinterpret_cast<PyObject*>(e.type()));
    } else {
      Ref modname = check(PyUnicode_FromString("pelora_opt"));
      obj = check(PyCFunction_NewEx(e.function, module, modname.get()));
    }
    check_status(PyModule_AddObjectRef(module, e.name, obj.get()));
    Ref name = check(PyUnicode_FromString(e.name));
    check_status(PyList_Append(all.get(), name.get()));
  }
  Ref warning_name = check(PyUnicode_FromString("PeloraWarning"));
  check_status(PyList_Append(all.get(), warning_name.get()));
  check_status(PyModule_AddObjectRef(module, "__all__", all.get()));
  {
    // Private: rebuilds pickled objects (not in __all__).
    Ref modname = check(PyUnicode_FromString("pelora_opt"));
    Ref restore = check(PyCFunction_NewEx(&restore_def, module, modname.get()));
    check_status(PyModule_AddObjectRef(module, "_restore", restore.get()));
  }
  PyObject* failure = internal_failure_type();
  if (!failure) throw_already_set();
  check_status(PyModule_AddObjectRef(module, "InternalFailure", failure));
}

PyObject* init_module() {
  PyInterpreterState* interp = PyInterpreterState_Get();
  int64_t id = PyInterpreterState_GetID(interp);
  if (id < 0) throw_already_set();
  if (g_interpreter >= 0 && g_interpreter != id) {
    throw_error(PyExc_ImportError,
                "pelora_opt does not support sub-interpreters: it was already initialised in "
                "another interpreter of this process");
  }
  if (g_module) {
    Py_INCREF(g_module);
    return g_module;
  }
  Ref module = check(PyModule_Create2(&module_def, 3));
  register_entries(module.get());
  install_messages(module.get());
  Ref version = check(PyUnicode_FromString(PELORA_VERSION));
  check_status(PyModule_AddObjectRef(module.get(), "__version__", version.get()));
  blackbox::install_parallel_helpers(module.get());
  install_plot_module(module.get());
  g_interpreter = id;
  g_module = module.get();
  Py_INCREF(g_module);  // the process-wide cell keeps its own reference
  return module.release();
}

}  // namespace
}  // namespace pelora::py

extern "C" PyMODINIT_FUNC PyInit_pelora_opt(void) {
  return pelora::py::boundary([] { return pelora::py::init_module(); });
}
