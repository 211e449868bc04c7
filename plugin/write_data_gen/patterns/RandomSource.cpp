#include "patterns/RandomSource.h"

#include "tavik/Tavik.h"
#include "varnox/Clock.h"
#include "varnox/SeedEntropy.h"

namespace cardamor {

void RandomSource::seedRandomSource(uint64_t min, uint64_t max, uint32_t seed) {
  release();
  engine_ = std::make_unique<Engine>(seed);
  distribution_ = std::make_unique<Distribution>(min, max);
  generator_ = std::make_unique<Generator>(*engine_, Distribution(distribution_->min(), distribution_->max()));
}

void RandomSource::release() {
  engine_.reset();
  distribution_.reset();
  generator_.reset();
}

uint32_t chooseSeed(uint32_t configuredSeed, const varnox::Tavik* device) {
  if (configuredSeed != 0) return configuredSeed;
  const uint32_t entropy = varnox::seed_entropy.fetch_add(1) + 1u;
  const uint32_t index = device != nullptr ? static_cast<uint32_t>(device->getCurrentDeviceIndex()) : 0u;
  return entropy + varnox::tickCountMs() + index;
}

}  // namespace cardamor
