#include "core/model/editing.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <random>
#include <variant>

#include "core/expr/tree_walk.hpp"

namespace pelora {

ModelId new_model_id() {
  // A random start per process, then consecutive: unique within the process
  // and, across processes, unlikely to meet (2^-64 per pair of models).
  static std::atomic<ModelId> next{[] {
    std::random_device rd;
    uint64_t seed = (static_cast<uint64_t>(rd()) << 32) ^ rd();
    seed ^= static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return seed | 1;
  }()};
  ModelId id;
  do {
    id = next.fetch_add(1, std::memory_order_relaxed);
  } while (id == kNoModel);
  return id;
}

void init_identity(ModelData& m) {
  m.id = new_model_id();
  m.var_names.set_owner(m.id);
}

ModelData copied_model(const ModelData& src) {
  ModelData m = src;
  m.id = new_model_id();
  m.origins.push_back(ModelOrigin{src.id, src.variables.size(), src.next_row_id});
  if (m.origins.size() > kMaxOrigins) m.origins.erase(m.origins.begin());
  m.var_names = src.var_names.rebound(m.id);
  m.name_to_index.clear();
  m.names_indexed = 0;
  return m;
}

bool owns(const ModelData& m, ModelId owner, size_t end) noexcept {
  if (end == 0) return true;  // no variable at all (x - x, a number)
  if (owner == m.id || owner == kNoModel) return end <= m.variables.size();
  return owns_variables(m.id, m.origins, owner, end);
}

void check_owner(const ModelData& m, ModelId owner, size_t end, std::optional<VarIndex> var) {
  if (!owns(m, owner, end)) throw ForeignVariable(owner, var);
}

size_t index_end(const Expr& e) {
  size_t end = 0;
  for (const Term& t : e.terms) end = std::max<size_t>(end, t.index + size_t{1});
  return end;
}

size_t index_end(const QuadExpr& q) {
  size_t end = index_end(q.linear);
  for (const QuadTerm& t : q.quad_terms) end = std::max<size_t>(end, std::max(t.i, t.j) + size_t{1});
  return end;
}

size_t index_end(const NlExpr& n) {
  size_t end = index_end(n.linear);
  for_each_tree_var(n, [&](VarIndex v) { end = std::max<size_t>(end, v + size_t{1}); });
  return end;
}

size_t index_end(const ConstraintRecord& c) {
  return std::visit(
      [](const auto& r) -> size_t {
        if constexpr (std::is_same_v<std::decay_t<decltype(r)>, LinearConstraint>) {
          return index_end(r.expr);
        } else {
          return index_end(r.body);
        }
      },
      c);
}

ModelId owner_of(const ConstraintRecord& c) {
  if (const auto* l = std::get_if<LinearConstraint>(&c)) return l->expr.owner;
  return std::get<NonlinearConstraint>(c).body.linear.owner;
}

std::optional<VarIndex> some_variable(const QuadExpr& q) {
  if (auto v = first_variable(q.linear)) return v;
  if (!q.quad_terms.empty()) return q.quad_terms.begin()->i;
  return std::nullopt;
}

std::optional<VarIndex> some_variable(const NlExpr& n) {
  if (auto v = first_variable(n.linear)) return v;
  std::optional<VarIndex> found;
  for_each_tree_var(n, [&](VarIndex v) {
    if (!found) found = v;
  });
  return found;
}

std::optional<size_t> row_position(const ModelData& m, RowKind kind, uint64_t id) {
  const std::vector<uint64_t>& ids = kind == RowKind::Linear ? m.row_ids.get() : m.nl_row_ids;
  auto it = std::lower_bound(ids.begin(), ids.end(), id);
  if (it == ids.end() || *it != id) return std::nullopt;
  return static_cast<size_t>(it - ids.begin());
}

namespace {

void require_variable(const ModelData& m, VarIndex i) {
  if (i >= m.variables.size()) throw EditError("variable index " + std::to_string(i) + " out of range");
}

void require_number(double v, const char* what) {
  if (std::isnan(v)) throw EditError(std::string(what) + " must not be NaN");
}

size_t row_count(const ModelData& m, RowKind kind) {
  return kind == RowKind::Linear ? m.constraints.size() : m.nl_constraints.size();
}

void require_row(const ModelData& m, RowKind kind, size_t pos) {
  if (pos >= row_count(m, kind)) throw EditError("constraint position out of range");
}

}  // namespace

void set_variable_bounds(ModelData& m, VarIndex i, double lower, double upper) {
  require_variable(m, i);
  require_number(lower, "lower bound");
  require_number(upper, "upper bound");
  if (m.variables[i].kind == VarKind::Binary && !(lower >= 0.0 && upper <= 1.0)) {
    throw EditError("bounds of binary variable '" + m.var_name(i) + "' must lie in [0, 1]");
  }
  VarRecord& v = m.variables.edit()[i];  // a copy of its own while a Result shares it
  v.lower = lower;
  v.upper = upper;
  m.fixed_bounds.erase(i);
}

void fix_variable(ModelData& m, VarIndex i, double value) {
  require_variable(m, i);
  if (!std::isfinite(value)) throw EditError("fix: the value must be a finite number");
  if (m.variables[i].kind == VarKind::Binary && !(value >= 0.0 && value <= 1.0)) {
    throw EditError("bounds of binary variable '" + m.var_name(i) + "' must lie in [0, 1]");
  }
  VarRecord& v = m.variables.edit()[i];
  const std::pair<double, double> before{v.lower, v.upper};
  m.fixed_bounds.try_emplace(i, before);  // a second fix keeps the first bounds
  v.lower = value;
  v.upper = value;
}

void unfix_variable(ModelData& m, VarIndex i) {
  require_variable(m, i);
  auto it = m.fixed_bounds.find(i);
  if (it == m.fixed_bounds.end()) return;
  VarRecord& v = m.variables.edit()[i];
  v.lower = it->second.first;
  v.upper = it->second.second;
  m.fixed_bounds.erase(it);
}

void set_variable_kind(ModelData& m, VarIndex i, VarKind kind) {
  require_variable(m, i);
  VarRecord& v = m.variables.edit()[i];
  if (kind == VarKind::Binary) {
    v.lower = 0.0;
    v.upper = 1.0;
    m.fixed_bounds.erase(i);
  }
  v.kind = kind;
}

void set_constraint_rhs(ModelData& m, RowKind kind, size_t pos, double rhs) {
  require_row(m, kind, pos);
  require_number(rhs, "rhs");
  if (kind == RowKind::Linear) m.constraints.set_rhs(pos, rhs);
  else m.nl_constraints[pos].rhs = rhs;
}

void set_coefficient(ModelData& m, size_t pos, VarIndex var, double value) {
  require_row(m, RowKind::Linear, pos);
  require_variable(m, var);
  require_number(value, "coefficient");
  m.constraints.set_coefficient(pos, var, std::fabs(value) < kCancelTolerance ? 0.0 : value);
}

void remove_constraint(ModelData& m, RowKind kind, size_t pos) {
  require_row(m, kind, pos);
  const auto at = static_cast<std::ptrdiff_t>(pos);
  if (kind == RowKind::Linear) {
    std::vector<uint64_t>& ids = m.row_ids.edit();
    m.constraints.erase(pos);
    ids.erase(ids.begin() + at);
  } else {
    m.nl_constraints.erase(m.nl_constraints.begin() + at);
    m.nl_row_ids.erase(m.nl_row_ids.begin() + at);
  }
}

void set_objective(ModelData& m, Objective objective, bool maximize) {
  m.objective = std::move(objective);
  m.maximize = maximize;
}

}  // namespace pelora
