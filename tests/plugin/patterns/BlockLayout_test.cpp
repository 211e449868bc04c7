// Block header decoding, as the diagnosis and the snapshot walk read headers of any content.
#include "patterns/BlockLayout.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace varnox::testing
