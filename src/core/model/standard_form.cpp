#include "core/model/standard_form.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <type_traits>
#include <unordered_set>

#include "core/expr/tree_walk.hpp"
#include "core/scan.hpp"

namespace pelora {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr size_t kMaxIndex = static_cast<size_t>(std::numeric_limits<int32_t>::max());

struct IndexChecker {
  size_t num_col;

  void check(VarIndex i, const char* where) const {
    if (static_cast<size_t>(i) >= num_col) {
      throw InvalidModel("variable index " + std::to_string(i) + " in " + where +
                            " is out of range: the model has " + std::to_string(num_col) +
                            " variable" + (num_col == 1 ? "" : "s") +
                            " (a Var from another model?)");
    }
  }
  void check(const Expr& e, const char* where) const {
    // The largest index first (one compare per term); the terms are walked
    // again for the first offending one only when there is one.
    VarIndex top = 0;
    for (const Term& t : e.terms) top = std::max(top, t.index);
    if (e.terms.empty() || static_cast<size_t>(top) < num_col) return;
    for (const Term& t : e.terms) check(t.index, where);
  }
  void check(const RowTerms& t, const char* where) const {
    for (VarIndex i : t.indices()) check(i, where);
  }
  void check(const NlExpr& e, const char* where) const {
    check(e.linear, where);
    for_each_tree_var(e, [&](VarIndex i) { check(i, where); });
  }
};

bool has_nonlinear_terms(const NlExpr& e) { return !e.nl_terms.empty(); }

Hessian build_hessian(const QuadExpr& q, size_t num_col, double sign) {
  struct Entry {
    int32_t col, row;
    double value;
  };
  std::vector<Entry> entries;
  entries.reserve(q.quad_terms.size());
  for (const QuadTerm& t : q.quad_terms) {
    const VarIndex lo = std::min(t.i, t.j), hi = std::max(t.i, t.j);
    const double scale = lo == hi ? 2.0 : 1.0;
    entries.push_back({static_cast<int32_t>(hi), static_cast<int32_t>(lo), scale * sign * t.coef});
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.col != b.col ? a.col < b.col : a.row < b.row;
  });
  size_t distinct = 0;
  for (size_t k = 0; k < entries.size(); ++k) {
    if (k == 0 || entries[k].col != entries[k - 1].col || entries[k].row != entries[k - 1].row) {
      ++distinct;
    }
  }
  Hessian h;
  h.q_start.assign(num_col + 1, 0);
  h.q_index.resize(distinct);
  h.q_value.resize(distinct);
  size_t out = 0;
  for (size_t k = 0; k < entries.size(); ++k) {
    const Entry& e = entries[k];
    if (k > 0 && e.col == entries[k - 1].col && e.row == entries[k - 1].row) {
      h.q_value[out - 1] += e.value;
      continue;
    }
    h.q_index[out] = e.row;
    h.q_value[out] = e.value;
    ++h.q_start[static_cast<size_t>(e.col) + 1];
    ++out;
  }
  for (size_t j = 0; j < num_col; ++j) h.q_start[j + 1] += h.q_start[j];
  return h;
}

void set_linear_objective(StandardForm& f, const Expr& e, double sign) {
  for (const Term& t : e.terms) f.col_cost[t.index] = sign * t.coef;
  f.offset = sign * e.constant;
}

}  // namespace

void StandardForm::release_columns() noexcept {
  std::vector<int32_t>().swap(a_start);
  decltype(a_index)().swap(a_index);
  decltype(a_value)().swap(a_value);
  std::vector<double>().swap(col_lower);
  std::vector<double>().swap(col_upper);
  std::vector<double>().swap(col_cost);
  if (!has_integer()) std::vector<int32_t>().swap(integrality);
  if (num_col > 0) {
    std::vector<double>().swap(row_lower);
    std::vector<double>().swap(row_upper);
  }
}

bool StandardForm::has_integer() const noexcept {
  return any_nonzero(integrality.data(), integrality.size());
}

namespace {

// Every index outside the linear rows (which the matrix build checks as it
// counts their entries).
void check_indices_beyond_rows(const ModelData& m) {
  const IndexChecker c{m.variables.size()};
  for (const NonlinearConstraint& k : m.nl_constraints) c.check(k.body, "a nonlinear constraint");
  if (m.objective) {
    if (const auto* e = std::get_if<Expr>(&*m.objective)) {
      c.check(*e, "the objective");
    } else if (const auto* q = std::get_if<QuadExpr>(&*m.objective)) {
      c.check(q->linear, "the objective");
      for (const QuadTerm& t : q->quad_terms) {
        c.check(t.i, "the objective");
        c.check(t.j, "the objective");
      }
    } else {
      c.check(std::get<NlExpr>(*m.objective), "the objective");
    }
  }
  for (const auto& cone : m.soc_cones)
    for (VarIndex i : cone) c.check(i, "a second-order cone");
  for (const auto& cone : m.psd_cones)
    for (VarIndex i : cone) c.check(i, "a PSD cone");
}

}  // namespace

void check_variable_indices(const ModelData& m) {
  const IndexChecker c{m.variables.size()};
  for (size_t r = 0; r < m.constraints.size(); ++r) c.check(m.constraints.terms(r), "a constraint");
  check_indices_beyond_rows(m);
}

namespace {

// A forward iterator over variable records giving one field of each, so that
// a column array is filled by one assign (sized once, each entry written once).
template <class Get>
struct RecordField {
  using iterator_category = std::forward_iterator_tag;
  using value_type = std::invoke_result_t<Get, const VarRecord&>;
  using difference_type = std::ptrdiff_t;
  using pointer = const value_type*;
  using reference = value_type;

  const VarRecord* at;
  Get get;

  RecordField(const VarRecord* p, Get g) : at(p), get(g) {}
  value_type operator*() const { return get(*at); }
  RecordField& operator++() {
    ++at;
    return *this;
  }
  RecordField operator++(int) {
    RecordField old = *this;
    ++at;
    return old;
  }
  bool operator==(const RecordField& o) const { return at == o.at; }
  bool operator!=(const RecordField& o) const { return at != o.at; }
};

}  // namespace

StandardForm build_standard_form(const ModelData& m) {
  // The indices are checked as check_variable_indices does, in its order:
  // the rows' while the matrix build counts their entries, then the rest.
  const size_t n = m.variables.size();
  const size_t r = m.constraints.size();
  if (n > kMaxIndex || r > kMaxIndex) {
    throw InvalidModel("model too large: at most 2147483647 variables and constraints");
  }
  const double sign = m.maximize ? -1.0 : 1.0;

  StandardForm f;
  f.num_col = n;
  f.num_row = r;
  f.maximize = m.maximize;

  // Each column array is written once from the records (no zero fill first).
  const VarRecord* const vars = m.variables.data();
  const auto lower = [](const VarRecord& v) { return v.lower; };
  const auto upper = [](const VarRecord& v) { return v.upper; };
  f.col_lower.assign(RecordField(vars, lower), RecordField(vars + n, lower));
  f.col_upper.assign(RecordField(vars, upper), RecordField(vars + n, upper));
  const auto integral = [](const VarRecord& v) { return int32_t{v.kind == VarKind::Continuous ? 0 : 1}; };
  f.integrality.assign(RecordField(vars, integral), RecordField(vars + n, integral));
  f.col_cost.assign(n, 0.0);

  // Constraint matrix: count entries per column, then fill. Rows are visited
  // in order, so row indices come out ascending inside every column.
  const size_t nnz = m.constraints.nonzeros();
  if (nnz > kMaxIndex) {
    throw InvalidModel("model too large: at most 2147483647 constraint coefficients");
  }
  // a_start[j + 1] first counts column j; after the prefix sum a_start[j]
  // is where column j begins and serves as its fill cursor, which leaves it
  // at the start of column j + 1; one shift then restores the starts.
  f.a_start.assign(n + 1, 0);
  const IndexChecker rows_checker{n};
  for (size_t row = 0; row < r; ++row) {
    for (VarIndex i : m.constraints.terms(row).indices()) {
      if (static_cast<size_t>(i) >= n) rows_checker.check(i, "a constraint");
      ++f.a_start[static_cast<size_t>(i) + 1];
    }
  }
  check_indices_beyond_rows(m);
  for (size_t j = 0; j < n; ++j) f.a_start[j + 1] += f.a_start[j];
  f.a_index.resize(nnz);
  f.a_value.resize(nnz);
  int32_t* cursor = f.a_start.data();
  int32_t* row_of = f.a_index.data();
  double* value = f.a_value.data();
  for (size_t row = 0; row < r; ++row) {
    for (const Term& t : m.constraints.terms(row)) {
      const size_t pos = static_cast<size_t>(cursor[t.index]++);
      row_of[pos] = static_cast<int32_t>(row);
      value[pos] = t.coef;
    }
  }
  // NaN is looked for over the whole matrix at once; the row holding the
  // first one is found afterwards for the message.
  if (any_nan(f.a_value.data(), nnz)) {
    for (size_t row = 0; row < r; ++row) {
      for (const Term& t : m.constraints.terms(row)) {
        if (std::isnan(t.coef)) {
          throw InvalidModel("constraint " + std::to_string(row) +
                             " has a NaN coefficient (variable index " + std::to_string(t.index) + ")");
        }
      }
    }
  }
  for (size_t j = n; j > 0; --j) f.a_start[j] = f.a_start[j - 1];
  f.a_start[0] = 0;

  f.row_lower.resize(r);
  f.row_upper.resize(r);
  for (size_t row = 0; row < r; ++row) {
    const double v = m.constraints.rhs(row);
    switch (m.constraints.sense(row)) {
      case Sense::Le: f.row_lower[row] = -kInf; f.row_upper[row] = v; break;
      case Sense::Ge: f.row_lower[row] = v; f.row_upper[row] = kInf; break;
      case Sense::Eq: f.row_lower[row] = v; f.row_upper[row] = v; break;
    }
  }

  if (m.objective) {
    if (const auto* e = std::get_if<Expr>(&*m.objective)) {
      set_linear_objective(f, *e, sign);
    } else if (const auto* q = std::get_if<QuadExpr>(&*m.objective)) {
      set_linear_objective(f, q->linear, sign);
      f.hessian = build_hessian(*q, n, sign);
    }
    // A nonlinear objective leaves costs and offset at zero: the nonlinear
    // adapters read it from the model itself.
  }

  const bool nan_cost = any_nan(f.col_cost.data(), n);
  for (size_t j = 0; nan_cost && j < n; ++j) {
    if (std::isnan(f.col_cost[j])) {
      throw InvalidModel("the objective has a NaN coefficient (variable index " + std::to_string(j) + ")");
    }
  }
  if (std::isnan(f.offset)) throw InvalidModel("the objective constant is NaN");
  if (f.hessian) {
    for (double v : f.hessian->q_value) {
      if (std::isnan(v)) throw InvalidModel("the objective has a NaN quadratic coefficient");
    }
  }

  f.soc_cones = m.soc_cones;
  f.psd_cones = m.psd_cones;
  return f;
}

Hessian lower_triangle(const Hessian& upper, size_t num_col) {
  // Transposition of a compressed-column matrix: count per row, then place
  // the columns in ascending order, which keeps rows ascending per column.
  Hessian t;
  t.q_start.assign(num_col + 1, 0);
  for (int32_t r : upper.q_index) ++t.q_start[static_cast<size_t>(r) + 1];
  for (size_t j = 0; j < num_col; ++j) t.q_start[j + 1] += t.q_start[j];
  t.q_index.resize(upper.nnz());
  t.q_value.resize(upper.nnz());
  std::vector<int32_t> next(t.q_start.begin(), t.q_start.end() - 1);
  for (size_t j = 0; j < num_col; ++j) {
    for (int32_t k = upper.q_start[j]; k < upper.q_start[j + 1]; ++k) {
      const size_t pos = static_cast<size_t>(next[static_cast<size_t>(upper.q_index[k])]++);
      t.q_index[pos] = static_cast<int32_t>(j);
      t.q_value[pos] = upper.q_value[k];
    }
  }
  return t;
}

ProblemType classify_problem(const ModelData& m) {
  bool quadratic = false;
  if (m.objective) {
    if (const auto* nl = std::get_if<NlExpr>(&*m.objective); nl && has_nonlinear_terms(*nl)) {
      return ProblemType::NLP;
    }
    quadratic = std::holds_alternative<QuadExpr>(*m.objective);
  }
  for (const NonlinearConstraint& c : m.nl_constraints) {
    if (has_nonlinear_terms(c.body)) return ProblemType::NLP;
  }
  const bool integer = std::any_of(m.variables.begin(), m.variables.end(), [](const VarRecord& v) {
    return v.kind != VarKind::Continuous;
  });
  if (integer) return quadratic ? ProblemType::MIQP : ProblemType::MILP;
  return quadratic ? ProblemType::QP : ProblemType::LP;
}

const char* problem_type_text(ProblemType t) {
  switch (t) {
    case ProblemType::LP: return "LP";
    case ProblemType::MILP: return "MILP";
    case ProblemType::QP: return "QP";
    case ProblemType::MIQP: return "MIQP";
    case ProblemType::NLP: return "NLP";
  }
  return "LP";
}

}  // namespace pelora
