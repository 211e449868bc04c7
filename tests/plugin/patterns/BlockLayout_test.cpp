// Block header decoding, as the diagnosis and the snapshot walk read headers of any content.
#include "patterns/BlockLayout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace varnox::testing {
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

}  // namespace
}  // namespace varnox::testing
