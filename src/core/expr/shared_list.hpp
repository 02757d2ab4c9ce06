// An append-only list whose copies share storage, for the term lists of
// quadratic and nonlinear expressions.
//
// Expressions are immutable values, so `q = q + term` must leave the old q
// intact. Copying the whole list each time would make accumulation in a loop
// quadratic. Instead a copy shares the buffer and remembers its own length;
// appending to the copy whose length equals the buffer's ("the tip") writes
// in place, since every other copy reads only its own prefix. Any other change
// (scaling, appending to a non-tip copy) first takes a private copy.
#pragma once
#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace pelora {

template <class T>
class SharedList {
 public:
  SharedList() noexcept = default;
  SharedList(const SharedList& o) noexcept : buf_(o.buf_), len_(o.len_) {
    if (buf_) ++buf_->refs;
  }
  SharedList(SharedList&& o) noexcept
      : buf_(std::exchange(o.buf_, nullptr)), len_(std::exchange(o.len_, 0)) {}
  SharedList& operator=(const SharedList& o) noexcept {
    if (this != &o) {
      if (o.buf_) ++o.buf_->refs;
      release();
      buf_ = o.buf_;
      len_ = o.len_;
    }
    return *this;
  }
  SharedList& operator=(SharedList&& o) noexcept {
    if (this != &o) {
      release();
      buf_ = std::exchange(o.buf_, nullptr);
      len_ = std::exchange(o.len_, 0);
    }
    return *this;
  }
  ~SharedList() { release(); }

  size_t size() const noexcept { return len_; }
  bool empty() const noexcept { return len_ == 0; }
  const T* begin() const noexcept { return buf_ ? buf_->items.data() : nullptr; }
  const T* end() const noexcept { return begin() + len_; }
  const T& operator[](size_t i) const noexcept { return buf_->items[i]; }

  void push_back(T v) {
    prepare_append(1);
    buf_->items.push_back(std::move(v));
    ++len_;
  }
  // Appends every item of `o` (which may share storage with this list).
  void append(const SharedList& o) {
    if (o.empty()) return;
    if (buf_ && buf_ == o.buf_) {
      std::vector<T> items(o.begin(), o.end());
      prepare_append(items.size());
      buf_->items.insert(buf_->items.end(), items.begin(), items.end());
      len_ += items.size();
      return;
    }
    prepare_append(o.len_);
    buf_->items.insert(buf_->items.end(), o.begin(), o.end());
    len_ += o.len_;
  }
  void reserve(size_t n) {
    if (n > len_) prepare_append(n - len_);
  }
  // Items to change in place (a private copy is taken first when shared).
  std::span<T> mutable_items() {
    if (!buf_) return {};
    if (buf_->refs != 1) copy_prefix(0);
    else trim();
    return {buf_->items.data(), len_};
  }

 private:
  struct Buffer {
    size_t refs = 1;
    std::vector<T> items;
  };

  void release() noexcept {
    if (buf_ && --buf_->refs == 0) delete buf_;
    buf_ = nullptr;
  }
  void trim() { buf_->items.erase(buf_->items.begin() + static_cast<std::ptrdiff_t>(len_), buf_->items.end()); }
  void grow(size_t extra) {
    std::vector<T>& v = buf_->items;
    if (v.capacity() < len_ + extra) v.reserve(std::max(len_ + extra, 2 * v.capacity()));
  }
  void copy_prefix(size_t extra) {
    auto* b = new Buffer;
    b->items.reserve(std::max<size_t>(len_ + extra, 4));
    b->items.assign(begin(), end());
    release();
    buf_ = b;
  }
  void prepare_append(size_t extra) {
    if (!buf_) {
      buf_ = new Buffer;
      buf_->items.reserve(std::max<size_t>(extra, 4));
      return;
    }
    if (buf_->refs == 1) trim();
    if (buf_->items.size() == len_) {
      grow(extra);  // the tip appends in place
      return;
    }
    copy_prefix(std::max(extra, len_));
  }

  Buffer* buf_ = nullptr;
  size_t len_ = 0;
};

}  // namespace pelora
