// The sector bucket table and the trim buffer, built through setup on a real drive thread.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "entry/BucketSetup.h"
#include "patterns/SectorBuckets.h"
#include "support/AgentFixture.h"
#include "varnox/Errors.h"

namespace varnox::testing {
using namespace cardamor;
namespace {

using testing::AgentFixture;
using testing::AgentFixtureOptions;

std::vector<uint8_t> bucket(AgentFixture& f, uint32_t b) {
  const uint32_t sector = f.thread().sectorSize();
  const uint8_t* start = f.drive().sectorBuckets.get() + uint64_t{b} * sector;
  return std::vector<uint8_t>(start, start + sector);
}

void configureRandom(AgentFixture& f, const char* buckets) {
  f.setBasicConditions();
  f.set({{"Random Seed", "5"}, {"Bucket Count", buckets}});
}

// The user pattern "ABC" over `buckets` buckets; a largest transfer length of 0 leaves it unset.
void configureUserPattern(AgentFixture& f, const char* buckets, uint32_t maxXfer) {
  f.setBasicConditions();
  f.set({{"User Defined Data", "true"}, {"Data Buffer", "ABC"}, {"Bucket Count", buckets}});
  if (maxXfer != 0) f.setTestMaxXferLength(maxXfer);
}

TEST(SectorBuckets, RandomModeFillsFromTheDrawsAndStampsEveryBucket) {
  AgentFixture f;
  configureRandom(f, "80000");
  ASSERT_EQ(f.setup(), 0);

  // Bytes follow the draws least significant first; the stamp overwrites the first four.
  std::mt19937 engine(5);
  auto draw = [&engine] {
    const uint64_t low = engine();
    return low | (uint64_t{engine()} << 32);
  };
  const uint8_t* table = f.drive().sectorBuckets.get();
  const uint64_t first = draw();
  EXPECT_EQ(std::vector<uint8_t>(table, table + 8),
            (std::vector<uint8_t>{0, 0, 0, 0, uint8_t(first >> 32), uint8_t(first >> 40), uint8_t(first >> 48),
                                  uint8_t(first >> 56)}));
  const uint64_t second = draw();
  uint64_t stored = 0;
  std::memcpy(&stored, table + 8, 8);
  EXPECT_EQ(stored, second);

  const auto stamped = bucket(f, 0x12345);
  EXPECT_EQ(std::vector<uint8_t>(stamped.begin(), stamped.begin() + 4), (std::vector<uint8_t>{0x01, 0x23, 0x45, 0x00}));
  const auto lastBucket = bucket(f, 79999);
  EXPECT_EQ(std::vector<uint8_t>(lastBucket.begin(), lastBucket.begin() + 4),
            (std::vector<uint8_t>{0x01, 0x38, 0x7F, 0x00}));

  // The same seed on another drive gives the same table, byte for byte.
  AgentFixtureOptions other;
  other.deviceIndex = 1;
  AgentFixture g(other);
  configureRandom(g, "80000");
  ASSERT_EQ(g.setup(), 0);
  EXPECT_EQ(std::memcmp(table, g.drive().sectorBuckets.get(), 80000u * 512), 0);
}

TEST(SectorBuckets, OneBucketAndAShortLastDraw) {
  AgentFixture one;
  configureRandom(one, "1");
  ASSERT_EQ(one.setup(), 0);
  const auto only = bucket(one, 0);
  EXPECT_EQ(std::vector<uint8_t>(only.begin(), only.begin() + 4), (std::vector<uint8_t>{0, 0, 0, 0}));

  // A table that is not a multiple of 8 bytes takes the low bytes of its last draw.
  RandomSource source;
  source.seedRandomSource(0, UINT64_MAX, 9);
  std::vector<uint8_t> table(3 * 6 + 1, 0xEE);
  fillRandomBuckets(table.data(), 3, 6, source);
  RandomSource again;
  again.seedRandomSource(0, UINT64_MAX, 9);
  again.draw();
  again.draw();
  const uint64_t last = again.draw();
  EXPECT_EQ(table[16], uint8_t(last));
  EXPECT_EQ(table[17], uint8_t(last >> 8));
  EXPECT_EQ(table[18], 0xEE);  // nothing past the table
  EXPECT_EQ(std::vector<uint8_t>(table.begin() + 12, table.begin() + 16), (std::vector<uint8_t>{0, 0, 2, 0}));
}

TEST(SectorBuckets, UserPatternTilesEachBucketRun) {
  AgentFixture f;
  configureUserPattern(f, "4", 1);
  ASSERT_EQ(f.setup(), 0);
  for (uint32_t b = 0; b < 4; ++b) {
    const auto bytes = bucket(f, b);
    for (uint32_t i = 0; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], "ABC"[i % 3]) << "bucket " << b << " byte " << i;
    EXPECT_EQ(bytes[510], 'A');  // 512-byte pattern ends in AB, so the next bucket restarts with A
    EXPECT_EQ(bytes[511], 'B');
  }

  // A two-block pattern restarts every two buckets, so bucket 1 continues where bucket 0 ended.
  AgentFixture two;
  configureUserPattern(two, "4", 2);
  ASSERT_EQ(two.setup(), 0);
  EXPECT_EQ(bucket(two, 1)[0], 'C');  // byte 512 of the pattern: 512 mod 3 = 2
  EXPECT_EQ(bucket(two, 2)[0], 'A');

  // No largest transfer length: the pattern is one sector.
  AgentFixture none;
  configureUserPattern(none, "2", 0);
  ASSERT_EQ(none.setup(), 0);
  EXPECT_EQ(bucket(none, 1)[0], 'A');
}

TEST(SectorBuckets, SizesThatCannotBeBuiltFailSetup) {
  AgentFixture tooLarge;
  configureUserPattern(tooLarge, "4", 0x800000);  // 512 x 2^23 = 2^32 bytes
  EXPECT_EQ(tooLarge.setup(), VARNOX_ERR_USER_PATTERN);
  EXPECT_EQ(tooLarge.logTexts(),
            std::vector<std::string>{"The xfer_len * driveBlockSize is too large for 32-bit addressing."});
  EXPECT_EQ(tooLarge.drive().trimBuffer, nullptr);
  EXPECT_TRUE(tooLarge.drive().randomSource.seeded());

  AgentFixtureOptions zero;
  zero.withDevice = false;
  zero.drive.logicalBlockSize = 0;
  AgentFixture noBlocks(zero);
  noBlocks.setBasicConditions();
  EXPECT_EQ(noBlocks.setup(), VARNOX_ERR_CONFIG_MISSING);
  EXPECT_EQ(noBlocks.logTexts(), std::vector<std::string>{"Drive Blocksize reported as zero"});
  EXPECT_EQ(noBlocks.drive().sectorBuckets, nullptr);
  EXPECT_TRUE(noBlocks.drive().randomSource.seeded());
}

TEST(SectorBuckets, TilingKeepsThePatternPhaseForAnyLength) {
  const std::string pattern = "0123456";
  for (uint64_t length : {0ull, 1ull, 6ull, 7ull, 8ull, 13ull, 14ull, 15ull, 100ull, 1000ull}) {
    std::vector<uint8_t> out(length + 1, 0xEE);
    tilePattern(out.data(), length, reinterpret_cast<const uint8_t*>(pattern.data()), pattern.size());
    for (uint64_t i = 0; i < length; ++i) ASSERT_EQ(out[i], pattern[i % pattern.size()]) << length << "/" << i;
    EXPECT_EQ(out[length], 0xEE) << length;
  }
}

}  // namespace
}  // namespace varnox::testing
