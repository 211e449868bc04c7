// Block header decoding, as the diagnosis and the snapshot walk read headers of any content.
#include "patterns/BlockLayout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "plugin/TestData.h"

namespace varnox::testing {
namespace {

using namespace cardamor;

TEST(BlockLayout, HeaderDecoding) {
  auto hex = [](const std::string& text) { return std::stoull(text, nullptr, 16); };
  for (const auto& row : caseRows("patterns/cases/block_headers.txt")) {
    SCOPED_TRACE(row[0]);
    std::vector<uint8_t> block(512, 0);
    const auto head = split(row[0], " ");
    for (size_t i = 0; i < head.size(); ++i) block[i] = static_cast<uint8_t>(hex(head[i]));
    const BlockHeader header = parseBlockHeader(block.data());
    EXPECT_EQ(header.bucket, hex(row[1]));
    EXPECT_EQ(header.embedValid, 1u);
    EXPECT_EQ(header.embedLba, hex(row[2]));
    EXPECT_EQ(header.embedCmdId, hex(row[3]));
  }
}

// What a write puts in each block: the bucket, with the LBA at bytes 8-15, the identifier's
// length at 16 and its significant bytes from 17, and nothing else changed. Identifiers of every
// length; behind them the bucket's bytes must survive, or a block reads back as another bucket's.
TEST(BlockLayout, WrittenBlocksCarryExactlyTheirHeader) {
  constexpr uint32_t kSector = 64;
  std::vector<uint8_t> buckets(4 * kSector);
  for (size_t i = 0; i < buckets.size(); ++i) buckets[i] = static_cast<uint8_t>(0xA0 + i % 7);
  const std::vector<std::pair<uint64_t, std::vector<uint8_t>>> ids = {
      {0, {}},
      {0x5A, {0x5A}},
      {0x100, {0x01, 0x00}},
      {0x123456, {0x12, 0x34, 0x56}},
      {0x0102030405060708, {1, 2, 3, 4, 5, 6, 7, 8}},
      {0xFFFFFFFFFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& [cmdId, idBytes] : ids) {
    SCOPED_TRACE(cmdId);
    EXPECT_EQ(cmdIdLength(cmdId), idBytes.size());
    WrittenBlocks layout;
    layout.buckets = buckets.data();
    layout.sectorSize = kSector;
    layout.stride = kSector + 8;  // protection bytes behind each block are left alone
    layout.first = 1;
    layout.count = 3;
    layout.embed = true;
    layout.lba = 0x1122334455667788;
    layout.lbaStep = 2;
    layout.cmdId = cmdId;
    std::vector<uint8_t> out(3 * layout.stride, 0xCC);
    buildWrittenBlocks(out.data(), layout);
    for (uint32_t k = 0; k < 3; ++k) {
      const uint8_t* block = out.data() + k * layout.stride;
      std::vector<uint8_t> expected(buckets.begin() + (1 + k) * kSector, buckets.begin() + (2 + k) * kSector);
      const uint64_t lba = layout.lba + 2 * k;
      for (int i = 0; i < 8; ++i) expected[8 + i] = static_cast<uint8_t>(lba >> (56 - 8 * i));
      expected[16] = static_cast<uint8_t>(idBytes.size());
      std::copy(idBytes.begin(), idBytes.end(), expected.begin() + 17);
      EXPECT_EQ(std::vector<uint8_t>(block, block + kSector), expected) << "block " << k;
      EXPECT_EQ(std::vector<uint8_t>(block + kSector, block + kSector + 8), std::vector<uint8_t>(8, 0xCC));
      const BlockHeader header = parseBlockHeader(block);
      EXPECT_EQ(header.embedLba, lba);
      EXPECT_EQ(header.embedCmdId, cmdId);
      // A verify's expected data takes the same header through embedLbaAndCmdId.
      std::vector<uint8_t> again(buckets.begin() + (1 + k) * kSector, buckets.begin() + (2 + k) * kSector);
      embedLbaAndCmdId(again.data(), lba, cmdId);
      EXPECT_EQ(again, expected);
    }
  }
}

}  // namespace
}  // namespace varnox::testing
