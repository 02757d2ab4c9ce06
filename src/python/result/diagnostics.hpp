// The diagnostic methods of Result: infeasibility_report, sensitivity, why and
// why_detail. They read the result's values and model snapshot only (no
// solver call) through the core diagnostics.
#pragma once
#include <Python.h>

#include "core/model/solve_result.hpp"

namespace pelora::py {

// Python values of the four methods (new references; throw on failure).
// Missing data and foreign variable indices raise ValueError.
PyObject* infeasibility_report_value(const ResultData& r);
PyObject* sensitivity_value(const ResultData& r);
PyObject* why_value(const ResultData& r, PyObject* args, PyObject* kwargs);
PyObject* why_detail_value(const ResultData& r, PyObject* args, PyObject* kwargs);

}  // namespace pelora::py
