// The per-channel FIFO of the PipeWire host: samples in a store whose room is set aside off the
// audio path, so that the process callback grows and drains it without allocating.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "realtime.h"

class SampleFifo {
public:
  SampleFifo() = default;
  SampleFifo(size_t count, float value) : store_(count, value), size_(count) {}

  // Room for at least count samples in all; allocates, so never in steady state.
  void reserve(size_t count) {
    if (count > store_.size()) store_.resize(count);
  }

  // Adds count samples, left as they are for the caller to write, and returns where they start.
  float* grow(size_t count) PALVEX_REALTIME {
    // The room is set for the largest a cycle makes the FIFO: only an engine that changes its
    // chunk under a running instance gets past it.
    if (size_ + count > store_.size())
      PALVEX_BLOCKING_BY_DESIGN(reserve(std::max(size_ + count, 2 * store_.size())));
    float* room = store_.data() + size_;
    size_ += count;
    return room;
  }

  // Drops the oldest count samples; count is at most size().
  void drop_front(size_t count) PALVEX_REALTIME {
    float* samples = store_.data();
    std::memmove(samples, samples + count, (size_ - count) * sizeof(float));
    size_ -= count;
  }

  size_t size() const PALVEX_REALTIME { return size_; }
  size_t capacity() const PALVEX_REALTIME { return store_.size(); }
  float* data() PALVEX_REALTIME { return store_.data(); }
  const float* data() const PALVEX_REALTIME { return store_.data(); }
  const float* begin() const PALVEX_REALTIME { return store_.data(); }
  const float* end() const PALVEX_REALTIME { return store_.data() + size_; }
  float front() const PALVEX_REALTIME { return store_.data()[0]; }
  float back() const PALVEX_REALTIME { return store_.data()[size_ - 1]; }

private:
  std::vector<float> store_;  // all of it is room; the samples are the first size_
  size_t size_ = 0;           // samples held
};
