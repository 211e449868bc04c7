#include "varnox/SeedEntropy.h"

namespace varnox {
std::atomic<uint32_t> seed_entropy{0};
}  // namespace varnox
