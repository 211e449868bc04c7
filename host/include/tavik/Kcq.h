#pragma once
#include <cstdint>

namespace varnox {
// Sense key, additional sense code and qualifier of a sense record.
struct Kcq {
  uint8_t key = 0;
  uint8_t code = 0;
  uint8_t qual = 0;
};
}  // namespace varnox
