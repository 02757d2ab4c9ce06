// What the module registers, in registration order (module.cpp). Each class
// file provides its type getter, each function family its PyMethodDef.
#pragma once
#include <Python.h>

namespace pelora::py {

// Classes
PyTypeObject* model_type();
PyTypeObject* var_type();
PyTypeObject* expr_type();
PyTypeObject* quad_expr_type();
PyTypeObject* nl_expr_type();
PyTypeObject* constraint_type();
PyTypeObject* result_type();
PyTypeObject* blackbox_result_type();
PyTypeObject* persistent_highs_type();
PyTypeObject* constraint_ref_type();

// Module functions
extern PyMethodDef minimize_def, maximize_def;
extern PyMethodDef sum_def, sin_def, cos_def, sqrt_def;
extern PyMethodDef solve_de_def, solve_pso_def, solve_sa_def, solve_cmaes_def;
extern PyMethodDef pareto_frontier_def, stochastic_solve_def, solve_portfolio_def;
extern PyMethodDef solve_parallel_de_def, solve_admm_def;
extern PyMethodDef read_model_def;
extern PyMethodDef exp_def, log_def;
extern PyMethodDef dot_def, quad_form_def;

// Submodules: pelora_opt.plot (also in sys.modules, so `import pelora_opt.plot` works).
void install_plot_module(PyObject* module);

}  // namespace pelora::py
