// The per-channel FIFO storage of the PipeWire host: a vector of samples that grows without
// zeroing, for room that the engine is about to write anyway.
#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

// resize() without a value leaves new samples as they are; with a value, or through insert,
// they get that value as usual.
template <typename T>
struct UninitialisedGrowth : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitialisedGrowth<U>;
  };
  UninitialisedGrowth() = default;
  template <typename U>
  UninitialisedGrowth(const UninitialisedGrowth<U>&) noexcept {}
  template <typename U>
  void construct(U* place) noexcept {
    ::new (static_cast<void*>(place)) U;
  }
  template <typename U, typename... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
};

using SampleFifo = std::vector<float, UninitialisedGrowth<float>>;
