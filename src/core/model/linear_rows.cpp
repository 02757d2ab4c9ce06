#include "core/model/linear_rows.hpp"

#include <algorithm>
#include <stdexcept>

namespace pelora {

namespace {

constexpr size_t kMaxRowLength = UINT32_MAX;

// Gaps are closed once they outnumber the stored terms (and are not tiny),
// so edits cost amortised O(row length) and the arena stays within twice
// its contents.
constexpr size_t kGapSlack = 4096;

}  // namespace

LinearRow LinearRows::operator[](size_t r) const {
  const Store& s = *s_;
  return LinearRow{terms(r), s.rhs[r], s.sense[r], name(r)};
}

const std::string* LinearRows::name(size_t r) const noexcept {
  if (!s_ || s_->names.empty()) return nullptr;
  const auto& names = s_->names;
  auto it = std::lower_bound(names.begin(), names.end(), r,
                             [](const std::pair<size_t, std::string>& e, size_t v) { return e.first < v; });
  return it != names.end() && it->first == r ? &it->second : nullptr;
}

std::optional<size_t> LinearRows::find(const std::string& name) const noexcept {
  if (!s_) return std::nullopt;
  for (const auto& [pos, text] : s_->names)
    if (text == name) return pos;
  return std::nullopt;
}

LinearRows::Store& LinearRows::own() {
  if (!s_) {
    s_ = std::make_shared<Store>();
  } else if (s_.use_count() > 1) {
    s_ = std::make_shared<Store>(*s_);
  }
  return *s_;
}

void LinearRows::reserve(size_t rows, size_t nonzeros) {
  Store& s = own();
  const size_t r = s.rhs.size() + rows, n = s.index.size() + nonzeros;
  s.start.reserve(r);
  s.length.reserve(r);
  s.rhs.reserve(r);
  s.sense.reserve(r);
  s.index.reserve(n);
  s.value.reserve(n);
}

template <class Fill>
void LinearRows::append_row(size_t n, Fill&& fill, double rhs, Sense sense,
                            std::optional<std::string>& name) {
  if (n > kMaxRowLength) throw std::length_error("a linear row holds at most 2^32-1 terms");
  Store& s = own();
  const size_t at = s.index.size(), rows = s.rhs.size();
  // Room first (geometric growth), so that nothing below can fail halfway.
  auto grow = [](auto& v, size_t need) {
    if (need > v.capacity()) v.reserve(std::max(need, v.capacity() * 2));
  };
  grow(s.index, at + n);
  grow(s.value, at + n);
  grow(s.start, rows + 1);
  grow(s.length, rows + 1);
  grow(s.rhs, rows + 1);
  grow(s.sense, rows + 1);
  if (name) grow(s.names, s.names.size() + 1);
  // Appended in place, within capacity (cannot fail, no zero fill first).
  fill(s.index, s.value);
  if (name) s.names.emplace_back(rows, std::move(*name));
  s.start.push_back(at);
  s.length.push_back(static_cast<uint32_t>(n));
  s.rhs.push_back(rhs);
  s.sense.push_back(sense);
  s.live += n;
}

void LinearRows::append(std::span<const VarIndex> index, std::span<const double> value, double rhs,
                        Sense sense, std::optional<std::string> name) {
  append_row(
      index.size(),
      [&](std::vector<VarIndex>& i, std::vector<double>& v) {
        i.insert(i.end(), index.begin(), index.end());
        v.insert(v.end(), value.begin(), value.begin() + static_cast<std::ptrdiff_t>(index.size()));
      },
      rhs, sense, name);
}

void LinearRows::append(const LinearTerms& terms, double rhs, Sense sense,
                        std::optional<std::string> name) {
  append_row(
      terms.size(),
      [&](std::vector<VarIndex>& i, std::vector<double>& v) {
        for (const Term& t : terms) {
          i.push_back(t.index);
          v.push_back(t.coef);
        }
      },
      rhs, sense, name);
}

void LinearRows::append_all(const LinearRows& other) {
  if (other.empty()) return;
  if (empty() && other.packed()) {
    *this = other;  // shares other's storage until either edits
    return;
  }
  const Store& o = *other.s_;
  Store& s = own();
  // Room for everything first: the copies below cannot fail halfway.
  reserve(o.rhs.size(), o.live);
  s.names.reserve(s.names.size() + o.names.size());
  const size_t rows = s.rhs.size();
  for (size_t r = 0; r < o.rhs.size(); ++r) {
    const size_t begin = o.start[r], len = o.length[r];
    s.start.push_back(s.index.size());
    s.index.insert(s.index.end(), o.index.begin() + begin, o.index.begin() + begin + len);
    s.value.insert(s.value.end(), o.value.begin() + begin, o.value.begin() + begin + len);
    s.length.push_back(o.length[r]);
  }
  s.rhs.insert(s.rhs.end(), o.rhs.begin(), o.rhs.end());
  s.sense.insert(s.sense.end(), o.sense.begin(), o.sense.end());
  for (const auto& [pos, text] : o.names) s.names.emplace_back(rows + pos, text);
  s.live += o.live;
}

void LinearRows::set_rhs(size_t r, double rhs) { own().rhs[r] = rhs; }

void LinearRows::after_gap(Store& s) {
  s.packed = false;
  const size_t gaps = s.index.size() - s.live;
  if (gaps > kGapSlack && gaps > s.live) pack();
}

void LinearRows::set_coefficient(size_t r, VarIndex var, double value) {
  {
    // Nothing to do for a term that is absent and stays so: no copy either.
    const RowTerms t = terms(r);
    const auto idx = t.indices();
    const bool present = std::find(idx.begin(), idx.end(), var) != idx.end();
    if (!present && value == 0.0) return;
  }
  Store& s = own();
  const size_t begin = s.start[r], len = s.length[r];
  VarIndex* index = s.index.data() + begin;
  const size_t k = static_cast<size_t>(std::find(index, index + len, var) - index);
  if (k < len) {
    if (value != 0.0) {
      s.value[begin + k] = value;
      return;
    }
    // Close up inside the row; its last slot becomes a gap (or leaves the
    // arena when the row is the arena's last).
    std::move(s.index.begin() + begin + k + 1, s.index.begin() + begin + len, s.index.begin() + begin + k);
    std::move(s.value.begin() + begin + k + 1, s.value.begin() + begin + len, s.value.begin() + begin + k);
    --s.length[r];
    --s.live;
    if (begin + len == s.index.size()) {
      s.index.pop_back();
      s.value.pop_back();
    } else {
      after_gap(s);
    }
    return;
  }
  if (len + 1 > kMaxRowLength) throw std::length_error("a linear row holds at most 2^32-1 terms");
  if (begin + len == s.index.size()) {
    // The arena's last row grows where it stands.
    s.index.push_back(var);
    s.value.push_back(value);
  } else {
    // The row moves to the end with the new term; its old place is a gap.
    const size_t at = s.index.size();
    const size_t need = at + len + 1;
    if (need > s.index.capacity()) {
      s.index.reserve(std::max(need, s.index.capacity() * 2));
      s.value.reserve(std::max(need, s.value.capacity() * 2));
    } else if (need > s.value.capacity()) {
      s.value.reserve(std::max(need, s.value.capacity() * 2));
    }
    for (size_t j = 0; j < len; ++j) {  // reserved above: no reallocation
      s.index.push_back(s.index[begin + j]);
      s.value.push_back(s.value[begin + j]);
    }
    s.index.push_back(var);
    s.value.push_back(value);
    s.start[r] = at;
    s.packed = false;
  }
  ++s.length[r];
  ++s.live;
  if (!s.packed) after_gap(s);
}

void LinearRows::erase(size_t r) {
  Store& s = own();
  const size_t begin = s.start[r], len = s.length[r];
  const auto at = static_cast<std::ptrdiff_t>(r);
  s.start.erase(s.start.begin() + at);
  s.length.erase(s.length.begin() + at);
  s.rhs.erase(s.rhs.begin() + at);
  s.sense.erase(s.sense.begin() + at);
  auto& names = s.names;
  auto it = std::lower_bound(names.begin(), names.end(), r,
                             [](const std::pair<size_t, std::string>& e, size_t v) { return e.first < v; });
  if (it != names.end() && it->first == r) it = names.erase(it);
  for (; it != names.end(); ++it) --it->first;
  s.live -= len;
  if (begin + len == s.index.size()) {
    s.index.resize(begin);
    s.value.resize(begin);
  } else if (len > 0) {
    after_gap(s);
  }
  // A removed last row may leave earlier gaps at the arena's end only when
  // rows were moved; packed stays as it was otherwise.
  if (s.rhs.empty()) {
    s.index.clear();
    s.value.clear();
    s.live = 0;
    s.packed = true;
  }
}

void LinearRows::pack() {
  if (packed()) return;
  Store& s = own();
  // Everything new first, then swapped in: a failed allocation changes nothing.
  std::vector<VarIndex> index;
  std::vector<double> value;
  std::vector<uint64_t> start(s.start.size());
  index.reserve(s.live);
  value.reserve(s.live);
  for (size_t r = 0; r < s.rhs.size(); ++r) {
    const size_t begin = s.start[r], len = s.length[r];
    start[r] = index.size();
    index.insert(index.end(), s.index.begin() + begin, s.index.begin() + begin + len);
    value.insert(value.end(), s.value.begin() + begin, s.value.begin() + begin + len);
  }
  s.start = std::move(start);
  s.index = std::move(index);
  s.value = std::move(value);
  s.packed = true;
}

LinearConstraint to_constraint(const LinearRow& row) {
  LinearConstraint c;
  c.expr.terms.reserve(row.terms.size());
  for (const Term& t : row.terms) c.expr.terms.append_new(t.index, t.coef);
  c.rhs = row.rhs;
  c.sense = row.sense;
  if (row.name) c.name = *row.name;
  return c;
}

size_t LinearRows::heap_bytes() const noexcept {
  if (!s_) return 0;
  const Store& s = *s_;
  size_t b = s.start.capacity() * sizeof(uint64_t) + s.length.capacity() * sizeof(uint32_t) +
             s.rhs.capacity() * sizeof(double) + s.sense.capacity() * sizeof(Sense) +
             s.index.capacity() * sizeof(VarIndex) + s.value.capacity() * sizeof(double) +
             s.names.capacity() * sizeof(std::pair<size_t, std::string>);
  for (const auto& n : s.names) b += n.second.capacity() > 15 ? n.second.capacity() + 1 : 0;
  return b;
}

}  // namespace pelora
