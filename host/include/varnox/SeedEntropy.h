#pragma once
#include <atomic>
#include <cstdint>

namespace varnox {
// Incremented by every drive's setup so that drives seeded in the same millisecond differ.
extern std::atomic<uint32_t> seed_entropy;
}  // namespace varnox
