// The sector bucket table and the trim buffer, built through setup on a real drive thread.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
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

const AgentFixture::Keys kRandom = {{"Random Seed", "5"}, {"Bucket Count", "80000"}};
// The user pattern "ABC" over four buckets.
const AgentFixture::Keys kUserPattern = {
    {"User Defined Data", "true"}, {"Data Buffer", "ABC"}, {"Bucket Count", "4"}};

TEST(SectorBuckets, RandomModeStampsEveryBucketAndIsTheSameForTheSameSeed) {
  AgentFixture f;
  ASSERT_EQ(f.setupWith(kRandom), 0);

  // Every bucket starts with its number, in three bytes and a zero byte.
  const uint8_t* table = f.drive().sectorBuckets.get();
  for (const auto& [b, stamp] : {std::pair{0x12345u, 0x01234500u}, {79999u, 0x01387F00u}}) {
    const auto bytes = bucket(f, b);
    EXPECT_EQ(uint32_t{bytes[0]} << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3], stamp) << b;
  }

  EXPECT_NE(std::memcmp(table + 4, table + 512 + 4, 508), 0) << "bucket contents are drawn";
  // The same seed on another drive gives the same table, byte for byte.
  AgentFixtureOptions other;
  other.deviceIndex = 1;
  AgentFixture g(other);
  ASSERT_EQ(g.setupWith(kRandom), 0);
  EXPECT_EQ(std::memcmp(table, g.drive().sectorBuckets.get(), 80000u * 512), 0);
}

TEST(SectorBuckets, UserPatternTilesEachBucketRun) {
  AgentFixture f;
  ASSERT_EQ(f.setupWith(kUserPattern, 1), 0);
  for (uint32_t b = 0; b < 4; ++b) {
    const auto bytes = bucket(f, b);
    for (uint32_t i = 0; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], "ABC"[i % 3]) << "bucket " << b << " byte " << i;
  }

  // A two-block pattern restarts every two buckets, so bucket 1 continues where bucket 0 ended.
  AgentFixture two;
  ASSERT_EQ(two.setupWith(kUserPattern, 2), 0);
  EXPECT_EQ(bucket(two, 1)[0], 'C');  // byte 512 of the pattern: 512 mod 3 = 2
  EXPECT_EQ(bucket(two, 2)[0], 'A');
}

TEST(SectorBuckets, SizesThatCannotBeBuiltFailSetup) {
  AgentFixture tooLarge;
  // 512 x 2^23 = 2^32 bytes
  EXPECT_EQ(tooLarge.setupWith(kUserPattern, 0x800000), VARNOX_ERR_USER_PATTERN);
  EXPECT_EQ(tooLarge.logTexts(),
            std::vector<std::string>{"The xfer_len * driveBlockSize is too large for 32-bit addressing."});

  AgentFixtureOptions zero;
  zero.withDevice = false;
  zero.drive.logicalBlockSize = 0;
  AgentFixture noBlocks(zero);
  noBlocks.setBasicConditions();
  EXPECT_EQ(noBlocks.setup(), VARNOX_ERR_CONFIG_MISSING);
  EXPECT_EQ(noBlocks.logTexts(), std::vector<std::string>{"Drive Blocksize reported as zero"});
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
