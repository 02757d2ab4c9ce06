// A vector whose copies share one immutable buffer until one of them writes.
// The model record keeps its variables, rows and row ids in these, so that
// a Result's snapshot is a handful of reference counts instead of a copy of
// the model: the model pays for a copy only when it is edited while a
// Result (or a copied model) still holds the buffer, and the holder keeps
// exactly what it had.
//
// Reading never copies. Writing goes through edit() (or the few mutators
// below, which call it), so no write can reach a shared buffer by accident:
// there is no non-const element access.
#pragma once
#include <algorithm>
#include <cstddef>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace pelora {

template <class T>
class SharedVector {
 public:
  SharedVector() noexcept = default;
  SharedVector(std::vector<T> v) : p_(std::make_shared<std::vector<T>>(std::move(v))) {}  // NOLINT
  SharedVector& operator=(std::vector<T> v) {
    p_ = std::make_shared<std::vector<T>>(std::move(v));
    return *this;
  }

  size_t size() const noexcept { return p_ ? p_->size() : 0; }
  bool empty() const noexcept { return size() == 0; }
  size_t capacity() const noexcept { return p_ ? p_->capacity() : 0; }
  const T& operator[](size_t i) const noexcept { return (*p_)[i]; }
  const T* data() const noexcept { return p_ ? p_->data() : nullptr; }
  const T* begin() const noexcept { return data(); }
  const T* end() const noexcept { return data() + size(); }
  const T& front() const noexcept { return p_->front(); }
  const T& back() const noexcept { return p_->back(); }
  const std::vector<T>& get() const noexcept { return p_ ? *p_ : empty_vector(); }
  operator const std::vector<T>&() const noexcept { return get(); }  // NOLINT
  operator std::span<const T>() const noexcept { return {data(), size()}; }  // NOLINT

  // True when another holder (a Result's snapshot, a copied model) reads the
  // same buffer, so that the next edit() copies.
  bool shared() const noexcept { return p_ && p_.use_count() > 1; }

  // The buffer for writing: this holder's own, copied first when shared.
  // Strong guarantee: a failed copy leaves everything as it was.
  std::vector<T>& edit() {
    if (!p_) {
      p_ = std::make_shared<std::vector<T>>();
    } else if (p_.use_count() > 1) {
      auto own = std::make_shared<std::vector<T>>();
      own->reserve(p_->capacity());
      own->assign(p_->begin(), p_->end());
      p_ = std::move(own);
    }
    return *p_;
  }
  void push_back(T v) { edit().push_back(std::move(v)); }
  void reserve(size_t n) {
    // A shared buffer is copied at the wanted size at once.
    if (n <= capacity() && !shared()) return;
    if (shared()) {
      auto own = std::make_shared<std::vector<T>>();
      own->reserve(std::max(n, p_->size()));
      own->assign(p_->begin(), p_->end());
      p_ = std::move(own);
      return;
    }
    edit().reserve(n);
  }
  void clear() { p_.reset(); }

 private:
  static const std::vector<T>& empty_vector() noexcept {
    static const std::vector<T> none;
    return none;
  }
  std::shared_ptr<std::vector<T>> p_;
};

}  // namespace pelora
