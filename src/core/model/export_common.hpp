// Pieces the model exports share: term ordering, unit coefficients, the
// objective's parts, variable names and the messages of refused exports.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/model/exports.hpp"
#include "core/model/model_data.hpp"

namespace pelora::exports {

inline constexpr double kUnitTolerance = 1e-15;

inline bool is_one(double c) { return std::fabs(c - 1.0) < kUnitTolerance; }
inline bool is_minus_one(double c) { return std::fabs(c + 1.0) < kUnitTolerance; }

inline bool index_less(const Term& a, const Term& b) { return a.index < b.index; }

template <class Terms>  // LinearTerms or RowTerms
std::vector<Term> sorted_terms(const Terms& t) {
  std::vector<Term> v(t.begin(), t.end());
  std::sort(v.begin(), v.end(), index_less);
  return v;
}

// Terms in index order for one row after another: rows already in order
// (the usual case) are read in place, the others sorted in one scratch
// buffer that every row reuses.
class SortedTerms {
 public:
  std::span<const Term> of(const LinearTerms& t) {
    const std::span<const Term> s = t.terms();
    if (std::is_sorted(s.begin(), s.end(), index_less)) return s;
    scratch_.assign(s.begin(), s.end());
    std::sort(scratch_.begin(), scratch_.end(), index_less);
    return scratch_;
  }
  std::span<const Term> of(const RowTerms& t) {
    scratch_.assign(t.begin(), t.end());
    if (!std::is_sorted(scratch_.begin(), scratch_.end(), index_less))
      std::sort(scratch_.begin(), scratch_.end(), index_less);
    return scratch_;
  }

 private:
  std::vector<Term> scratch_;
};

// How many names ahead a loop over names prefetches their NameSet slots.
inline constexpr size_t kLookAhead = 8;

// A set of names (views of strings the caller keeps in place) in one
// open-addressing table: no allocation per name, and a slot holds part of
// its name's hash, so most probes compare no characters.
class NameSet {
 public:
  explicit NameSet(size_t expected) { grow(expected); }

  bool contains(std::string_view s) const { return slots_[find(s, hash(s))].data; }
  // Starts loading the slot `s` would probe first (a loop over many names
  // asks for one a few names ahead, hiding the memory latency).
  void prefetch(std::string_view s) const { __builtin_prefetch(&slots_[hash(s) & mask_]); }
  // False when `s` (not empty) is in the set already.
  bool insert(std::string_view s) {
    const size_t h = hash(s);
    size_t at = find(s, h);
    if (slots_[at].data) return false;
    if (2 * (count_ + 1) > slots_.size()) {
      grow(2 * count_ + 2);
      at = find(s, h);
    }
    slots_[at] = {s.data(), static_cast<uint32_t>(s.size()), static_cast<uint32_t>(h >> 32)};
    ++count_;
    return true;
  }

 private:
  struct Slot {
    const char* data = nullptr;  // null: empty
    uint32_t size = 0;
    uint32_t tag = 0;  // high half of the hash
  };
  static size_t hash(std::string_view s) { return std::hash<std::string_view>{}(s); }
  size_t find(std::string_view s, size_t h) const {
    const auto tag = static_cast<uint32_t>(h >> 32);
    size_t at = h & mask_;
    while (slots_[at].data && !(slots_[at].tag == tag && slots_[at].size == s.size() &&
                                std::string_view(slots_[at].data, s.size()) == s))
      at = (at + 1) & mask_;
    return at;
  }
  void grow(size_t expected) {
    size_t cap = 16;
    while (cap < 2 * expected) cap <<= 1;
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(cap, Slot{});
    mask_ = cap - 1;
    for (const Slot& v : old) {
      if (!v.data) continue;
      const std::string_view s(v.data, v.size);
      slots_[find(s, hash(s))] = v;
    }
  }

  std::vector<Slot> slots_;
  size_t mask_ = 0;
  size_t count_ = 0;
};

// The name of variable `i` as the model records it (the one place the
// exports read a variable's name).
inline std::string variable_name(const ModelData& m, size_t i) { return m.var_name(i); }

// The parts of the objective: its linear expression (null for none), its
// quadratic terms and its nonlinear terms (null when absent).
struct ObjectiveParts {
  const Expr* linear = nullptr;
  const SharedList<QuadTerm>* quad = nullptr;
  const SharedList<NlTerm>* nl = nullptr;
};

inline ObjectiveParts objective_parts(const ModelData& m) {
  ObjectiveParts p;
  if (!m.objective) return p;
  std::visit(
      [&](const auto& o) {
        using T = std::decay_t<decltype(o)>;
        if constexpr (std::is_same_v<T, Expr>) {
          p.linear = &o;
        } else if constexpr (std::is_same_v<T, QuadExpr>) {
          p.linear = &o.linear;
          p.quad = &o.quad_terms;
        } else {
          p.linear = &o.linear;
          if (!o.nl_terms.empty()) p.nl = &o.nl_terms;
        }
      },
      *m.objective);
  return p;
}

// Refuses an index the model has no record for (a Var of another model).
[[noreturn]] inline void throw_unknown_index(std::string_view what, size_t index) {
  throw ExportError(std::string(what) + ": variable index " + std::to_string(index) +
                    " has no record in this model (a Var of another model?)");
}

inline void check_index(const ModelData& m, std::string_view what, size_t index) {
  if (index >= m.variables.size()) throw_unknown_index(what, index);
}

}  // namespace pelora::exports
