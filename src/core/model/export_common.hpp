// Pieces the model exports share: term ordering, unit coefficients, the
// objective's parts, variable names and the messages of refused exports.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/format.hpp"
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
  void prefetch(std::string_view s) const { prefetch_hash(hash(s)); }
  // False when `s` (not empty) is in the set already.
  bool insert(std::string_view s) { return insert_hashed(s, hash(s)); }
  // The same with the hash of `s` at hand (from hash()).
  void prefetch_hash(size_t h) const { __builtin_prefetch(&slots_[h & mask_]); }
  bool insert_hashed(std::string_view s, size_t h) {
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

  // A hash of 8 bytes at a time with full mixing of the last (names are
  // short; both halves of the result are used, the low one for the slot,
  // the high one as the tag).
  static size_t hash(std::string_view s) {
    uint64_t h = 0x9e3779b97f4a7c15ull ^ s.size();
    const char* p = s.data();
    size_t n = s.size();
    for (; n >= 8; p += 8, n -= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      h = (h ^ w) * 0xbf58476d1ce4e5b9ull;
      h ^= h >> 31;
    }
    uint64_t w = 0;
    for (size_t k = 0; k < n; ++k) w |= static_cast<uint64_t>(static_cast<unsigned char>(p[k])) << (8 * k);
    h = (h ^ w) * 0x94d049bb133111ebull;
    h ^= h >> 32;
    h *= 0xd6e8feb86659fd93ull;
    h ^= h >> 32;
    return static_cast<size_t>(h);
  }

 private:
  struct Slot {
    const char* data = nullptr;  // null: empty
    uint32_t size = 0;
    uint32_t tag = 0;  // high half of the hash
  };
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

// A list of names in one buffer, without a string object per name.
class NameList {
 public:
  size_t size() const noexcept { return end_.size(); }
  size_t text_size() const noexcept { return chars_.size(); }
  std::string_view operator[](size_t i) const noexcept {
    const size_t begin = i ? end_[i - 1] : 0;
    return {chars_.data() + begin, end_[i] - begin};
  }
  void reserve(size_t names, size_t chars) {
    end_.reserve(names);
    chars_.reserve(chars);
  }
  void push(std::string_view s) {
    chars_.append(s);
    end_.push_back(chars_.size());
  }

 private:
  std::string chars_;
  std::vector<size_t> end_;
};

// The name of variable `i` as the model records it (the one place the
// exports read a variable's name; variable_names gives them all).
inline std::string variable_name(const ModelData& m, size_t i) { return m.var_name(i); }

// Every variable's name, in index order, made block by block.
inline NameList variable_names(const ModelData& m) {
  const VarNames& names = m.var_names;
  NameList out;
  out.reserve(names.size(), 8 * names.size());
  for (size_t b = 0; b < names.block_count(); ++b) {
    const NameBlock& block = *names.block(b).get();
    const size_t first = block.first();
    const size_t end = b + 1 < names.block_count() ? names.block(b + 1).get()->first() : names.size();
    if (block.is_batch()) {
      // prefix_0, prefix_1, ...: the number counts up in place.
      std::string name(block.text());
      name += "_0";
      const size_t digits_at = block.text().size() + 1;
      for (size_t i = first; i < end; ++i) {
        out.push(name);
        size_t d = name.size();
        while (d > digits_at && name[d - 1] == '9') name[--d] = '0';
        if (d > digits_at) {
          ++name[d - 1];
        } else {
          name.insert(digits_at, 1, '1');
        }
      }
    } else {
      for (size_t i = first; i < end; ++i) out.push(block.text());
    }
  }
  return out;
}

// Text made in one buffer by plain stores: a writer asks for room for a
// piece (`room`), then writes it unchecked (`put`); the checked `add`s do both.
class TextOut {
 public:
  explicit TextOut(size_t expected) : buf_(std::max<size_t>(expected, 256), '\0') {
    p_ = buf_.data();
    end_ = p_ + buf_.size();
  }
  void room(size_t n) {
    if (static_cast<size_t>(end_ - p_) < n) grow(n);
  }
  void put(char c) { *p_++ = c; }
  void put(std::string_view s) {
    std::memcpy(p_, s.data(), s.size());
    p_ += s.size();
  }
  template <size_t N>
  void put_literal(const char (&s)[N]) {
    std::memcpy(p_, s, N - 1);
    p_ += N - 1;
  }
  void put_number(double v) { p_ += write_plain_number(p_, v); }
  void add(std::string_view s) {
    room(s.size());
    put(s);
  }
  void add(char c) {
    room(1);
    put(c);
  }
  void add_number(double v) {
    room(kMaxPlainNumber);
    put_number(v);
  }
  // The text written; the writer is empty afterwards.
  std::string take() {
    buf_.resize(static_cast<size_t>(p_ - buf_.data()));
    std::string out = std::move(buf_);
    buf_.clear();
    p_ = end_ = buf_.data();
    return out;
  }

 private:
  void grow(size_t n) {
    const size_t used = static_cast<size_t>(p_ - buf_.data());
    buf_.resize(std::max(2 * buf_.size(), used + n));
    p_ = buf_.data() + used;
    end_ = buf_.data() + buf_.size();
  }
  std::string buf_;
  char* p_ = nullptr;
  char* end_ = nullptr;
};

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
