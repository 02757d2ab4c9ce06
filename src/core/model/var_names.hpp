// Names of a model's variables without one string per variable: a batch
// (`x_0`, `x_1`, ...) keeps only its prefix and makes each name when asked;
// a single variable keeps its own name. Blocks are shared, immutable and
// reference-counted, so a variable handle and the model record hold the
// same name.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/expr/linear_terms.hpp"
#include "core/expr/owner.hpp"
#include "core/model/shared_vector.hpp"

namespace pelora {

// "{prefix}_{i}", the name of the i-th variable of a batch.
std::string batch_name(std::string_view prefix, size_t i);

// One name (single) or the names prefix_0 .. of a batch whose first variable
// has index `first`.
class NameBlock {
 public:
  NameBlock(std::string text, VarIndex first, bool batch, ModelId owner = kNoModel)
      : text_(std::move(text)), first_(first), batch_(batch), owner_(owner) {}

  std::string name_of(VarIndex index) const {
    return batch_ ? batch_name(text_, static_cast<size_t>(index - first_)) : text_;
  }
  VarIndex first() const noexcept { return first_; }
  bool is_batch() const noexcept { return batch_; }
  const std::string& text() const noexcept { return text_; }
  // The model whose variables these are (kNoModel for a name held by no model).
  ModelId owner() const noexcept { return owner_; }
  // Whatever must live as long as the block (the binding layer's keep-alive
  // of a model for a variable restored on its own).
  std::shared_ptr<void> anchor;

 private:
  friend class NameRef;
  std::atomic<size_t> refs_{0};
  std::string text_;  // the name, or the batch prefix
  VarIndex first_;
  bool batch_;
  ModelId owner_;
};

// An owning handle on a NameBlock (8 bytes); copies share the block.
class NameRef {
 public:
  NameRef() noexcept = default;
  explicit NameRef(NameBlock* b) noexcept : p_(b) { retain(); }
  NameRef(const NameRef& o) noexcept : p_(o.p_) { retain(); }
  NameRef(NameRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  NameRef& operator=(NameRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~NameRef() { release(); }

  // Takes over one reference already counted on `b` (see add_references).
  static NameRef adopt(NameBlock* b) noexcept {
    NameRef r;
    r.p_ = b;
    return r;
  }
  // Counts `n` more references at once, each to be taken over by adopt().
  NameBlock* add_references(size_t n) const noexcept {
    p_->refs_.fetch_add(n, std::memory_order_relaxed);
    return p_;
  }

  const NameBlock* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // The name of variable `index`, which this block covers.
  std::string name_of(VarIndex index) const { return p_ ? p_->name_of(index) : std::string(); }

 private:
  void retain() noexcept {
    if (p_) p_->refs_.fetch_add(1, std::memory_order_relaxed);
  }
  void release() noexcept {
    if (p_ && p_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete p_;
  }
  NameBlock* p_ = nullptr;
};

// The names of variables 0 .. size()-1, as a list of blocks in index order.
class VarNames {
 public:
  // Names for the next variable / the next `count` variables.
  void add_single(std::string name);
  void add_batch(std::string_view prefix, size_t count);
  void reserve_blocks(size_t n) { blocks_.reserve(n); }
  // The model whose names these are; new blocks carry it.
  ModelId owner() const noexcept { return owner_; }
  void set_owner(ModelId owner) noexcept { owner_ = owner; }
  // The same names in blocks of their own, owned by `owner` (a copied model).
  VarNames rebound(ModelId owner) const;
  size_t block_count() const noexcept { return blocks_.size(); }
  const NameRef& block(size_t b) const { return blocks_[b]; }
  // Appends a block read back from a stored form (first == size()).
  void add_block(std::string text, bool batch, size_t count);

  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  // The name of variable i (i < size()).
  std::string operator[](size_t i) const { return block_of(i).name_of(static_cast<VarIndex>(i)); }
  // The block that holds variable i's name (i < size()).
  const NameRef& block_of(size_t i) const;
  // Every name in index order, f(index, name).
  template <class F>
  void for_each(F&& f) const {
    for (size_t b = 0; b < blocks_.size(); ++b) {
      const size_t end = b + 1 < blocks_.size() ? blocks_[b + 1].get()->first() : size_;
      for (size_t i = blocks_[b].get()->first(); i < end; ++i) {
        f(i, blocks_[b].name_of(static_cast<VarIndex>(i)));
      }
    }
  }

 private:
  SharedVector<NameRef> blocks_;  // ascending `first`; shared with copies
  size_t size_ = 0;
  ModelId owner_ = kNoModel;
};

}  // namespace pelora
