// Write, WriteSame and Trim issue through execute passes: the kind chosen, the failures and
// their messages, the blocks handed to the drive and what the history records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <string>
#include <vector>

#include "patterns/BlockLayout.h"
#include "plugin/TestData.h"
#include "support/AgentFixture.h"
#include "trace/CommandTrace.h"

namespace varnox::testing {
using cardamor::AtomicContext;
namespace {

using cardamor::TRIM_BUCKET;

const uint8_t* bucket(AgentFixture& h, uint32_t b) {
  return h.drive().sectorBuckets.get() + uint64_t{b} * 512;
}

TEST(WriteIssue, KindAndLengthFailures) {
  for (const auto& row : caseRows("issue/cases/write_failures.txt")) {
    SCOPED_TRACE(row.back());
    AgentFixture h;
    h.set({{"Read Condition", "read"}, {"Random Seed", "7"}, {"Bucket Count", "16"}});
    h.setTestMaxXferLength(8);
    for (const std::string& kind : split(row[0], ", ")) h.set(kind + " Condition", kind);
    ASSERT_EQ(h.setup(), 0);
    uint64_t mask = 0;
    for (const std::string& kind : split(row[1], ", ")) mask |= h.bit(kind);

    const int status = std::stoi(row[3]);
    EXPECT_EQ(h.pass(40, std::stoul(row[2]), mask), status);
    std::vector<std::string> expected(row.begin() + 5, row.end());
    expected.push_back(h.statusLine("doAWrite", status));
    expected.push_back(h.statusLine("execute", status));
    EXPECT_EQ(h.errors(), expected);
    // The record is kept whatever failed; no data, history or trace follow a failure.
    ASSERT_EQ(h.drive().outstandingWrites.size(), 1u);
    EXPECT_EQ(std::to_string(h.drive().outstandingWrites.front().xferLength), row[2]);
    EXPECT_EQ(h.drive().atomicContext.recordCount(), 0u);
    EXPECT_EQ(h.drive().commandTrace->lastCommand(h.nextTag()).kind, cardamor::TraceEventKind::Empty);
    EXPECT_EQ(h.drive().writeData->data, nullptr);
    EXPECT_EQ(h.thread().conditionMask(), row[4] == "-" ? 0u : h.bit(row[4]));
  }
}

// The blocks handed to the drive: the bucket's bytes with the LBA (bytes 8..15) and the write's
// identifier (its length, then big-endian, from byte 16) embedded, protection bytes left alone,
// and the history expecting the same.
TEST(WriteIssue, WrittenBlocksAreTheBucketsWithLbaAndIdentifierEmbedded) {
  const uint64_t lba = 0x0102030405060708ull;
  for (const auto& row : caseRows("issue/cases/written_blocks.txt")) {
    SCOPED_TRACE(row[0]);
    const bool e2e = row[1].find("E2E") != std::string::npos;
    const uint64_t cmdId = std::stoull(row[2], nullptr, 16);
    std::vector<uint8_t> idBytes;
    for (const std::string& b : split(row[3], " ")) idBytes.push_back(std::stoul(b, nullptr, 16));
    AgentFixture h;
    h.setPairs(split(row[1], "; "));
    ASSERT_EQ(h.setupWith({}, 16), 0);
    ASSERT_EQ(h.pass(0, 1), 0);  // runs the deferred setup
    const uint64_t stride = e2e ? 520 : 512, step = idBytes.empty() ? 2 : 1;
    if (e2e) std::memset(h.drive().localWriteBuffers[h.nextTag()].get(), 0xEE, 16 * 520);
    h.drive().nextCmdId = cmdId;
    ASSERT_EQ(h.pass(lba, 3, e2e ? h.bit("e2e") : 0), 0);
    const uint32_t first = *h.drive().bucketIndex;
    ASSERT_EQ(h.drive().writeData->size, 3 * stride);
    for (uint32_t k = 0; k < 3; ++k) {
      const uint8_t* block = h.writeBlock(k, stride);
      const uint8_t* source = bucket(h, first + k);
      std::vector<uint8_t> head(source, source + 16 + idBytes.size());
      if (!idBytes.empty()) {
        for (int i = 0; i < 8; ++i) head[8 + i] = static_cast<uint8_t>((lba + k) >> (56 - 8 * i));
        std::copy(idBytes.begin(), idBytes.end(), head.begin() + 16);
      }
      EXPECT_EQ(std::vector<uint8_t>(block, block + head.size()), head) << k;
      EXPECT_EQ(std::memcmp(block + head.size(), source + head.size(), 512 - head.size()), 0) << k;
      for (uint64_t i = 512; i < stride; ++i) EXPECT_EQ(block[i], 0xEE) << "protection byte " << i;
      const AtomicContext::ExpectedBlock e = h.drive().atomicContext.lookup(lba + step * k);
      EXPECT_EQ(std::tuple(e.blockNum, e.embedded), std::tuple(first + k, !idBytes.empty()));
      EXPECT_TRUE(idBytes.empty() || (e.embeddedCmdId == cmdId && e.embeddedLba == lba + k));
    }
    EXPECT_EQ(h.drive().atomicContext.recordCount(), 3u + 1);  // and the first pass's block
  }
}

TEST(WriteIssue, WriteSameAndTrimChosenByTheMask) {
  AgentFixture h;
  ASSERT_EQ(h.setupWith({{"WriteSame Condition", "same"}, {"Trim Condition", "trim"}}), 0);

  ASSERT_EQ(h.pass(300, 16, h.bit("same")), 0);
  EXPECT_EQ(h.thread().conditionMask(), h.bit("same"));
  const uint32_t first = *h.drive().bucketIndex;
  ASSERT_EQ(h.drive().writeData->size, 512u) << "one block for the whole range";
  const uint8_t* block = h.writeBlock(0, 512);
  EXPECT_EQ(block[15], static_cast<uint8_t>(300 & 0xFF));
  EXPECT_EQ(block[14], static_cast<uint8_t>(300 >> 8));
  for (uint64_t b = 300; b < 316; ++b) {
    const AtomicContext::ExpectedBlock expected = h.drive().atomicContext.lookup(b);
    EXPECT_EQ(expected.blockNum, first);
    EXPECT_EQ(expected.embeddedLba, 300u);
  }
  EXPECT_EQ(h.drive().commandTrace->lastCommand(h.nextTag()).kind, cardamor::TraceEventKind::WriteSameIssued);

  const Buffer& data = *h.drive().writeData;
  const uint8_t* before = data.data;
  ASSERT_EQ(h.pass(400, 4, h.bit("trim")), 0);
  EXPECT_EQ(h.thread().conditionMask(), h.bit("trim"));
  EXPECT_EQ(*h.drive().bucketIndex, TRIM_BUCKET);
  EXPECT_EQ(data.data, before);
  EXPECT_EQ(data.size, 512u) << "a trim leaves the data alone";
  for (uint64_t b = 400; b < 404; ++b) {
    const AtomicContext::ExpectedBlock expected = h.drive().atomicContext.lookup(b);
    EXPECT_EQ(expected.blockNum, TRIM_BUCKET);
    EXPECT_FALSE(expected.embedded);
  }
  EXPECT_EQ(h.drive().commandTrace->lastCommand(h.nextTag()).kind, cardamor::TraceEventKind::TrimIssued);
}

TEST(WriteIssue, HostManagedPositionAndEmptyWrite) {
  AgentFixture h;
  ASSERT_EQ(h.setupWith(), 0);
  *h.drive().hostManaged = 1;
  *h.drive().writeLba = 5000;
  *h.drive().writeXferLength = 0;

  // No position (every open zone busy) and nothing to read back: the pass sends nothing.
  ASSERT_EQ(h.pass(7, 3), 0);
  EXPECT_EQ(*h.drive().writeCmdUsed, 0u);
  EXPECT_TRUE(h.drive().outstandingWrites.empty());
  EXPECT_EQ(h.thread().conditionMask() & h.bit("write"), 0u);
  EXPECT_EQ(h.drive().atomicContext.recordCount(), 0u);

  // A position overrides the LBA agent's proposal.
  *h.drive().writeXferLength = 4;
  ASSERT_EQ(h.pass(7, 3), 0);
  EXPECT_EQ(*h.drive().lba, 5000u);
  EXPECT_EQ(*h.drive().xferLength, 4u);
  EXPECT_EQ(*h.drive().writeCmdUsed, 1u);
  EXPECT_EQ(*h.drive().skipGen, 1u);

  // The position is counted as taken also when the write then fails.
  *h.drive().writeXferLength = 65536;
  EXPECT_EQ(h.pass(7, 3), -1022);
  EXPECT_EQ(*h.drive().writeCmdUsed, 2u);
}

}  // namespace
}  // namespace varnox::testing
