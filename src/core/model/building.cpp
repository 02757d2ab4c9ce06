#include "core/model/building.hpp"

#include <algorithm>
#include <utility>
#include <variant>

namespace pelora {

VarIndex add_variable(ModelData& m, std::string name, double lower, double upper, VarKind kind) {
  const auto index = static_cast<VarIndex>(m.variables.size());
  if (kind == VarKind::Binary) {
    lower = 0.0;
    upper = 1.0;
  }
  m.variables.push_back(VarRecord{std::move(name), index, lower, upper, kind});
  m.name_to_index.insert_or_assign(m.variables.back().name, index);
  return index;
}

void reserve_variables(ModelData& m, size_t count) {
  const size_t need = m.variables.size() + count;
  if (need > m.variables.capacity()) {
    m.variables.reserve(std::max(need, m.variables.size() * 2));
  }
  // Grow the name map geometrically too, so many small batches never rehash
  // it once per batch.
  const auto buckets_for = [&](size_t n) {
    return static_cast<size_t>(static_cast<double>(n) / m.name_to_index.max_load_factor());
  };
  if (buckets_for(need) > m.name_to_index.bucket_count()) {
    m.name_to_index.reserve(std::max(need, m.name_to_index.size() * 2));
  }
}

std::string batch_name(std::string_view prefix, size_t i) {
  std::string s;
  s.reserve(prefix.size() + 21);
  s.append(prefix);
  s += '_';
  s += std::to_string(i);
  return s;
}

VarIndex add_variables(ModelData& m, std::string_view prefix, size_t count, double lower,
                       double upper, VarKind kind) {
  const auto first = static_cast<VarIndex>(m.variables.size());
  reserve_variables(m, count);
  for (size_t i = 0; i < count; ++i) add_variable(m, batch_name(prefix, i), lower, upper, kind);
  return first;
}

namespace {

void compact(Expr& e) { e.terms.compact(); }

}  // namespace

ConstraintRecord stored_constraint(const ConstraintRecord& c, std::optional<std::string> name) {
  ConstraintRecord copy = c;
  std::visit(
      [&](auto& rec) {
        if constexpr (std::is_same_v<std::decay_t<decltype(rec)>, LinearConstraint>) {
          compact(rec.expr);
        } else {
          compact(rec.body.linear);
        }
        if (name) rec.name = std::move(*name);
      },
      copy);
  return copy;
}

Objective stored_objective(Objective o) {
  std::visit(
      [](auto& v) {
        if constexpr (std::is_same_v<std::decay_t<decltype(v)>, Expr>) {
          compact(v);
        } else {
          compact(v.linear);
        }
      },
      o);
  return o;
}

void add_constraint(ModelData& m, ConstraintRecord c) {
  if (auto* lin = std::get_if<LinearConstraint>(&c)) {
    m.constraints.push_back(std::move(*lin));
  } else {
    m.nl_constraints.push_back(std::move(std::get<NonlinearConstraint>(c)));
  }
}

std::optional<size_t> psd_dimension(size_t n) noexcept {
  // The first e = 2, 3, ... with e(e-1)/2 >= n must hit n exactly; d = e - 1.
  if (n == 0) return std::nullopt;
  size_t d = 1;
  while (d * (d + 1) / 2 < n) ++d;
  if (d * (d + 1) / 2 != n) return std::nullopt;
  return d;
}

}  // namespace pelora
