// Clarabel solves  min 0.5 x'Px + q'x  s.t.  A x + s = b,  s in K.  The rows
// are laid out in C++ in cone order as triplets in ascending row order and
// turned into compressed columns there, so the package receives A with one
// csc_matrix call.
#include "python/solve/solver_settings.hpp"
#include "python/solve/clarabel_adapter.hpp"

#include <cmath>
#include <vector>

#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"
#include "python/solve/arrays.hpp"
#include "python/runtime/sigint.hpp"
#include "python/solve/interrupt.hpp"

namespace pelora::py {

namespace {

constexpr double kSqrt2 = 1.4142135623730951;

bool contains(const std::string& s, const char* part) { return s.find(part) != std::string::npos; }

// Row-wise copy of the form's matrix (compressed rows).
struct RowView {
  std::vector<int32_t> start, col;
  std::vector<double> value;
};

RowView rows_of(const StandardForm& f) {
  RowView v;
  v.start.assign(f.num_row + 1, 0);
  for (int32_t r : f.a_index) ++v.start[static_cast<size_t>(r) + 1];
  for (size_t r = 0; r < f.num_row; ++r) v.start[r + 1] += v.start[r];
  v.col.resize(f.nnz());
  v.value.resize(f.nnz());
  std::vector<int32_t> next(v.start.begin(), v.start.end() - 1);
  for (size_t j = 0; j < f.num_col; ++j) {
    for (int32_t k = f.a_start[j]; k < f.a_start[j + 1]; ++k) {
      const auto pos = static_cast<size_t>(next[static_cast<size_t>(f.a_index[k])]++);
      v.col[pos] = static_cast<int32_t>(j);
      v.value[pos] = f.a_value[k];
    }
  }
  return v;
}

// Triplets appended in ascending row order; `finish` sorts them into columns
// stably, so rows stay ascending within every column.
struct TripletBuilder {
  std::vector<int32_t> row, col;
  std::vector<double> value;
  std::vector<double> b;

  size_t rows() const noexcept { return b.size(); }
  void entry(size_t c, double v) {
    row.push_back(static_cast<int32_t>(b.size()));
    col.push_back(static_cast<int32_t>(c));
    value.push_back(v);
  }
  void close_row(double rhs) { b.push_back(rhs); }

  CscMatrix finish(size_t num_col) const {
    CscMatrix m;
    m.rows = b.size();
    m.cols = num_col;
    m.start.assign(num_col + 1, 0);
    for (int32_t c : col) ++m.start[static_cast<size_t>(c) + 1];
    for (size_t j = 0; j < num_col; ++j) m.start[j + 1] += m.start[j];
    m.index.resize(value.size());
    m.value.resize(value.size());
    std::vector<int32_t> next(m.start.begin(), m.start.end() - 1);
    for (size_t k = 0; k < value.size(); ++k) {
      const auto pos = static_cast<size_t>(next[static_cast<size_t>(col[k])]++);
      m.index[pos] = row[k];
      m.value[pos] = value[k];
    }
    return m;
  }
};

// A bound that yields a row. NaN counts: it reaches the solver, which
// refuses it, instead of silently dropping the constraint.
bool bounded(double v) { return !std::isinf(v); }

void add_row(TripletBuilder& t, const RowView& v, size_t r, double scale, double rhs) {
  for (auto k = static_cast<size_t>(v.start[r]); k < static_cast<size_t>(v.start[r + 1]); ++k) {
    t.entry(static_cast<size_t>(v.col[k]), scale * v.value[k]);
  }
  t.close_row(rhs);
}

Ref cone(PyObject* clarabel, const char* name, size_t n) {
  Ref size = py_int(static_cast<long long>(n));
  return call_method(clarabel, name, size.get());
}

}  // namespace

ConicRows conic_rows(const StandardForm& f) {
  const RowView v = rows_of(f);
  TripletBuilder t;
  t.row.reserve(2 * f.nnz() + 2 * f.num_col);
  t.col.reserve(2 * f.nnz() + 2 * f.num_col);
  t.value.reserve(2 * f.nnz() + 2 * f.num_col);
  ConicRows out;

  for (size_t r = 0; r < f.num_row; ++r) {
    if (f.row_lower[r] == f.row_upper[r]) {
      add_row(t, v, r, 1.0, f.row_upper[r]);
      out.linear_origin.emplace_back(r, -1.0);
    }
  }
  out.zero_rows = t.rows();

  for (size_t r = 0; r < f.num_row; ++r) {
    const double lo = f.row_lower[r], up = f.row_upper[r];
    if (lo == up) continue;
    if (bounded(up)) {
      add_row(t, v, r, 1.0, up);
      out.linear_origin.emplace_back(r, -1.0);
    }
    if (bounded(lo)) {
      add_row(t, v, r, -1.0, -lo);
      out.linear_origin.emplace_back(r, 1.0);
    }
  }
  for (size_t j = 0; j < f.num_col; ++j) {
    if (bounded(f.col_upper[j])) {
      t.entry(j, 1.0);
      t.close_row(f.col_upper[j]);
    }
    if (bounded(f.col_lower[j])) {
      t.entry(j, -1.0);
      t.close_row(-f.col_lower[j]);
    }
  }
  out.nonnegative_rows = t.rows() - out.zero_rows;

  for (const auto& c : f.soc_cones) {
    for (VarIndex i : c) {
      t.entry(i, -1.0);
      t.close_row(0.0);
    }
    out.soc_sizes.push_back(c.size());
  }
  for (const auto& c : f.psd_cones) {
    // Entries run over the upper triangle column by column: (0,0), (0,1),
    // (1,1), (0,2), ...; the diagonal closes each column.
    size_t order = 0, row_in_col = 0;
    for (VarIndex i : c) {
      const bool diagonal = row_in_col == order;
      t.entry(i, diagonal ? -1.0 : -kSqrt2);
      t.close_row(0.0);
      if (diagonal) {
        ++order;
        row_in_col = 0;
      } else {
        ++row_in_col;
      }
    }
    out.psd_orders.push_back(order);
  }
  out.a = t.finish(f.num_col);
  out.b = t.b;
  return out;
}

SolveStatus clarabel_status_from_text(const std::string& s) {
  if (contains(s, "Solved") && !contains(s, "Almost")) return SolveStatus::Optimal;
  if (contains(s, "PrimalInfeasible")) return SolveStatus::Infeasible;
  if (contains(s, "DualInfeasible")) return SolveStatus::Unbounded;
  if (contains(s, "MaxIterations") || contains(s, "MaxTime")) return SolveStatus::TimeLimit;
  if (contains(s, "AlmostSolved")) return SolveStatus::Optimal;
  return SolveStatus::Unknown;
}

AdapterOutcome solve_with_clarabel(const StandardForm& f, const ModelData& model,
                                   const Options& options) {
  const SolveOptions& o = options.core;
  refuse_nonlinear(model, "Clarabel",
                   "nonlinear models need solver=\"ipopt\", which takes no cones");
  refuse_nan_bounds(f, model);
  double t0 = perf_counter();
  if (impossible_bounds(f, model)) return infeasible_without_solving("Clarabel", t0);
  Ref clarabel = import_module("clarabel");
  const SparseHandoff h;
  t0 = perf_counter();  // the packages' imports are not part of the run

  const ConicRows rows = conic_rows(f);
  Ref a = h.csc(rows.a);
  Ref p = h.hessian_upper(f);  // already the upper triangle
  Ref q = h.array(f.col_cost);
  Ref b = h.array(rows.b);

  Ref cones = check(PyList_New(0));
  auto append = [&](Ref c) { check_status(PyList_Append(cones.get(), c.get())); };
  if (rows.zero_rows) append(cone(clarabel.get(), "ZeroConeT", rows.zero_rows));
  if (rows.nonnegative_rows) append(cone(clarabel.get(), "NonnegativeConeT", rows.nonnegative_rows));
  for (size_t n : rows.soc_sizes) append(cone(clarabel.get(), "SecondOrderConeT", n));
  for (size_t d : rows.psd_orders) append(cone(clarabel.get(), "PSDTriangleConeT", d));

  Ref settings = call_method(clarabel.get(), "DefaultSettings");
  auto set = [&](const char* name, Ref value) {
    check_status(PyObject_SetAttrString(settings.get(), name, value.get()));
  };
  set("verbose", py_bool(o.verbose));
  if (o.time_limit) set("time_limit", py_float(*o.time_limit));
  set("tol_feas", py_float(1e-9));
  set("tol_gap_abs", py_float(1e-9));
  set("tol_gap_rel", py_float(1e-9));
  for_each_setting(options, [&](const std::string& key, PyObject* k, PyObject* v) {
    refusing("Clarabel", key, v, [&] { check_status(PyObject_SetAttr(settings.get(), k, v)); });
  });

  // Ctrl-C stops the run through Clarabel's termination callback, which it
  // asks once per iteration; a package without it runs to the end. A
  // signal during the hand-off raises KeyboardInterrupt before the set-up
  // (which holds the interpreter lock and cannot be cut short), one during
  // the set-up just after it.
  const InterruptWatch watch;
  Ref solver = call_method(clarabel.get(), "DefaultSolver", p.get(), q.get(), a.get(), b.get(),
                           cones.get(), settings.get());
  check_sigint();
  Ref stop = watch.callable();
  if (!Ref::steal(PyObject_CallMethod(solver.get(), "set_termination_callback", "O", stop.get()))) {
    PyErr_Clear();
  }
  // One iteration (a factorisation) of a large model takes a second or
  // more, so the run goes on a worker thread and a signal gives it up
  // before the next callback comes.
  Ref solve = get_attr(solver.get(), "solve");
  Ref no_args = check(PyTuple_New(0));
  Ref solution = call_answering_ctrl_c(solve.get(), no_args.get(), nullptr, watch);
  AdapterOutcome out;
  ResultData& r = out.data;
  r.solve_time = perf_counter() - t0;
  r.solver = "Clarabel";
  if (!solution) {
    // Given up: the run ends by itself at its next callback, with no point
    // to keep (an interrupted interior-point run reports none).
    watch.settle(true);
    r.status = SolveStatus::Interrupted;
    return out;
  }

  Ref status = get_attr(solution.get(), "status");
  Ref text = check(PyObject_Repr(status.get()));
  Py_ssize_t n = 0;
  const char* c = PyUnicode_AsUTF8AndSize(text.get(), &n);
  if (!c) throw_already_set();
  const std::string status_text(c, static_cast<size_t>(n));
  // An interior-point run keeps no incumbent: an interrupted one has no point.
  const bool stopped = contains(status_text, "CallbackTerminated");
  watch.settle(stopped);
  r.status = stopped ? SolveStatus::Interrupted : clarabel_status_from_text(status_text);
  if (r.status == SolveStatus::Optimal) {
    Ref x = get_attr(solution.get(), "x");
    r.primals = read_floats(x.get());
    Ref obj = get_attr(solution.get(), "obj_val");
    r.objective = f.model_objective(to_double(obj.get()));
    // The multipliers z of A x + s = b give d(objective)/d(b) = -z; a row
    // of the model appears as up to two conic rows (its two sides).
    if (Ref z_attr = attr_or_null(solution.get(), "z")) {
      const std::vector<double> z = read_floats(z_attr.get());
      std::vector<double> duals(f.num_row, 0.0);
      for (size_t k = 0; k < rows.linear_origin.size() && k < z.size(); ++k) {
        duals[rows.linear_origin[k].first] += rows.linear_origin[k].second * z[k];
      }
      r.duals = model_duals(f, std::move(duals));
    }
  }
  r.iterations = count_or_zero(attr_or_null(solution.get(), "iterations").get());
  return out;
}

}  // namespace pelora::py
