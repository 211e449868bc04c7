// Write, WriteSame and Trim issue through execute passes: the kind chosen, the failures and
// their messages, the blocks handed to the drive and what the history records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "completion/ReferenceBlock.h"
#include "patterns/BlockLayout.h"
#include "plugin/issue/IssueHarness.h"
#include "trace/CommandTrace.h"

namespace varnox::testing {
using cardamor::AtomicContext;
namespace {

using cardamor::TRIM_BUCKET;

const uint8_t* bucket(IssueHarness& h, uint32_t b) {
  return h.drive().sectorBuckets.get() + uint64_t{b} * 512;
}

TEST(WriteIssue, KindAndLengthFailures) {
  const int kChoice = -1050, kLength = -1022;
  const std::string kNone = "No write command selected",
                    kTooLarge = "Requested buffer too large: need=16, max=15";
  struct Case {
    std::vector<std::string> kinds;   // "<kind> Condition" keys set, each to the name <kind>
    std::vector<std::string> inMask;  // of those, the ones an earlier agent left in the mask
    uint32_t len;
    int status;
    std::vector<std::string> messages;  // level-2 lines before the doAWrite and execute ones
    const char* applied;                // the kind condition left in the mask, if any
  };
  const std::vector<Case> cases = {
      {{"Write", "Trim"}, {}, 4, kChoice, {kNone}, nullptr},
      {{"Write", "Trim"}, {"Write", "Trim"}, 4, kChoice, {"Multiple write commands selected"}, nullptr},
      {{"WriteAtomic"}, {}, 4, kChoice, {kNone}, nullptr},
      {{"Write"}, {}, 16, kLength, {kTooLarge}, "Write"},                 // as long as the bucket count
      {{"Write", "Trim"}, {}, 16, kChoice, {kTooLarge, kNone}, nullptr},  // the kind failure wins
      {{"Write"},
       {},
       9,
       kLength,
       {"Requested transfer does not fit the write buffer: need=4608 bytes, "
        "have=4096 bytes, TestMaxXferLength=8"},
       "Write"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    IssueHarness h;
    h.set({{"Read Condition", "read"}, {"Random Seed", "7"}, {"Bucket Count", "16"}});
    h.setTestMaxXferLength(8);
    for (const std::string& kind : c.kinds) h.set(kind + " Condition", kind);
    ASSERT_EQ(h.setup(), 0);
    uint64_t mask = 0;
    for (const std::string& kind : c.inMask) mask |= h.bit(kind);

    EXPECT_EQ(h.pass(40, c.len, mask), c.status);
    std::vector<std::string> expected = c.messages;
    expected.push_back(h.statusLine("doAWrite", c.status));
    expected.push_back(h.statusLine("execute", c.status));
    EXPECT_EQ(h.errors(), expected);
    // The record is kept whatever failed; no data, history or trace follow a failure.
    ASSERT_EQ(h.drive().outstandingWrites.size(), 1u);
    EXPECT_EQ(h.drive().outstandingWrites.front().xferLength, c.len);
    EXPECT_EQ(h.drive().atomicContext.recordCount(), 0u);
    EXPECT_EQ(h.drive().commandTrace->lastCommand(h.nextTag()).kind, cardamor::TraceEventKind::Empty);
    EXPECT_EQ(h.drive().writeData->data, nullptr);
    EXPECT_EQ(h.thread().conditionMask(), c.applied == nullptr ? 0u : h.bit(c.applied));
  }
}

TEST(WriteIssue, WrittenBlocksCarryLbaAndIdentifierByteExact) {
  struct Case {
    uint64_t cmdId;
    std::vector<uint8_t> idBytes;  // byte 16 onwards
  };
  const std::vector<Case> cases = {
      {1, {1, 0x01}},
      {0x100, {2, 0x01, 0x00}},
      {0xFFFFFFFFFFFFFFFFull, {8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  const uint64_t lba = 0x0102030405060708ull;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cmdId);
    IssueHarness h;
    ASSERT_EQ(h.setupWith(), 0);
    ASSERT_EQ(h.pass(0, 1), 0);  // runs the deferred setup
    h.drive().nextCmdId = c.cmdId;
    ASSERT_EQ(h.pass(lba, 3), 0);

    const uint32_t first = *h.drive().bucketIndex;
    ASSERT_EQ(h.drive().writeData->size, 3u * 512);
    for (uint32_t k = 0; k < 3; ++k) {
      const uint8_t* block = h.writeBlock(k, 512);
      const uint8_t* source = bucket(h, first + k);
      // Bucket stamp and bytes 4..7 come from the bucket.
      EXPECT_EQ(std::memcmp(block, source, 8), 0);
      const uint64_t blockLba = lba + k;
      for (int i = 0; i < 8; ++i) EXPECT_EQ(block[8 + i], static_cast<uint8_t>(blockLba >> (56 - 8 * i)));
      const std::vector<uint8_t> id(block + 16, block + 16 + c.idBytes.size());
      EXPECT_EQ(id, c.idBytes);
      const size_t rest = 16 + c.idBytes.size();
      EXPECT_EQ(std::memcmp(block + rest, source + rest, 512 - rest), 0);
    }
    // The history expects the same bucket and embedded values.
    const AtomicContext::ExpectedBlock expected = h.drive().atomicContext.lookup(lba + 2);
    EXPECT_EQ(expected.blockNum, first + 2);
    EXPECT_TRUE(expected.embedded);
    EXPECT_EQ(expected.embeddedCmdId, c.cmdId);
    EXPECT_EQ(expected.embeddedLba, lba + 2);
  }
}

TEST(WriteIssue, E2EStrideLeavesProtectionBytesUntouched) {
  IssueHarness h;
  ASSERT_EQ(h.setupWith({{"E2E Condition", "e2e"}}, 16), 0);
  ASSERT_EQ(h.pass(0, 1), 0);
  const uint32_t tag = h.nextTag();
  std::memset(h.drive().localWriteBuffers[tag].get(), 0xEE, 16 * 520);

  ASSERT_EQ(h.pass(1000, 8, h.bit("e2e")), 0);
  ASSERT_EQ(h.drive().writeData->size, 4160u);
  const uint32_t first = *h.drive().bucketIndex;
  for (uint32_t k = 0; k < 8; ++k) {
    const uint8_t* block = h.writeBlock(k, 520);
    EXPECT_EQ(std::memcmp(block, bucket(h, first + k), 8), 0) << k;
    EXPECT_EQ(block[15], static_cast<uint8_t>(1000 + k));
    for (int i = 512; i < 520; ++i) ASSERT_EQ(block[i], 0xEE) << "block " << k << " byte " << i;
  }
  // Without the E2E bit the blocks are back to back.
  ASSERT_EQ(h.pass(2000, 8), 0);
  EXPECT_EQ(h.drive().writeData->size, 4096u);
}

TEST(WriteIssue, EmbedDataOffAndSkipCommands) {
  IssueHarness h;
  ASSERT_EQ(h.setupWith({{"Embed Data", "false"}, {"Use Skip Commands", "true"}}), 0);
  ASSERT_EQ(h.pass(100, 4), 0);

  const uint32_t first = *h.drive().bucketIndex;
  ASSERT_EQ(h.drive().writeData->size, 4u * 512);
  for (uint32_t k = 0; k < 4; ++k) {
    EXPECT_EQ(std::memcmp(h.writeBlock(k, 512), bucket(h, first + k), 512), 0) << "exact bucket copy " << k;
    const AtomicContext::ExpectedBlock expected = h.drive().atomicContext.lookup(100 + 2 * k);
    EXPECT_EQ(expected.blockNum, first + k);
    EXPECT_FALSE(expected.embedded);
  }
  EXPECT_EQ(h.drive().atomicContext.findRecord(101), nullptr);
  EXPECT_EQ(h.drive().atomicContext.recordCount(), 4u);
}

TEST(WriteIssue, WriteSameAndTrimChosenByTheMask) {
  IssueHarness h;
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
  IssueHarness h;
  ASSERT_EQ(h.setupWith(), 0);
  *h.drive().hostManaged = 1;
  *h.drive().writeLba = 5000;
  *h.drive().writeXferLength = 0;

  // The LBA agent's proposal is overridden; an empty write builds one block and records nothing.
  ASSERT_EQ(h.pass(7, 3), 0);
  EXPECT_EQ(*h.drive().lba, 5000u);
  EXPECT_EQ(*h.drive().xferLength, 0u);
  EXPECT_EQ(*h.drive().writeCmdUsed, 1u);
  EXPECT_EQ(*h.drive().skipGen, 1u);
  EXPECT_EQ(h.drive().writeData->size, 512u);
  EXPECT_EQ(h.drive().atomicContext.recordCount(), 0u);

  // The position is counted as taken also when the write then fails.
  *h.drive().writeXferLength = 65536;
  EXPECT_EQ(h.pass(7, 3), -1022);
  EXPECT_EQ(*h.drive().writeCmdUsed, 2u);
}

}  // namespace
}  // namespace varnox::testing
