#pragma once
// A growable byte buffer laid out like the host's Buffer (data, capacity, size, owns-data).
// Owned memory comes from the C allocator, so a failed growth is a status, never an exception.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "varnox/Errors.h"

namespace cardamor {

struct ByteBuffer {
  uint8_t* data = nullptr;
  uint64_t capacity = 0;
  uint64_t size = 0;
  bool ownsData = false;

  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& other) noexcept { swap(other); }
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
      ByteBuffer gone(std::move(other));
      swap(gone);
    }
    return *this;
  }
  ~ByteBuffer() {
    if (ownsData) std::free(data);
  }

  // Makes room for `bytes`: above the capacity, allocates `bytes` zeroed bytes, keeps the first
  // `size` bytes and takes ownership; `size` is unchanged. Returns 0, or -1002 with the buffer
  // untouched when the memory cannot be had. A request within the capacity changes nothing.
  int grow(uint64_t bytes) {
    if (bytes <= capacity) return 0;
    auto* fresh = static_cast<uint8_t*>(std::calloc(bytes, 1));
    if (fresh == nullptr) return varnox::VARNOX_ERR_NO_MEMORY;
    if (size != 0 && data != nullptr) std::memcpy(fresh, data, size);
    if (ownsData) std::free(data);
    data = fresh;
    capacity = bytes;
    ownsData = true;
    return 0;
  }

  void swap(ByteBuffer& other) noexcept {
    std::swap(data, other.data);
    std::swap(capacity, other.capacity);
    std::swap(size, other.size);
    std::swap(ownsData, other.ownsData);
  }
};

}  // namespace cardamor
