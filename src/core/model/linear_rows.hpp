// The linear rows of a model record, all in one arena: the variable indices
// and coefficients of every row in two flat arrays (compressed sparse rows),
// with per-row start, length, right-hand side and sense beside them, and the
// names of named rows in one sorted list. A row costs no allocation of its
// own; appends grow the arrays geometrically.
//
// Edits work in place: a coefficient changes where it stands, a dropped term
// closes up inside its row, and a row that gains a term moves to the end of
// the arena (its old place becomes a gap). Gaps are closed once they make up
// most of the arena, and before the rows go to a solver as one matrix.
//
// The arena is shared copy-on-write like SharedVector: copies (a Result's
// snapshot, a copied model) hold the same storage until one of them edits,
// which first takes a copy of its own; the others keep what they had.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/expr/constraint.hpp"
#include "core/expr/expressions.hpp"
#include "core/uninit_vector.hpp"

namespace pelora {

// The terms of one row, read from the arena as Term values.
class RowTerms {
 public:
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Term;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = Term;

    iterator() noexcept = default;
    iterator(const VarIndex* i, const double* v) noexcept : i_(i), v_(v) {}
    Term operator*() const noexcept { return Term{*i_, *v_}; }
    iterator& operator++() noexcept {
      ++i_;
      ++v_;
      return *this;
    }
    iterator operator++(int) noexcept {
      iterator t = *this;
      ++*this;
      return t;
    }
    bool operator==(const iterator& o) const noexcept { return i_ == o.i_; }
    bool operator!=(const iterator& o) const noexcept { return i_ != o.i_; }

   private:
    const VarIndex* i_ = nullptr;
    const double* v_ = nullptr;
  };

  RowTerms() noexcept = default;
  RowTerms(const VarIndex* index, const double* value, size_t n) noexcept
      : index_(index), value_(value), n_(n) {}

  size_t size() const noexcept { return n_; }
  bool empty() const noexcept { return n_ == 0; }
  iterator begin() const noexcept { return {index_, value_}; }
  iterator end() const noexcept { return {index_ + n_, value_ + n_}; }
  Term operator[](size_t k) const noexcept { return Term{index_[k], value_[k]}; }
  std::span<const VarIndex> indices() const noexcept { return {index_, n_}; }
  std::span<const double> values() const noexcept { return {value_, n_}; }

 private:
  const VarIndex* index_ = nullptr;
  const double* value_ = nullptr;
  size_t n_ = 0;
};

// One stored row: terms (no constant: a stored row keeps it in `rhs`), the
// right-hand side, the sense and the name (null when unnamed). The view is
// valid until the rows are next changed.
struct LinearRow {
  RowTerms terms;
  double rhs = 0.0;
  Sense sense = Sense::Le;
  const std::string* name = nullptr;
};

class LinearRows {
 public:
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = LinearRow;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = LinearRow;

    iterator(const LinearRows* rows, size_t r) noexcept : rows_(rows), r_(r) {}
    LinearRow operator*() const { return (*rows_)[r_]; }
    iterator& operator++() noexcept {
      ++r_;
      return *this;
    }
    bool operator==(const iterator& o) const noexcept { return r_ == o.r_; }
    bool operator!=(const iterator& o) const noexcept { return r_ != o.r_; }

   private:
    const LinearRows* rows_;
    size_t r_;
  };

  size_t size() const noexcept { return s_ ? s_->rhs.size() : 0; }
  bool empty() const noexcept { return size() == 0; }
  // Stored terms over all rows (gaps not counted).
  size_t nonzeros() const noexcept { return s_ ? s_->live : 0; }

  LinearRow operator[](size_t r) const;
  RowTerms terms(size_t r) const noexcept {
    const Store& s = *s_;
    return RowTerms(s.index.data() + s.start[r], s.value.data() + s.start[r], s.length[r]);
  }
  double rhs(size_t r) const noexcept { return s_->rhs[r]; }
  Sense sense(size_t r) const noexcept { return s_->sense[r]; }
  const std::string* name(size_t r) const noexcept;
  // The first row (by position) named `name`.
  std::optional<size_t> find(const std::string& name) const noexcept;
  iterator begin() const noexcept { return {this, 0}; }
  iterator end() const noexcept { return {this, size()}; }

  // Appends. Strong guarantee: a failed append leaves the rows as they were.
  void reserve(size_t rows, size_t nonzeros);
  void append(std::span<const VarIndex> index, std::span<const double> value, double rhs,
              Sense sense, std::optional<std::string> name = std::nullopt);
  void append(const LinearTerms& terms, double rhs, Sense sense,
              std::optional<std::string> name = std::nullopt);

  // Every row of `other` after these (its names too).
  void append_all(const LinearRows& other);

  // Edits of row r (< size()).
  void set_rhs(size_t r, double rhs);
  // Sets the coefficient of `var` (appending the term when absent); 0
  // removes the term. Term order otherwise stays as it was.
  void set_coefficient(size_t r, VarIndex var, double value);
  // Drops row r; later rows move up one position.
  void erase(size_t r);
  // Same rows with no gap between them, in order.
  void pack();

  // The rows as one compressed-sparse-row matrix when they already lie back
  // to back in order (always so unless edits moved rows or left gaps): the
  // arrays hold nonzeros() entries each and row r starts at start(r).
  bool packed() const noexcept { return !s_ || s_->packed; }
  std::span<const VarIndex> all_indices() const noexcept {
    return s_ ? std::span<const VarIndex>(s_->index) : std::span<const VarIndex>();
  }
  std::span<const double> all_values() const noexcept {
    return s_ ? std::span<const double>(s_->value) : std::span<const double>();
  }
  uint64_t start(size_t r) const noexcept { return s_->start[r]; }

  // True when another holder reads the same storage (the next edit copies).
  bool shared() const noexcept { return s_ && s_.use_count() > 1; }
  // Bytes held by the storage (shared storage counted in full).
  size_t heap_bytes() const noexcept;

 private:
  // The arena's arrays: growing the size without a value leaves the new
  // entries unwritten, so that append can size the arrays first and then
  // write each row's terms straight in.
  template <class T>
  using Arena = UninitVector<T>;

  struct Store {
    std::vector<uint64_t> start;   // per row: first entry in the arena
    std::vector<uint32_t> length;  // per row: entries
    std::vector<double> rhs;
    std::vector<Sense> sense;
    Arena<VarIndex> index;  // the arena
    Arena<double> value;
    std::vector<std::pair<size_t, std::string>> names;  // (position, name), ascending
    size_t live = 0;     // arena entries that belong to a row
    bool packed = true;  // rows back to back in order, no gap
  };
  Store& own();  // this holder's own store, copied first when shared
  // Appends a row of n terms that fill(index, value) writes.
  template <class Fill>
  void append_row(size_t n, Fill&& fill, double rhs, Sense sense, std::optional<std::string>& name);
  void after_gap(Store& s);

  std::shared_ptr<Store> s_;
};

// The row as a constraint value of its own (for the printers of
// constraints; a copy of its terms).
LinearConstraint to_constraint(const LinearRow& row);

// One past the largest variable index of a row (0 when it has none).
inline size_t index_end(const RowTerms& t) noexcept {
  size_t end = 0;
  for (VarIndex i : t.indices()) end = std::max<size_t>(end, i + size_t{1});
  return end;
}

}  // namespace pelora
