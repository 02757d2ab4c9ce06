#include "core/expr/linear_terms.hpp"

#include <cmath>
#include <utility>

namespace pelora {

namespace {
inline uint64_t hash_index(VarIndex i) { return (static_cast<uint64_t>(i) * 0x9E3779B97F4A7C15ull) >> 20; }
}  // namespace

LinearTerms::LinearTerms(const LinearTerms& o) noexcept
    : buf_(o.buf_), len_(o.len_), inline_(o.inline_) {
  if (buf_) ++buf_->refs;
}

LinearTerms::LinearTerms(LinearTerms&& o) noexcept
    : buf_(std::exchange(o.buf_, nullptr)), len_(std::exchange(o.len_, 0)), inline_(o.inline_) {}

LinearTerms& LinearTerms::operator=(const LinearTerms& o) noexcept {
  if (this != &o) {
    if (o.buf_) ++o.buf_->refs;
    release(buf_);
    buf_ = o.buf_;
    len_ = o.len_;
    inline_ = o.inline_;
  }
  return *this;
}

LinearTerms& LinearTerms::operator=(LinearTerms&& o) noexcept {
  if (this != &o) {
    release(buf_);
    buf_ = std::exchange(o.buf_, nullptr);
    len_ = std::exchange(o.len_, 0);
    inline_ = o.inline_;
  }
  return *this;
}

LinearTerms::~LinearTerms() { release(buf_); }

LinearTerms LinearTerms::from_distinct(std::vector<Term>&& terms) {
  LinearTerms t;
  if (terms.size() == 1) {
    t.inline_ = terms[0];
    t.len_ = 1;
  } else if (!terms.empty()) {
    t.buf_ = new Buffer;
    t.buf_->terms = std::move(terms);
    t.len_ = static_cast<uint32_t>(t.buf_->terms.size());
  }
  return t;
}

void LinearTerms::release(Buffer* b) noexcept {
  if (b && --b->refs == 0) delete b;
}

void LinearTerms::table_insert(Buffer& b, VarIndex index, uint32_t pos) {
  size_t mask = b.table.size() - 1;
  size_t h = hash_index(index) & mask;
  const uint64_t key = static_cast<uint64_t>(index) + 1;
  while (b.table[h] != 0) {
    if ((b.table[h] >> 32) == key) {  // re-inserted after a private copy
      b.table[h] = (key << 32) | pos;
      return;
    }
    h = (h + 1) & mask;
  }
  b.table[h] = (key << 32) | pos;
  ++b.table_count;
}

void LinearTerms::table_rebuild(Buffer& b) {
  size_t cap = 32;
  while (cap < b.terms.size() * 2 + 2) cap *= 2;
  b.table.assign(cap, 0);
  b.table_count = 0;
  for (size_t i = 0; i < b.terms.size(); ++i) table_insert(b, b.terms[i].index, static_cast<uint32_t>(i));
}

long LinearTerms::lookup(VarIndex index) const {
  if (!buf_) return (len_ == 1 && inline_.index == index) ? 0 : -1;
  const Term* d = buf_->terms.data();
  if (len_ < kTableFrom) {
    for (uint32_t i = 0; i < len_; ++i)
      if (d[i].index == index) return i;
    return -1;
  }
  Buffer& b = *buf_;
  if (b.table.empty() || b.table_count != b.terms.size()) table_rebuild(b);
  size_t mask = b.table.size() - 1;
  size_t h = hash_index(index) & mask;
  const uint64_t key = static_cast<uint64_t>(index) + 1;
  while (b.table[h] != 0) {
    if ((b.table[h] >> 32) == key) {
      uint32_t pos = static_cast<uint32_t>(b.table[h] & 0xffffffffu);
      return pos < len_ ? static_cast<long>(pos) : -1;
    }
    h = (h + 1) & mask;
  }
  return -1;
}

const Term* LinearTerms::find(VarIndex index) const {
  long p = lookup(index);
  return p < 0 ? nullptr : terms().data() + p;
}

void LinearTerms::make_unique(size_t extra) {
  auto* b = new Buffer;
  b->terms.reserve(len_ + extra);
  auto t = terms();
  b->terms.assign(t.begin(), t.end());
  release(buf_);
  buf_ = b;
}

Term* LinearTerms::mutable_data() {
  if (!buf_) return &inline_;
  if (buf_->refs != 1) make_unique(0);
  else if (buf_->terms.size() != len_) buf_->terms.resize(len_);  // drop others' appends
  return buf_->terms.data();
}

void LinearTerms::append_new(VarIndex index, double c) {
  if (!buf_ && len_ == 0) {
    inline_ = Term{index, c};
    len_ = 1;
    return;
  }
  if (!buf_) {
    make_unique(7);
  } else if (!is_tip()) {
    if (buf_->refs == 1) buf_->terms.resize(len_);
    else make_unique(len_ / 2 + 4);
  }
  Buffer& b = *buf_;
  b.terms.push_back(Term{index, c});
  if (!b.table.empty()) {
    if ((b.table_count + 1) * 2 > b.table.size()) table_rebuild(b);
    else table_insert(b, index, len_);
  }
  ++len_;
}

void LinearTerms::erase_at(size_t pos) {
  if (!buf_) {
    len_ = 0;
    return;
  }
  mutable_data();
  buf_->terms.erase(buf_->terms.begin() + static_cast<std::ptrdiff_t>(pos));
  --len_;
  if (!buf_->table.empty()) table_rebuild(*buf_);
}

void LinearTerms::add_term(VarIndex index, double c) {
  long p = lookup(index);
  if (p < 0) {
    if (std::fabs(c) < kCancelTolerance) return;  // 0.0 + c cancels at once
    append_new(index, c);
    return;
  }
  Term* d = mutable_data();
  double v = d[p].coef + c;
  if (std::fabs(v) < kCancelTolerance) erase_at(static_cast<size_t>(p));
  else d[p].coef = v;
}

void LinearTerms::set_term(VarIndex index, double c) {
  long p = lookup(index);
  if (p < 0) {
    if (c != 0.0) append_new(index, c);
    return;
  }
  if (c == 0.0) {
    erase_at(static_cast<size_t>(p));
    return;
  }
  mutable_data()[p].coef = c;
}

void LinearTerms::add_all(const LinearTerms& other, double scale_by) {
  if (other.empty()) return;
  if (this == &other || (buf_ && buf_ == other.buf_)) {
    LinearTerms copy = other;
    copy.make_unique(0);
    add_all(copy, scale_by);
    return;
  }
  for (const Term& t : other.terms()) add_term(t.index, t.coef * scale_by);
}

void LinearTerms::scale(double k) {
  if (len_ == 0) return;
  Term* d = mutable_data();
  for (uint32_t i = 0; i < len_; ++i) d[i].coef *= k;
}

void LinearTerms::reserve(size_t n) {
  if (n <= 1 || (buf_ && buf_->refs == 1 && buf_->terms.capacity() >= n)) return;
  if (buf_ && buf_->refs == 1 && is_tip()) {
    buf_->terms.reserve(n);
    return;
  }
  make_unique(n > len_ ? n - len_ : 0);
}

void LinearTerms::compact() {
  if (!buf_) return;
  auto* b = new Buffer;
  auto t = terms();
  b->terms.assign(t.begin(), t.end());
  release(buf_);
  buf_ = b;
}

size_t LinearTerms::heap_bytes() const noexcept {
  if (!buf_) return 0;
  return sizeof(Buffer) + buf_->terms.capacity() * sizeof(Term) +
         buf_->table.capacity() * sizeof(uint64_t);
}

}  // namespace pelora
