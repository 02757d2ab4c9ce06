// Linear terms: variable index -> coefficient, kept in insertion order (so
// printed expressions follow the order the user wrote them).
//
// Storage: a single term lives inline (a `c * x` expression allocates
// nothing). Larger maps live in a reference-counted, append-only buffer that
// copies share. A copy whose length equals the buffer's length is its "tip":
// appending a new variable to the tip writes into the shared buffer, which the
// other copies never see (each reads only its own prefix). This makes
// `e = e + c*x` cost O(1), so accumulating with `+=` is linear overall.
// Changing an existing coefficient, removing or scaling first takes a private
// copy. An index table for lookups is built lazily once a buffer is large.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace pelora {

using VarIndex = uint32_t;

struct Term {
  VarIndex index;
  double coef;
};

// Entries whose magnitude falls below this after an addition are removed.
inline constexpr double kCancelTolerance = 1e-15;

class LinearTerms {
 public:
  LinearTerms() noexcept = default;
  LinearTerms(const LinearTerms& o) noexcept;
  LinearTerms(LinearTerms&& o) noexcept;
  LinearTerms& operator=(const LinearTerms& o) noexcept;
  LinearTerms& operator=(LinearTerms&& o) noexcept;
  ~LinearTerms();

  // A fresh single-term map {index: c}; no cancellation test (x * 0 keeps 0*x).
  static LinearTerms single(VarIndex index, double c) noexcept {
    LinearTerms t;
    t.inline_ = Term{index, c};
    t.len_ = 1;
    return t;
  }

  // A map over `terms`, whose indices are distinct, taking the vector over
  // without a copy (one term lives inline).
  static LinearTerms from_distinct(std::vector<Term>&& terms);

  size_t size() const noexcept { return len_; }
  bool empty() const noexcept { return len_ == 0; }
  std::span<const Term> terms() const noexcept {
    return {buf_ ? buf_->terms.data() : &inline_, len_};
  }
  const Term* begin() const noexcept { return terms().data(); }
  const Term* end() const noexcept { return terms().data() + len_; }

  // Coefficient entry for `index`, or null.
  const Term* find(VarIndex index) const;

  // Adds c to the entry of `index` (inserting it at the end when absent) and
  // removes the entry when the result is below kCancelTolerance in magnitude.
  void add_term(VarIndex index, double c);
  // Sets the coefficient of `index` to c (appending it when absent); c == 0
  // removes the entry.
  void set_term(VarIndex index, double c);
  // Appends {index: c} without lookup: the caller knows `index` is absent.
  void append_new(VarIndex index, double c);
  // add_term for every entry of `other`, each coefficient times `scale`.
  void add_all(const LinearTerms& other, double scale);
  // Multiplies every coefficient by k (zero entries stay).
  void scale(double k);
  void reserve(size_t n);
  // Private, exactly sized storage with no index table (for long-lived copies).
  void compact();

  // Bytes of heap memory owned (shared buffers counted in full).
  size_t heap_bytes() const noexcept;

 private:
  struct Buffer {
    size_t refs = 1;
    std::vector<Term> terms;
    // Open-addressing table (index+1, position) over `terms`; empty when small.
    std::vector<uint64_t> table;
    size_t table_count = 0;
  };

  static constexpr size_t kTableFrom = 12;

  Term* mutable_data();            // requires unique ownership
  void make_unique(size_t extra);  // private buffer holding our prefix
  bool is_tip() const noexcept { return buf_ && buf_->terms.size() == len_; }
  static void release(Buffer* b) noexcept;
  static void table_insert(Buffer& b, VarIndex index, uint32_t pos);
  static void table_rebuild(Buffer& b);
  long lookup(VarIndex index) const;  // position or -1
  void erase_at(size_t pos);           // requires unique ownership

  Buffer* buf_ = nullptr;
  uint32_t len_ = 0;
  Term inline_{0, 0.0};
};

}  // namespace pelora
