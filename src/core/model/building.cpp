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
  m.var_names.add_single(std::move(name));
  m.variables.push_back(VarRecord{index, kind, lower, upper});
  return index;
}

void reserve_variables(ModelData& m, size_t count) {
  const size_t need = m.variables.size() + count;
  if (need > m.variables.capacity()) {
    m.variables.reserve(std::max(need, m.variables.size() * 2));
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
  if (count == 0) return first;
  reserve_variables(m, count);
  if (kind == VarKind::Binary) {
    lower = 0.0;
    upper = 1.0;
  }
  m.var_names.add_batch(prefix, count);
  std::vector<VarRecord>& vars = m.variables.edit();
  for (size_t i = 0; i < count; ++i) {
    vars.push_back(VarRecord{static_cast<VarIndex>(first + i), kind, lower, upper});
  }
  return first;
}

void VarNames::add_single(std::string name) {
  // The block is made before anything changes, so a failed allocation leaves
  // the names as they were.
  NameRef block(new NameBlock(std::move(name), static_cast<VarIndex>(size_), false, owner_));
  blocks_.push_back(std::move(block));
  ++size_;
}

void VarNames::add_batch(std::string_view prefix, size_t count) {
  if (count == 0) return;
  NameRef block(new NameBlock(std::string(prefix), static_cast<VarIndex>(size_), true, owner_));
  blocks_.push_back(std::move(block));
  size_ += count;
}

void VarNames::add_block(std::string text, bool batch, size_t count) {
  if (count == 0) return;
  NameRef block(new NameBlock(std::move(text), static_cast<VarIndex>(size_), batch, owner_));
  blocks_.push_back(std::move(block));
  size_ += count;
}

VarNames VarNames::rebound(ModelId owner) const {
  VarNames out;
  out.owner_ = owner;
  std::vector<NameRef>& to = out.blocks_.edit();
  to.reserve(blocks_.size());
  for (const NameRef& b : blocks_) {
    const NameBlock* p = b.get();
    to.emplace_back(new NameBlock(p->text(), p->first(), p->is_batch(), owner));
  }
  out.size_ = size_;
  return out;
}

const NameRef& VarNames::block_of(size_t i) const {
  // The last block whose first index is <= i.
  auto it = std::upper_bound(blocks_.begin(), blocks_.end(), i,
                             [](size_t v, const NameRef& b) { return v < b.get()->first(); });
  return *std::prev(it);
}

std::optional<VarIndex> ModelData::find_variable(const std::string& name) const {
  if (names_indexed < variables.size()) {
    name_to_index.reserve(variables.size());
    var_names.for_each([&](size_t i, std::string n) {
      if (i >= names_indexed) name_to_index.insert_or_assign(std::move(n), static_cast<VarIndex>(i));
    });
    names_indexed = variables.size();
  }
  auto it = name_to_index.find(name);
  if (it == name_to_index.end()) return std::nullopt;
  return it->second;
}

namespace {

void compact(Expr& e) { e.terms.compact(); }

}  // namespace

ConstraintRecord stored_constraint(const ConstraintRecord& c, std::optional<std::string> name) {
  ConstraintRecord copy = c;
  std::visit(
      [&](auto& rec) {
        if constexpr (std::is_same_v<std::decay_t<decltype(rec)>, LinearConstraint>) {
          // Copied into the model's row arena when added: nothing to compact.
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

namespace {

// Room for `count` more items, growing geometrically: an exact reserve of
// size + count would reallocate on every call and make adding rows one (or a
// few) at a time cost O(n^2).
template <class V>
[[gnu::noinline]] void grow_for(V& v, size_t need) {
  v.reserve(std::max(need, std::max<size_t>(2 * v.capacity(), 16)));
}
template <class V>
inline void reserve_more(V& v, size_t count) {
  const size_t need = v.size() + count;
  if (need > v.capacity()) [[unlikely]] grow_for(v, need);
}
// A shared buffer is made this holder's own too, so that the pushes the
// caller counted on cannot fail (or copy) half-way.
template <class T>
inline void reserve_more(SharedVector<T>& v, size_t count) {
  const size_t need = v.size() + count;
  if (need > v.capacity() || v.shared()) [[unlikely]] grow_for(v, need);
}

}  // namespace

uint64_t add_constraint(ModelData& m, ConstraintRecord c) {
  const uint64_t id = m.next_row_id;
  if (auto* lin = std::get_if<LinearConstraint>(&c)) {
    reserve_more(m.row_ids, 1);
    m.constraints.append(lin->expr.terms, lin->rhs, lin->sense, std::move(lin->name));
    m.row_ids.push_back(id);  // reserved: cannot fail
  } else {
    reserve_more(m.nl_row_ids, 1);
    m.nl_constraints.push_back(std::move(std::get<NonlinearConstraint>(c)));
    m.nl_row_ids.push_back(id);
  }
  ++m.next_row_id;
  return id;
}

size_t add_linear_constraints(ModelData& m, LinearRows rows) {
  const size_t at = m.constraints.size();
  reserve_more(m.row_ids, rows.size());
  if (at == 0) m.constraints = std::move(rows);
  else m.constraints.append_all(rows);
  std::vector<uint64_t>& ids = m.row_ids.edit();  // reserved: cannot fail
  for (size_t k = at; k < m.constraints.size(); ++k) ids.push_back(m.next_row_id++);
  return at;
}

size_t add_soc_cone(ModelData& m, std::vector<VarIndex> entries) {
  m.soc_cones.push_back(std::move(entries));
  return m.soc_cones.size() - 1;
}

size_t add_psd_cone(ModelData& m, std::vector<VarIndex> entries) {
  m.psd_cones.push_back(std::move(entries));
  return m.psd_cones.size() - 1;
}

void set_batch_bounds(ModelData& m, VarIndex first, const std::vector<double>* lowers,
                      const std::vector<double>* uppers) {
  const size_t n = lowers ? lowers->size() : uppers ? uppers->size() : 0;
  if (n == 0) return;
  std::vector<VarRecord>& vars = m.variables.edit();
  for (size_t i = 0; i < n; ++i) {
    if (lowers) vars[first + i].lower = (*lowers)[i];
    if (uppers) vars[first + i].upper = (*uppers)[i];
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
