#include "python/solve/handoff.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/model/form_cleanup.hpp"
#include "core/model/standard_form.hpp"
#include "core/scan.hpp"
#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"

namespace pelora::py {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

SparseHandoff::SparseHandoff() {
  np_ = import_module("numpy");
  sparse_ = import_module("scipy.sparse");
  frombuffer_ = get_attr(np_.get(), "frombuffer");
  float64_ = get_attr(np_.get(), "float64");
  int32_ = get_attr(np_.get(), "int32");
  csc_matrix_ = get_attr(sparse_.get(), "csc_matrix");
}

Ref SparseHandoff::make(const void* data, size_t bytes, PyObject* dtype) const {
  Ref mem = check(PyByteArray_FromStringAndSize(bytes ? static_cast<const char*>(data) : nullptr,
                                                static_cast<Py_ssize_t>(bytes)));
  return call(frombuffer_.get(), mem.get(), dtype);
}

Ref SparseHandoff::array(std::span<const double> v) const {
  return make(v.data(), v.size() * sizeof(double), float64_.get());
}

Ref SparseHandoff::array(std::span<const int32_t> v) const {
  return make(v.data(), v.size() * sizeof(int32_t), int32_.get());
}

Ref SparseHandoff::csc(std::span<const int32_t> start, std::span<const int32_t> index,
                       std::span<const double> value, size_t rows, size_t cols) const {
  Ref data = array(value), idx = array(index), ptr = array(start);
  Ref triple = check(PyTuple_Pack(3, data.get(), idx.get(), ptr.get()));
  Ref r = py_int(static_cast<long long>(rows)), c = py_int(static_cast<long long>(cols));
  Ref shape = check(PyTuple_Pack(2, r.get(), c.get()));
  Ref args = check(PyTuple_Pack(1, triple.get()));
  Ref kwargs = check(PyDict_New());
  dict_set(kwargs.get(), "shape", shape.get());
  return check(PyObject_Call(csc_matrix_.get(), args.get(), kwargs.get()));
}

Ref SparseHandoff::constraint_matrix(const StandardForm& f) const {
  return csc(f.a_start, f.a_index, f.a_value, f.num_row, f.num_col);
}

Ref SparseHandoff::hessian_upper(const StandardForm& f) const {
  if (f.hessian) {
    const Hessian& h = *f.hessian;
    return csc(h.q_start, h.q_index, h.q_value, f.num_col, f.num_col);
  }
  const std::vector<int32_t> start(f.num_col + 1, 0);
  return csc(start, {}, {}, f.num_col, f.num_col);
}

CscMatrix full_hessian(const StandardForm& f) {
  CscMatrix m;
  m.rows = m.cols = f.num_col;
  m.start.assign(f.num_col + 1, 0);
  if (!f.hessian) return m;
  const Hessian& h = *f.hessian;
  // Counts: a stored entry (i, j) lands in column j and, off the diagonal,
  // its mirror (j, i) in column i.
  for (size_t j = 0; j < f.num_col; ++j) {
    for (int32_t k = h.q_start[j]; k < h.q_start[j + 1]; ++k) {
      const auto i = static_cast<size_t>(h.q_index[k]);
      ++m.start[j + 1];
      if (i != j) ++m.start[i + 1];
    }
  }
  for (size_t j = 0; j < f.num_col; ++j) m.start[j + 1] += m.start[j];
  const auto nnz = static_cast<size_t>(m.start[f.num_col]);
  m.index.resize(nnz);
  m.value.resize(nnz);
  std::vector<int32_t> next(m.start.begin(), m.start.end() - 1);
  // Column c of the full matrix holds rows <= c (the stored column c) and
  // then rows > c (the mirrors of the stored entries (c, j), j > c). Two
  // passes keep the rows ascending: every stored column first, then the
  // mirrors, visited by ascending stored column j.
  for (size_t j = 0; j < f.num_col; ++j) {
    for (int32_t k = h.q_start[j]; k < h.q_start[j + 1]; ++k) {
      const auto pos = static_cast<size_t>(next[j]++);
      m.index[pos] = h.q_index[k];
      m.value[pos] = h.q_value[k];
    }
  }
  for (size_t j = 0; j < f.num_col; ++j) {
    for (int32_t k = h.q_start[j]; k < h.q_start[j + 1]; ++k) {
      const auto i = static_cast<size_t>(h.q_index[k]);
      if (i == j) continue;
      const auto pos = static_cast<size_t>(next[i]++);
      m.index[pos] = static_cast<int32_t>(j);
      m.value[pos] = h.q_value[k];
    }
  }
  return m;
}

std::vector<double> start_point(const StandardForm& f) {
  std::vector<double> x(f.num_col);
  for (size_t j = 0; j < f.num_col; ++j) {
    const double lo = std::isfinite(f.col_lower[j]) ? f.col_lower[j] : 0.0;
    const double up = std::isfinite(f.col_upper[j]) ? f.col_upper[j] : lo + 1.0;
    x[j] = 0.5 * (lo + up);
  }
  return x;
}

std::vector<double> lower_bounds(std::span<const double> v) {
  std::vector<double> out(v.begin(), v.end());
  for (double& d : out) {
    if (!std::isfinite(d)) d = -kInf;
  }
  return out;
}

std::vector<double> upper_bounds(std::span<const double> v) {
  std::vector<double> out(v.begin(), v.end());
  for (double& d : out) {
    if (!std::isfinite(d)) d = kInf;
  }
  return out;
}

bool has_nonlinear_terms(const ModelData& m) { return classify_problem(m) == ProblemType::NLP; }

void refuse_cones(const StandardForm& f, const char* display, const char* hint) {
  if (f.soc_cones.empty() && f.psd_cones.empty()) return;
  throw_value_error(std::string(display) +
                    " cannot solve a model with second-order or PSD cones (it would ignore "
                    "them); " + hint);
}

void refuse_nonlinear(const ModelData& m, const char* display, const char* hint) {
  if (!has_nonlinear_terms(m)) return;
  throw_value_error(std::string(display) +
                    " cannot solve a model with nonlinear terms (it would ignore them); " + hint);
}

void refuse_nan_bounds(const StandardForm& f, const ModelData& m) {
  for (size_t j = 0; j < f.num_col; ++j) {
    if (std::isnan(f.col_lower[j]) || std::isnan(f.col_upper[j])) {
      const std::string name = j < m.variables.size() ? m.var_name(j) : std::to_string(j);
      throw_value_error("variable '" + name + "' has a NaN bound");
    }
  }
  for (size_t r = 0; r < f.num_row; ++r) {
    if (!std::isnan(f.row_lower[r]) && !std::isnan(f.row_upper[r])) continue;
    // Rows keep the model's numbering unless redundant rows were removed.
    std::string which = "a linear constraint";
    if (f.num_row == m.constraints.size()) {
      const std::string* name = m.constraints.name(r);
      which = name ? "constraint '" + *name + "'" : "constraint " + std::to_string(r);
    }
    throw_value_error(which + " has a NaN right-hand side");
  }
  for (size_t k = 0; k < m.nl_constraints.size(); ++k) {
    if (!std::isnan(m.nl_constraints[k].rhs)) continue;
    const auto& name = m.nl_constraints[k].name;
    throw_value_error((name ? "nonlinear constraint '" + *name + "'"
                            : "nonlinear constraint " + std::to_string(k)) +
                      " has a NaN right-hand side");
  }
}

bool bounds_never_met(std::span<const double> lower, std::span<const double> upper) {
  return any_empty_interval(lower.data(), upper.data(), std::min(lower.size(), upper.size()));
}

bool impossible_bounds(const StandardForm& f, const ModelData& m) {
  if (bounds_never_met(f.col_lower, f.col_upper) || bounds_never_met(f.row_lower, f.row_upper)) {
    return true;
  }
  for (const NonlinearConstraint& c : m.nl_constraints) {
    if (!(std::fabs(c.rhs) >= kSolverInfinity)) continue;  // NaN is refused elsewhere
    const bool negative = c.rhs < 0;
    if (c.sense == Sense::Eq || (c.sense == Sense::Le && negative) ||
        (c.sense == Sense::Ge && !negative)) {
      return true;
    }
  }
  return false;
}

AdapterOutcome infeasible_without_solving(const char* display, double t0) {
  AdapterOutcome out;
  out.data.solver = display;
  out.data.status = SolveStatus::Infeasible;
  out.data.iterations = 0;
  out.data.solve_time = perf_counter() - t0;
  return out;
}

double positive_time_limit(double seconds) {
  return seconds <= 0.0 ? std::numeric_limits<double>::min() : seconds;
}

void dict_set(PyObject* dict, const char* key, PyObject* value) {
  check_status(PyDict_SetItemString(dict, key, value));
}

double to_double(PyObject* o) {
  const double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) throw_already_set();
  return d;
}

uint64_t count_or_zero(PyObject* o) {
  if (!o) return 0;
  Ref index = Ref::steal(PyNumber_Index(o));
  if (!index) {
    PyErr_Clear();
    return 0;
  }
  const unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return 0;
  }
  return n;
}

Ref attr_or_null(PyObject* o, const char* name) {
  Ref v = Ref::steal(PyObject_GetAttrString(o, name));
  if (!v) PyErr_Clear();
  return v;
}

}  // namespace pelora::py
