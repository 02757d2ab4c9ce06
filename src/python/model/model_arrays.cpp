#include "python/model/model_arrays.hpp"

#include <cmath>
#include <utility>

#include "core/model/building.hpp"
#include "core/uninit_vector.hpp"
#include "core/model/editing.hpp"
#include "python/algebra/arrays.hpp"
#include "python/algebra/objects.hpp"
#include "python/model/model_object.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/sequence.hpp"

namespace pelora::py {

namespace {

const Params<5> kAddMatrix{"Model.add_matrix()", {"A", "variables", "sense", "rhs", "names"}, 4, false};

constexpr const char* kSenseMessage = "add_matrix: sense must be '<=', '>=' or '==' (or a sequence of them, one per row)";

Sense sense_of(PyObject* o) {
  if (!PyUnicode_Check(o)) throw_value_error(kSenseMessage);
  const char* s = PyUnicode_AsUTF8AndSize(o, nullptr);
  if (!s) throw_already_set();
  const std::string t(s);
  if (t == "<=") return Sense::Le;
  if (t == ">=") return Sense::Ge;
  if (t == "==") return Sense::Eq;
  throw_value_error(kSenseMessage);
}

// One sense per row, from a str or a sequence of str.
std::vector<Sense> senses(PyObject* o, size_t rows) {
  if (PyUnicode_Check(o)) return std::vector<Sense>(rows, sense_of(o));
  if (!PySequence_Check(o)) throw_value_error(kSenseMessage);
  Ref fast = sequence_list(o);
  const size_t n = static_cast<size_t>(PyList_Size(fast.get()));
  if (n != rows) {
    throw_value_error("add_matrix: " + std::to_string(n) + " senses for " + std::to_string(rows) + " rows");
  }
  std::vector<Sense> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out.push_back(sense_of(PyList_GetItem(fast.get(), static_cast<Py_ssize_t>(i))));
  return out;
}

std::vector<double> right_hand_sides(PyObject* o, size_t rows) {
  double k;
  if (!is_array_like(o) && PyNumber_Check(o)) {
    k = PyFloat_AsDouble(o);
    if (k == -1.0 && PyErr_Occurred()) throw_already_set();
    if (std::isnan(k)) throw_value_error("add_matrix: rhs contains a NaN entry");
    return std::vector<double>(rows, k);
  }
  DoubleArray r(o, "add_matrix: rhs", true);
  if (r.shape().empty()) return std::vector<double>(rows, r.values()[0]);  // numpy scalar, 0-d array
  if (r.values().size() != rows) {
    throw_value_error("add_matrix: " + std::to_string(r.values().size()) + " rhs values for " +
                      std::to_string(rows) + " rows");
  }
  return std::vector<double>(r.values().begin(), r.values().end());
}

std::vector<std::optional<std::string>> row_names(PyObject* o, size_t rows) {
  std::vector<std::optional<std::string>> out(rows);
  if (!o || o == Py_None) return out;
  if (PyUnicode_Check(o) || !PySequence_Check(o)) throw_type_error("add_matrix: names must be a sequence of str");
  Ref fast = sequence_list(o);
  const size_t n = static_cast<size_t>(PyList_Size(fast.get()));
  if (n != rows) {
    throw_value_error("add_matrix: " + std::to_string(n) + " names for " + std::to_string(rows) + " rows");
  }
  for (size_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(fast.get(), static_cast<Py_ssize_t>(i));
    if (!PyUnicode_Check(item)) throw_type_error("add_matrix: names must be a sequence of str");
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(item, &len);
    if (!s) throw_already_set();
    out[i] = std::string(s, static_cast<size_t>(len));
  }
  return out;
}

}  // namespace

PyObject* model_add_matrix(PyObject* self, PyObject* args, PyObject* kw) {
  return boundary([&] {
    auto a = match(kAddMatrix, args, kw);
    LinearRows rows;  // built here, outside the lock, then appended at once
    VarIndex max_index = 0;
    ModelId owner = kNoModel;  // the model of the variables, checked under the lock
    std::optional<VarIndex> first_var;
    std::string first_name;
    {
      const CsrMatrix m = read_matrix(a[0], "add_matrix: A");
      const VarIndices read = read_var_indices(a[1], "add_matrix: variables", &owner);
      const auto& vars = read.index;
      if (m.cols != vars.size()) {
        throw_value_error("add_matrix: A has " + std::to_string(m.cols) + " columns but " +
                          std::to_string(vars.size()) + " variables were given");
      }
      const std::vector<Sense> sense = senses(a[2], m.rows);
      const std::vector<double> rhs = right_hand_sides(a[3], m.rows);
      std::vector<std::optional<std::string>> names = row_names(a[4], m.rows);
      max_index = read.top;
      if (!vars.empty()) {
        first_var = vars[0];
        Ref v = check(PySequence_GetItem(a[1], 0));
        if (is_var(v.get())) first_name = var_value(v.get()).name();
      }
      const bool distinct = read.distinct();
      // Duplicate columns within a row (repeated variables, or repeated
      // entries of a COO or unsorted matrix) are merged: `slot[v]` holds the
      // position of v in the row being built, valid while `stamp[v]` is the
      // row. Both are made for the first row that needs them.
      std::vector<uint32_t> slot, stamp;
      std::vector<Term> row;
      // Room for the longest row, written by position (no growth checks).
      size_t longest = 0;
      for (size_t r = 0; r < m.rows; ++r) {
        longest = std::max(longest, static_cast<size_t>(m.indptr[r + 1] - m.indptr[r]));
      }
      UninitVector<VarIndex> kept_index(longest + 1);
      UninitVector<double> kept_value(longest + 1);
      const int64_t* const col = m.indices.data();
      const double* const val = m.data.data();
      const VarIndex* const var_of = vars.data();
      rows.reserve(m.rows, static_cast<size_t>(m.indptr[m.rows]));
      for (size_t r = 0; r < m.rows; ++r) {
        const int64_t begin = m.indptr[r], end = m.indptr[r + 1];
        // A canonical row (column indices strictly increasing) over distinct
        // variables has nothing to merge: its entries go straight over,
        // zero and cancelling ones dropped as below. One pass both copies
        // and checks; a row that turns out not canonical is merged instead.
        size_t n = 0;
        bool canonical = true;
        int64_t previous = -1;
        for (int64_t k = begin; k < end; ++k) {
          const int64_t j = col[k];
          const double c = val[k];
          canonical &= j > previous;
          previous = j;
          kept_index[n] = var_of[j];
          kept_value[n] = c;
          n += std::fabs(c) >= kCancelTolerance;
        }
        if (distinct && canonical) {
          rows.append(std::span<const VarIndex>(kept_index.data(), n), std::span<const double>(kept_value.data(), n),
                      rhs[r], sense[r], std::move(names[r]));
          continue;
        }
        if (slot.empty()) {
          slot.resize(max_index);
          stamp.assign(max_index, UINT32_MAX);
        }
        row.clear();
        for (int64_t k = begin; k < end; ++k) {
          const double c = m.value(static_cast<size_t>(k));
          if (c == 0.0) continue;
          const VarIndex v = vars[static_cast<size_t>(m.index(static_cast<size_t>(k)))];
          if (stamp[v] == r) {
            row[slot[v]].coef += c;
            continue;
          }
          stamp[v] = static_cast<uint32_t>(r);
          slot[v] = static_cast<uint32_t>(row.size());
          row.push_back(Term{v, c});
        }
        // Merged entries that cancelled are dropped, as in an expression.
        n = 0;
        for (const Term& t : row) {
          if (std::fabs(t.coef) < kCancelTolerance) continue;
          kept_index[n] = t.index;
          kept_value[n] = t.coef;
          ++n;
        }
        rows.append(std::span<const VarIndex>(kept_index.data(), n), std::span<const double>(kept_value.data(), n),
                    rhs[r], sense[r], std::move(names[r]));
      }
    }
    const size_t count = rows.size();
    const size_t first = with_model_lock(self, [&](ModelData& d) {
      if (!owns(d, owner, max_index)) {
        ForeignVariable e(owner, first_var);
        e.name = first_name;
        throw e;
      }
      if (max_index > d.variables.size()) throw_value_error("add_matrix: a variable does not belong to this model");
      return add_linear_constraints(d, std::move(rows));
    });
    Ref list = check(PyList_New(static_cast<Py_ssize_t>(count)));
    for (size_t i = 0; i < count; ++i) {
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), check(PyLong_FromSize_t(first + i)).release());
    }
    return list.release();
  });
}

std::optional<std::vector<double>> bound_sequence(PyObject* o, size_t count, const char* what) {
  if (!o || !is_array_like(o)) return std::nullopt;
  DoubleArray v(o, what, true);
  if (v.shape().empty()) return std::nullopt;  // a numpy scalar or 0-d array: one number
  if (v.values().size() != count || v.shape().size() > 1) {
    throw_value_error(std::string(what) + ": " + std::to_string(v.values().size()) + " bounds for " +
                      std::to_string(count) + " variables");
  }
  return std::vector<double>(v.values().begin(), v.values().end());
}

}  // namespace pelora::py
