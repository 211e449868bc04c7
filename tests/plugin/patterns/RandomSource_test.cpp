// The per-drive random source: its draws, its reseeding and the seed rule.
#include <gtest/gtest.h>

#include <vector>

#include "patterns/RandomSource.h"
#include "tavik/Tavik.h"
#include "varnox/SeedEntropy.h"

namespace varnox::testing {
using namespace cardamor;
namespace {

TEST(RandomSource, DrawsCoverThe64BitRangeAndReseedingStartsOver) {
  RandomSource source;
  EXPECT_FALSE(source.seeded());
  source.seedRandomSource(0, UINT64_MAX, 5);
  ASSERT_TRUE(source.seeded());

  bool topBitSeen = false;
  std::vector<uint64_t> first;
  for (int i = 0; i < 64; ++i) first.push_back(source.draw());
  for (uint64_t v : first) topBitSeen |= (v >> 63) != 0;
  EXPECT_TRUE(topBitSeen) << "values cover the full 64-bit range";
  // Seeding again replaces the state: the sequence starts over.
  source.seedRandomSource(0, UINT64_MAX, 5);
  for (uint64_t v : first) ASSERT_EQ(source.draw(), v);
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
