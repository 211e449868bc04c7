#pragma once
#include <cstdint>

namespace varnox {

// A byte buffer that either owns C-allocator memory or points at memory owned elsewhere.
struct Buffer {
  uint8_t* data = nullptr;
  uint64_t capacity = 0;
  uint64_t size = 0;
  bool ownsData = false;

  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { release(); }

  // Points at memory owned by someone else; owned memory is freed first.
  void pointAt(uint8_t* other, uint64_t bytes);
  // Makes the buffer own a zeroed block of `bytes`; returns false (buffer unchanged) when out of memory.
  bool allocate(uint64_t bytes);
  // Copies `bytes` into owned memory; returns false (buffer unchanged) when out of memory.
  bool assign(const uint8_t* src, uint64_t bytes);
  void release();
};

}  // namespace varnox
