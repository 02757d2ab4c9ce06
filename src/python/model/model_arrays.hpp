// Model methods that take whole arrays: add_matrix, and per-variable bound
// sequences for the batch variable methods.
#pragma once
#include <Python.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace pelora::py {

// Model.add_matrix(A, variables, sense, rhs, names=None)
PyObject* model_add_matrix(PyObject* self, PyObject* args, PyObject* kw);

// A batch bound given as one number or as a sequence of `count` numbers:
// nullopt when `o` is a single number (read by the caller), the values
// otherwise. ValueError for a wrong length or a NaN entry.
std::optional<std::vector<double>> bound_sequence(PyObject* o, size_t count, const char* what);

}  // namespace pelora::py
