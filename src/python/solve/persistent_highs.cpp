// PersistentHighs: a HiGHS instance loaded once with a model's linear part,
// changed in place (bounds, costs, coefficients) and re-solved. Mirrors of
// the bounds and costs stay readable from Python.
#include <cmath>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/format.hpp"

#include "python/model/model_object.hpp"
#include "python/registry.hpp"
#include "python/result/result_object.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/imports.hpp"
#include "python/runtime/sequence.hpp"
#include "python/runtime/types.hpp"
#include "python/solve/arrays.hpp"
#include "python/solve/handoff.hpp"
#include "python/solve/highs_adapter.hpp"
#include "python/solve/interrupt.hpp"
#include "python/solve/model_solve.hpp"
#include "python/solve/options_reader.hpp"

namespace pelora::py {
namespace {

struct PersistentState {
  Ref highspy;
  Ref highs;
  std::vector<double> row_lower, row_upper;
  std::vector<double> col_lower, col_upper;
  std::vector<double> col_cost;  // minimisation convention (negated for a maximising model)
  size_t num_cols = 0;
  size_t num_rows = 0;
  double offset = 0.0;
  // The `threads` count given at creation. HiGHS's thread scheduler is shared
  // by the process, so another solve may have resized it before a resolve.
  std::optional<uint32_t> threads;
  bool maximize = false;
  // The model's identity alone (no variables, no rows): its Results read
  // only that model's variables.
  std::shared_ptr<const ModelSnapshot> identity;
  ModelMutex mutex;       // held by the method working on the HiGHS object
  std::thread::id owner;  // the thread holding `mutex` (default id: none)
};

PersistentState& state_of(PyObject* self) { return unbox<PersistentState>(self); }

// Every method that reads or changes the HiGHS object (updates, resolve)
// holds the object's mutex for its whole length: HiGHS releases the
// interpreter lock while it runs, so without it two threads' runs would
// overlap on one HiGHS instance. Another thread waits for the mutex with the
// interpreter lock released (Ctrl-C ends the wait); the holding thread itself, re-entering from a
// call it makes, gets RuntimeError "Already borrowed" instead of a deadlock.
class Exclusive {
 public:
  explicit Exclusive(PersistentState& s) : s_(s) {
    const std::thread::id me = std::this_thread::get_id();
    if (s.owner == me) throw_runtime_error("Already borrowed");
    if (!s.mutex.try_lock()) wait_for_model(s.mutex);
    s.owner = me;
  }
  ~Exclusive() {
    s_.owner = std::thread::id();
    s_.mutex.unlock();
  }
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;

 private:
  PersistentState& s_;
};

// The mirrors (bounds, costs, sizes) change only under the mutex and with
// the interpreter lock held. A reader on another thread waits for the mutex,
// so it never sees an update half applied; the holding thread may read them
// from inside its own call (they stay whole between two entries).
class Reading {
 public:
  explicit Reading(PersistentState& s) {
    if (s.owner != std::this_thread::get_id()) lock_.emplace(s);
  }

 private:
  std::optional<Exclusive> lock_;
};

// --- argument conversions --------------------------------------------------------

PyObject* as_sequence(PyObject* o) {
  if (PyUnicode_Check(o)) throw_type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(o)) throw_cannot_convert(o, "Sequence");
  return o;
}

std::vector<size_t> read_indices(PyObject* o) {
  as_sequence(o);
  std::vector<size_t> out;
  for_each_item(o, [&](PyObject* item) {
    // Any integer (NumPy's included), through its __index__.
    Ref index = check(PyNumber_Index(item));
    const size_t v = PyLong_AsSize_t(index.get());
    if (v == static_cast<size_t>(-1) && PyErr_Occurred()) throw_already_set();
    out.push_back(v);
  });
  return out;
}

std::vector<double> read_values(PyObject* o) {
  as_sequence(o);
  return read_floats(o);
}

void check_range(const std::vector<size_t>& indices, size_t size, const char* what) {
  for (size_t i : indices) {
    if (i >= size) {
      throw_error(PyExc_IndexError, std::string(what) + " index " + std::to_string(i) +
                                        " is out of range: the loaded model has " +
                                        std::to_string(size) + " " + what + "s");
    }
  }
}

void check_length(const char* name, size_t have, const char* index_name, size_t need) {
  if (have < need) {
    throw_value_error(std::string(name) + " has " + std::to_string(have) + " values but " +
                      index_name + " has " + std::to_string(need));
  }
}

// HiGHS takes a NaN cost or coefficient as it is and refuses a NaN bound;
// either way the loaded model and the mirrors would part. Checked over the
// positions the update uses, before anything changes.
void check_no_nan(const char* name, const std::vector<double>& values, size_t used) {
  for (size_t k = 0; k < used; ++k) {
    if (std::isnan(values[k])) {
      throw_value_error(std::string(name) + "[" + std::to_string(k) + "] is NaN");
    }
  }
}

// A change HiGHS answers with an error status (an infinite lower bound, a
// coefficient it counts as infinite, ...) was not applied: it must not reach
// the mirror, and the caller must learn of it.
template <class Describe>
void check_accepted(const PersistentState& st, const Ref& status, Describe describe) {
  if (highs_status_is(st.highspy.get(), status.get(), "kError")) {
    throw_value_error("HiGHS refused " + describe());
  }
}

Ref float_pair(const std::vector<double>& a, const std::vector<double>& b) {
  Ref la = float_list(a), lb = float_list(b);
  return check(PyTuple_Pack(2, la.get(), lb.get()));
}

// --- from_model --------------------------------------------------------------------

constexpr Params<0> kFromModelParams{"PersistentHighs.from_model()", {}, 0, true};

PyObject* from_model(PyObject*, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kFromModelParams, args, kw);
    PyObject* kwargs = a.extra.get();
    PyObject* model = option_item(kwargs, "model");
    if (!model) throw_value_error("model keyword required");
    convert_arg("model", [&] {
      if (!is_model(model)) throw_cannot_convert(model, "Model");
    });
    return with_model_lock(model, [&](ModelData& data) {
      StandardForm form = standard_form_of(data);
      refuse_cones(form, "PersistentHighs", "use Model.solve(), which sends cones to Clarabel");
      refuse_nonlinear(data, "PersistentHighs", "use Model.solve()");
      bool verbose = false;
      std::optional<uint32_t> threads;
      if (PyObject* v = option_item(kwargs, "verbose")) verbose = option_bool(v);
      std::optional<double> gap, time_limit;
      if (PyObject* v = option_item(kwargs, "threads")) threads = option_u32(v);
      if (PyObject* v = option_item(kwargs, "gap")) gap = option_float(v);
      if (PyObject* v = option_item(kwargs, "time_limit")) time_limit = option_float(v);

      PersistentState st;
      const ImportPurpose purpose("PersistentHighs");
      auto identity = std::make_shared<ModelSnapshot>();
      identity->model = data.id;
      identity->origins = data.origins;
      st.identity = std::move(identity);
      st.highspy = import_module("highspy");
      const Numpy np;
      st.highs = new_highs(st.highspy.get(), verbose);
      PyObject* h = st.highs.get();
      if (!verbose) set_highs_option(h, "output_flag", Py_False);
      set_highs_option(h, "presolve", py_str("off").get());
      if (time_limit) set_highs_option(h, "time_limit", py_float(*time_limit).get());
      if (gap) set_highs_option(h, "mip_rel_gap", py_float(*gap).get());
      if (threads) {
        check_highs_threads(h, *threads);
        set_highs_option(h, "threads", py_int(*threads).get());
      } else {
        note_highs_automatic_threads();
      }
      // The quadratic objective goes in whole: its linear part alone would
      // be a different problem, answered as if it were this one.
      if (!load_into_highs(st.highspy.get(), h, np, form, /*with_hessian=*/true)) {
        throw_value_error("HiGHS rejected the model (passModel returned an error)");
      }
      st.row_lower = std::move(form.row_lower);
      st.row_upper = std::move(form.row_upper);
      st.col_lower = std::move(form.col_lower);
      st.col_upper = std::move(form.col_upper);
      st.col_cost = std::move(form.col_cost);
      st.num_cols = form.num_col;
      st.num_rows = form.num_row;
      st.offset = form.offset;
      st.threads = threads;
      st.maximize = form.maximize;
      return box_new(persistent_highs_type(), std::move(st));
    });
  });
}

// --- updates -----------------------------------------------------------------------

constexpr Params<3> kColBoundsParams{"PersistentHighs.update_col_bounds()",
                                     {"indices", "lowers", "uppers"}, 3, false};
constexpr Params<3> kRowBoundsParams{"PersistentHighs.update_row_bounds()",
                                     {"indices", "lowers", "uppers"}, 3, false};
constexpr Params<2> kCostParams{"PersistentHighs.update_col_costs()", {"indices", "costs"}, 2,
                                false};
constexpr Params<3> kCoeffParams{"PersistentHighs.update_matrix_coeffs()",
                                 {"rows", "cols", "values"}, 3, false};

// Shared by the two bound updates: every index, length and NaN is checked
// before the first change, then the entries are applied in order; HiGHS's
// own exception, or a change it refuses, stops the loop with the earlier
// entries applied and mirrored.
PyObject* update_bounds(PyObject* self, PyObject* args, PyObject* kw, const Params<3>& params,
                        bool rows) {
  return boundary([&] {
    auto a = match(params, args, kw);
    const std::vector<size_t> indices = a.convert(0, read_indices);
    const std::vector<double> lowers = a.convert(1, read_values);
    const std::vector<double> uppers = a.convert(2, read_values);
    PersistentState& st = state_of(self);
    Exclusive borrow(st);
    std::vector<double>& lo = rows ? st.row_lower : st.col_lower;
    std::vector<double>& up = rows ? st.row_upper : st.col_upper;
    check_range(indices, lo.size(), rows ? "row" : "column");
    check_length("lowers", lowers.size(), "indices", indices.size());
    check_length("uppers", uppers.size(), "indices", indices.size());
    check_no_nan("lowers", lowers, indices.size());
    check_no_nan("uppers", uppers, indices.size());
    const char* method = rows ? "changeRowBounds" : "changeColBounds";
    for (size_t k = 0; k < indices.size(); ++k) {
      Ref i = py_int(static_cast<long long>(indices[k]));
      Ref l = py_float(lowers[k]), u = py_float(uppers[k]);
      Ref status = call_method(st.highs.get(), method, i.get(), l.get(), u.get());
      check_accepted(st, status, [&] {
        return "the bounds (" + plain_number(lowers[k]) + ", " + plain_number(uppers[k]) + ") of " +
               (rows ? "row " : "column ") + std::to_string(indices[k]);
      });
      lo[indices[k]] = lowers[k];
      up[indices[k]] = uppers[k];
    }
    Py_RETURN_NONE;
  });
}

PyObject* update_col_bounds(PyObject* self, PyObject* args, PyObject* kw) {
  return update_bounds(self, args, kw, kColBoundsParams, /*rows=*/false);
}

PyObject* update_row_bounds(PyObject* self, PyObject* args, PyObject* kw) {
  return update_bounds(self, args, kw, kRowBoundsParams, /*rows=*/true);
}

PyObject* update_col_costs(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kCostParams, args, kw);
    const std::vector<size_t> indices = a.convert(0, read_indices);
    const std::vector<double> costs = a.convert(1, read_values);
    PersistentState& st = state_of(self);
    Exclusive borrow(st);
    check_range(indices, st.col_cost.size(), "column");
    check_length("costs", costs.size(), "indices", indices.size());
    check_no_nan("costs", costs, indices.size());
    for (size_t k = 0; k < indices.size(); ++k) {
      Ref i = py_int(static_cast<long long>(indices[k]));
      Ref c = py_float(costs[k]);
      Ref status = call_method(st.highs.get(), "changeColCost", i.get(), c.get());
      check_accepted(st, status, [&] {
        return "the cost " + plain_number(costs[k]) + " of column " + std::to_string(indices[k]);
      });
      st.col_cost[indices[k]] = costs[k];
    }
    Py_RETURN_NONE;
  });
}

PyObject* update_matrix_coeffs(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kCoeffParams, args, kw);
    const std::vector<size_t> rows = a.convert(0, read_indices);
    const std::vector<size_t> cols = a.convert(1, read_indices);
    const std::vector<double> values = a.convert(2, read_values);
    PersistentState& st = state_of(self);
    Exclusive borrow(st);
    check_length("cols", cols.size(), "rows", rows.size());
    check_length("values", values.size(), "rows", rows.size());
    check_range(rows, st.num_rows, "row");
    for (size_t k = 0; k < rows.size(); ++k) {
      if (cols[k] >= st.num_cols) check_range({cols[k]}, st.num_cols, "column");
    }
    check_no_nan("values", values, rows.size());
    for (size_t k = 0; k < rows.size(); ++k) {
      Ref r = py_int(static_cast<long long>(rows[k]));
      Ref c = py_int(static_cast<long long>(cols[k]));
      Ref v = py_float(values[k]);
      Ref status = call_method(st.highs.get(), "changeCoeff", r.get(), c.get(), v.get());
      check_accepted(st, status, [&] {
        return "the coefficient " + plain_number(values[k]) + " at row " + std::to_string(rows[k]) +
               ", column " + std::to_string(cols[k]);
      });
    }
    Py_RETURN_NONE;
  });
}

// --- accessors and resolve ------------------------------------------------------------

PyObject* row_bounds(PyObject* self, PyObject*) {
  return boundary([&] {
    PersistentState& st = state_of(self);
    Reading borrow(st);
    return float_pair(st.row_lower, st.row_upper).release();
  });
}

PyObject* col_bounds(PyObject* self, PyObject*) {
  return boundary([&] {
    PersistentState& st = state_of(self);
    Reading borrow(st);
    return float_pair(st.col_lower, st.col_upper).release();
  });
}

PyObject* col_costs(PyObject* self, PyObject*) {
  return boundary([&] {
    PersistentState& st = state_of(self);
    Reading borrow(st);
    return float_list(st.col_cost).release();
  });
}

PyObject* num_cols(PyObject* self, PyObject*) {
  return boundary([&] {
    PersistentState& st = state_of(self);
    Reading borrow(st);
    return PyLong_FromSize_t(st.num_cols);
  });
}

PyObject* num_rows(PyObject* self, PyObject*) {
  return boundary([&] {
    PersistentState& st = state_of(self);
    Reading borrow(st);
    return PyLong_FromSize_t(st.num_rows);
  });
}

PyObject* resolve(PyObject* self, PyObject*) {
  return boundary([&] {
    // Ctrl-C from here to the return: the run answers it, or the call
    // raises KeyboardInterrupt.
    DeferSigint hold_ctrl_c;
    PersistentState& st = state_of(self);
    Exclusive borrow(st);
    PyObject* h = st.highs.get();
    AdapterOutcome out;
    ResultData& r = out.data;
    r.solver = "HiGHS";
    const double t0 = perf_counter();
    const InterruptWatch watch;
    Ref run_status;
    if (st.threads) {
      check_highs_threads(h, *st.threads);
    } else {
      note_highs_automatic_threads();
    }
    {
      HighsInterrupt stop_on_ctrl_c(h, watch);
      run_status = call_method(h, "run");
    }
    r.solve_time = perf_counter() - t0;
    r.status = highs_status_is(st.highspy.get(), run_status.get(), "kError")
                   ? SolveStatus::Error
                   : highs_status(h, /*iteration_rule=*/false);
    watch.settle(r.status == SolveStatus::Interrupted);

    if (r.status == SolveStatus::Optimal || r.status == SolveStatus::TimeLimit ||
        r.status == SolveStatus::Interrupted) {
      Ref key = py_str("objective_function_value");
      Ref pair = call_method(h, "getInfoValue", key.get());
      if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
        throw_type_error("getInfoValue did not return a (status, value) pair");
      }
      const double v = as_double(PyTuple_GetItem(pair.get(), 1));
      Ref sol = call_method(h, "getSolution");
      if (solution_flag(sol.get(), "value_valid")) {
        const double total = v + st.offset;
        r.objective = st.maximize ? -total : total;
        Ref col_value = get_attr(sol.get(), "col_value");
        r.primals = read_floats(col_value.get());
        if (solution_flag(sol.get(), "dual_valid")) {
          // In the model's own sense, as Model.solve reports them.
          Ref row_dual = get_attr(sol.get(), "row_dual");
          r.duals = read_floats(row_dual.get());
          if (st.maximize) {
            for (double& d : *r.duals) d = 0.0 - d;
          }
        }
      }
    }

    Ref key = py_str("simplex_iteration_count");
    Ref pair = call_method(h, "getInfoValue", key.get());
    if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
      throw_type_error("getInfoValue did not return a (status, value) pair");
    }
    // Unset (a warning status) or not a count: absent.
    PyObject* value = PyTuple_GetItem(pair.get(), 1);
    if (highs_status_is(st.highspy.get(), PyTuple_GetItem(pair.get(), 0), "kOk") &&
        PyLong_Check(value)) {
      const unsigned long long n = PyLong_AsUnsignedLongLong(value);
      if (PyErr_Occurred()) {
        PyErr_Clear();
      } else {
        r.iterations = n;
      }
    }
    out.basis = call_method(h, "getBasis");
    Ref result = check(pack_result(std::move(out), st.identity));
    hold_ctrl_c.finish();
    return result.release();
  });
}

template <auto F>
PyCFunction fn() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef methods[] = {
    {"from_model", fn<from_model>(), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_model(**kwargs)\n--\n\n"},
    {"update_col_bounds", fn<update_col_bounds>(), METH_VARARGS | METH_KEYWORDS,
     "update_col_bounds($self, indices, lowers, uppers)\n--\n\n"},
    {"update_row_bounds", fn<update_row_bounds>(), METH_VARARGS | METH_KEYWORDS,
     "update_row_bounds($self, indices, lowers, uppers)\n--\n\n"},
    {"update_col_costs", fn<update_col_costs>(), METH_VARARGS | METH_KEYWORDS,
     "update_col_costs($self, indices, costs)\n--\n\n"},
    {"update_matrix_coeffs", fn<update_matrix_coeffs>(), METH_VARARGS | METH_KEYWORDS,
     "update_matrix_coeffs($self, rows, cols, values)\n--\n\nUpdate individual "
     "constraint-matrix coefficients in place\n(HiGHS changeCoeff) \xe2\x80\x94 Phase 20.x.4. "
     "Expert API: the caller is\nresponsible for keeping the mirrored HostSystem consistent."},
    {"row_bounds", row_bounds, METH_NOARGS,
     "row_bounds($self)\n--\n\nCurrent (lower, upper) row bounds as loaded/updated \xe2\x80\x94 "
     "Phase 18.a."},
    {"col_bounds", col_bounds, METH_NOARGS,
     "col_bounds($self)\n--\n\nCurrent (lower, upper) column bounds as loaded/updated."},
    {"col_costs", col_costs, METH_NOARGS,
     "col_costs($self)\n--\n\nCurrent column costs as loaded/updated."},
    {"resolve", resolve, METH_NOARGS, "resolve($self)\n--\n\n"},
    {"num_cols", num_cols, METH_NOARGS, "num_cols($self)\n--\n\n"},
    {"num_rows", num_rows, METH_NOARGS, "num_rows($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<PersistentState>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec type_def = {
    "pelora_opt.PersistentHighs",
    static_cast<int>(sizeof(Box<PersistentState>)),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

PyTypeObject* g_type = nullptr;

}  // namespace

PyTypeObject* persistent_highs_type() { return type_once(g_type, type_def); }

}  // namespace pelora::py
