// Block header decoding, the block hash, and the expected block rebuilt from what the history
// recorded, checked against a block the agent actually wrote.
#include "completion/ReferenceBlock.h"
#include "patterns/BlockLayout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "plugin/issue/IssueHarness.h"

namespace varnox::testing {
using cardamor::AtomicContext;
namespace {

using namespace cardamor;

TEST(BlockLayout, HeaderDecoding) {
  struct Case {
    std::vector<uint8_t> head;  // bytes from 0
    uint32_t bucket;
    uint64_t lba;
    uint64_t cmdId;
  };
  const std::vector<Case> cases = {
      {{0x01, 0x23, 0x45, 0x00, 9, 9, 9, 9, 1, 2, 3, 4, 5, 6, 7, 8, 1, 0x01},
       0x12345,
       0x0102030405060708ull,
       1},
      {{0x0F, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0x01, 0x00}, INVALID_BUCKET, 0, 0x100},
      {{0xFF, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, TRIM_BUCKET, 0, 0},
      {{0x08, 0x00, 0x00}, INVALID_BUCKET, 0, 0},  // 0x80000: one past the last bucket
      {{0x07, 0xFF, 0xFF}, 0x7FFFF, 0, 0},
      // A corrupt length above 8 keeps only the last eight bytes.
      {{0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0xAA, 1, 2, 3, 4, 5, 6, 7, 8},
       1,
       0,
       0x0102030405060708ull},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> block(512, 0);
    std::memcpy(block.data(), c.head.data(), c.head.size());
    const BlockHeader header = parseBlockHeader(block.data());
    EXPECT_EQ(header.bucket, c.bucket);
    EXPECT_EQ(header.embedValid, 1u);
    EXPECT_EQ(header.embedLba, c.lba);
    EXPECT_EQ(header.embedCmdId, c.cmdId);
  }
}

TEST(BlockLayout, BlockHash) {
  const uint8_t bytes[] = {1, 2, 3};
  EXPECT_EQ(blockHash(bytes, 0), 0u);
  EXPECT_EQ(blockHash(bytes, 1), 0x9E3779BAu);
  EXPECT_EQ(blockHash(bytes, 3), 0xA16FB58D153ull);
}

TEST(BlockLayout, ReferenceBlockRebuildsAWrittenBlock) {
  IssueHarness h;
  ASSERT_EQ(h.setupWith(), 0);
  ASSERT_EQ(h.pass(0, 1), 0);
  h.drive().nextCmdId = 0x1234567;
  ASSERT_EQ(h.pass(0xABCDEF, 4), 0);

  for (uint32_t k = 0; k < 4; ++k) {
    // The bytes written are pinned by WriteIssue.WrittenBlocksCarry..., their decoding above.
    const uint8_t* written = h.writeBlock(k, 512);
    const AtomicContext::ExpectedBlock e = h.drive().atomicContext.lookup(0xABCDEF + k);
    const uint8_t* expected =
        referenceBlock(h.drive(), e.blockNum, 512, e.embedded, e.embeddedCmdId, e.embeddedLba);
    ASSERT_NE(expected, nullptr);
    EXPECT_EQ(std::memcmp(expected, written, 512), 0) << "block " << k;
  }

  // Without embedded values the bucket itself; trimmed blocks are zeros; unknown ones have none.
  const uint8_t* plain = referenceBlock(h.drive(), 5, 512, false, 0, 0);
  EXPECT_EQ(plain, h.drive().sectorBuckets.get() + 5 * 512);
  const uint8_t* trim = referenceBlock(h.drive(), TRIM_BUCKET, 512, false, 0, 0);
  ASSERT_NE(trim, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(trim, trim + 512), std::vector<uint8_t>(512, 0));
  EXPECT_EQ(referenceBlock(h.drive(), INVALID_BUCKET, 512, true, 1, 1), nullptr);
  EXPECT_EQ(referenceBlock(h.drive(), 0xFF0001, 512, false, 0, 0), nullptr);
}

}  // namespace
}  // namespace varnox::testing
