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

// Entry functions of the Result methods (self is a Result) and their docstrings.
PyObject* result_why(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* result_why_detail(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* result_sensitivity(PyObject* self, PyObject* unused);
PyObject* result_infeasibility_report(PyObject* self, PyObject* unused);

inline constexpr const char* kWhyDoc =
    "why($self, var)\n--\n\nExplain why a variable has its current value at the optimum.";
inline constexpr const char* kWhyDetailDoc =
    "why_detail($self, var)\n--\n\nGet detailed \"why\" report as a dict.";
inline constexpr const char* kSensitivityDoc =
    "sensitivity($self)\n--\n\nGet sensitivity analysis: shadow prices, active constraints, "
    "bound status.";
inline constexpr const char* kInfeasibilityReportDoc =
    "infeasibility_report($self)\n--\n\nCompute the Irreducible Infeasible Subsystem.\n"
    "Only meaningful when status is \"infeasible\".";

}  // namespace pelora::py
