// Nonlinear expression trees as casadi expressions over the decision vector.
#pragma once
#include <Python.h>

#include <unordered_map>
#include <vector>

#include "core/expr/expressions.hpp"
#include "python/runtime/ref.hpp"

namespace pelora::py {

class CasadiTranslator {
 public:
  // `casadi` is the module, `x` the symbolic column of `num_col` variables.
  CasadiTranslator(PyObject* casadi, PyObject* x, size_t num_col);

  // constant + sum of linear terms + sum of coefficient * tree. A coefficient
  // within 1e-15 of 1 adds the term itself; any other multiplies it.
  Ref expression(const NlExpr& e);

  // One tree. Shared sub-trees are translated once; deep trees are walked
  // with an explicit stack.
  Ref node(const NlNode* n);

 private:
  Ref variable(VarIndex i);
  Ref constant(double v);
  Ref unary(const char* function, PyObject* child);

  PyObject* casadi_;
  PyObject* x_;
  Ref dm_;
  std::vector<Ref> vars_;  // x[i], made on first use
  std::unordered_map<const NlNode*, Ref> done_;
};

}  // namespace pelora::py
