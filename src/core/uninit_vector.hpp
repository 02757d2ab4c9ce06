// A std::vector whose growth without a value leaves the new entries
// unwritten: for arrays that are sized first and then written entry by
// entry (a transpose's scatter, rows copied straight in), where the zero
// fill of a plain vector would be a wasted pass over the memory.
#pragma once
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace pelora {

template <class T>
struct UninitAlloc : std::allocator<T> {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = UninitAlloc<U>;
  };
  UninitAlloc() noexcept = default;
  template <class U>
  UninitAlloc(const UninitAlloc<U>&) noexcept {}
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... A>
  void construct(U* p, A&&... a) {
    ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
  }
};

template <class T>
using UninitVector = std::vector<T, UninitAlloc<T>>;

}  // namespace pelora
