// The per-drive random source: its draws, its reseeding and the seed rule.
#include <gtest/gtest.h>

#include <random>

#include "patterns/RandomSource.h"
#include "tavik/Tavik.h"
#include "varnox/SeedEntropy.h"

namespace varnox::testing {
using namespace cardamor;
namespace {

TEST(RandomSource, DrawsTwoEngineWordsPerValueOverTheFull64BitRange) {
  RandomSource source;
  EXPECT_FALSE(source.seeded());
  source.seedRandomSource(0, UINT64_MAX, 5);
  ASSERT_TRUE(source.seeded());

  // The standard library's MT19937 is the same engine; a full-range 64-bit value is the first
  // 32-bit output plus the second one shifted up.
  std::mt19937 reference(5);
  bool topBitSeen = false;
  for (int i = 0; i < 64; ++i) {
    const uint64_t low = reference();
    const uint64_t high = reference();
    const uint64_t value = source.draw();
    ASSERT_EQ(value, low | (high << 32)) << "draw " << i;
    topBitSeen |= (value >> 63) != 0;
  }
  EXPECT_TRUE(topBitSeen);

  // Seeding again replaces the state: the sequence starts over.
  source.seedRandomSource(0, UINT64_MAX, 5);
  EXPECT_EQ(source.draw(), 0x0e2048ce38d48b63ull);
  source.release();
  EXPECT_FALSE(source.seeded());
}

TEST(RandomSource, SeedRuleUsesTheConfiguredSeedOrFreshEntropy) {
  EXPECT_EQ(chooseSeed(5, nullptr), 5u);
  const uint32_t before = seed_entropy.load();
  EXPECT_EQ(chooseSeed(0xFFFFFFFF, nullptr), 0xFFFFFFFFu);
  EXPECT_EQ(seed_entropy.load(), before);  // a configured seed takes no entropy

  // Two drives set up in the same millisecond on the same device still differ: each setup
  // takes its own increment of the shared counter.
  Tavik device(nullptr, 3);
  const uint32_t first = chooseSeed(0, &device);
  const uint32_t second = chooseSeed(0, &device);
  EXPECT_EQ(seed_entropy.load(), before + 2);
  EXPECT_NE(first, second);
}

}  // namespace
}  // namespace varnox::testing
