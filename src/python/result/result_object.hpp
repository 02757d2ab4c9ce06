// The Python Result object.
//
// Layout: a Box<ResultValue> (python/runtime/types.hpp), i.e. PyObject_HEAD
// followed by one ResultValue. The value is filled once by its producer
// (Model.solve, the one-line minimize/maximize, PersistentHighs.resolve) and
// never changed afterwards:
//   - `data` is the core record (core/model/solve_result.hpp): status,
//     objective, solve time, solver name, counters, primal and dual vectors,
//     and `data.snapshot`, the copy of the model's variables and linear
//     constraints taken at solve time (null for PersistentHighs results; an
//     empty snapshot means "no model data stored").
//   - `basis` is the HiGHS basis object (a strong reference), or null.
//
// Methods that read a Result (the diagnostics: why, why_detail, sensitivity,
// infeasibility_report) get the record with `result_value(self)` and work
// from `data` alone. They are registered in the method table of
// result_object.cpp at the place marked for them.
#pragma once
#include <Python.h>

#include "core/model/solve_result.hpp"
#include "python/registry.hpp"
#include "python/runtime/ref.hpp"
#include "python/runtime/types.hpp"

namespace pelora::py {

struct ResultValue {
  ResultData data;
  Ref basis;  // HiGHS basis for hot starts, or null
};

inline bool is_result(PyObject* o) { return Py_TYPE(o) == result_type(); }
inline const ResultValue& result_value(PyObject* o) { return unbox<ResultValue>(o); }

// New Result object (new reference; throws on failure).
PyObject* new_result(ResultValue v);

struct VarValue;
// Raises ValueError "variable '<name>' belongs to another model" unless the
// variables of model `owner` below `end` are the solved model's.
void check_snapshot_owner(const ResultData& d, ModelId owner, size_t end, std::optional<VarIndex> var);
void check_snapshot_var(const ResultData& d, const VarValue& v);

// The ValueError every accessor of missing primal values raises.
[[noreturn]] void throw_no_solution();

}  // namespace pelora::py
