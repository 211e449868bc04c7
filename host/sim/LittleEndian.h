#pragma once
// Little-endian integers at a byte offset: how the medium file stores its numbers on any host.
#include <cstddef>
#include <cstdint>

namespace varnox::sim {

template <typename T>
void putLittleEndian(uint8_t* bytes, size_t at, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

template <typename T>
T getLittleEndian(const uint8_t* bytes, size_t at) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(bytes[at + i]) << (8 * i);
  return value;
}

}  // namespace varnox::sim
