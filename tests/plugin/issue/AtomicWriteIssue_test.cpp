// Atomic write issue through execute passes: the pre-read of an unknown range, the write moving
// to a pre-read range, and the atomic positions recorded per block.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "support/AgentFixture.h"
#include "trace/CommandTrace.h"

namespace varnox::testing {
using cardamor::AtomicContext;
namespace {

using cardamor::TraceEventKind;

// Write, WriteAtomic and Read configured; the mask decides between write and atomic write.
int atomicSetup(AgentFixture& h, const std::string& key = "Embed Data", const std::string& value = "true") {
  return h.setupWith({{"WriteAtomic Condition", "atomic"}, {"Min Queue Size", "64"}, {"Max Queue Size", "128"},
                      {key, value}});
}

std::tuple<uint32_t, uint32_t, uint32_t> position(AgentFixture& h, uint64_t lba) {
  const AtomicContext& history = h.drive().atomicContext;
  const AtomicContext::Record* record = history.findRecord(lba);
  if (record == nullptr) return {~0u, ~0u, ~0u};
  const AtomicContext::Event* event = history.eventAt(record->history);
  return {event->atomicIndex, event->atomicLength, event->atomicUnit};
}

TEST(AtomicWriteIssue, PositionsOfBoundFourOverTenBlocks) {
  // With skip commands the same ten blocks lie on every other LBA; the units count blocks.
  for (const uint64_t step : {1u, 2u}) {
    SCOPED_TRACE("LBA step " + std::to_string(step));
    AgentFixture h;
    ASSERT_EQ(atomicSetup(h, "Use Skip Commands", step == 2 ? "true" : "false"), 0);
    ASSERT_EQ(h.pass(200, 11, h.bit("write")), 0);  // makes the blocks known
    // The known-range check looks at consecutive LBAs, so with skip commands both parities.
    if (step == 2) {
      ASSERT_EQ(h.pass(201, 11, h.bit("write")), 0);
    }
    const size_t writes = h.drive().outstandingWrites.size();
    *h.drive().atomicBound = 4;
    ASSERT_EQ(h.pass(200, 10, h.bit("atomic")), 0);
    EXPECT_EQ(h.thread().conditionMask(), h.bit("atomic"));
    EXPECT_TRUE(h.drive().outstandingPreReads.empty()) << "a known range needs no pre-read";
    ASSERT_EQ(h.drive().outstandingWrites.size(), writes + 1);
    EXPECT_EQ(h.drive().outstandingWrites.back().atomic, 1u);

    using P = std::tuple<uint32_t, uint32_t, uint32_t>;
    const std::vector<P> expected = {P{0, 4, 0}, P{1, 4, 0}, P{2, 4, 0}, P{3, 4, 0}, P{0, 4, 1},
                                     P{1, 4, 1}, P{2, 4, 1}, P{3, 4, 1}, P{0, 2, 2}, P{1, 2, 2}};
    for (uint64_t k = 0; k < 10; ++k) EXPECT_EQ(position(h, 200 + step * k), expected[k]) << "block " << k;

    // Bound 0: every block at (0, 0, 0).
    ASSERT_EQ(h.pass(200, 11, h.bit("write")), 0);
    *h.drive().atomicBound = 0;
    ASSERT_EQ(h.pass(200, 10, h.bit("atomic")), 0);
    for (uint64_t k = 0; k < 10; ++k) EXPECT_EQ(position(h, 200 + step * k), (P{0, 0, 0})) << "block " << k;
  }
}

TEST(AtomicWriteIssue, UnknownRangeIsPreReadAndTheWriteMovesThere) {
  AgentFixture h;
  ASSERT_EQ(atomicSetup(h, "Embed Data", "false"), 0);  // atomic blocks carry LBA and identifier all the same
  *h.drive().atomicBound = 2;

  ASSERT_EQ(h.pass(700, 6, h.bit("atomic")), 0);
  EXPECT_EQ(h.thread().conditionMask(), h.bit("read"));
  ASSERT_EQ(h.drive().outstandingPreReads.size(), 1u);
  const cardamor::PreReadRecord preRead = h.drive().outstandingPreReads.front();
  EXPECT_EQ(std::tuple(preRead.lba, preRead.xferLength, preRead.atomicBound, preRead.atomicCmdId),
            std::tuple(700u, 6u, 2u, 0u));
  EXPECT_TRUE(h.drive().outstandingWrites.empty());
  // The pre-read holds its blocks (a wait entry, no obligation), so nothing written after it
  // can drop their history while it is out.
  EXPECT_EQ(h.drive().atomicContext.recordCount(), 6u);
  const AtomicContext::Record* held = h.drive().atomicContext.findRecord(705);
  EXPECT_TRUE(held->ref_count == 0 && held->wait_read != AtomicContext::kNoSlot);
  EXPECT_EQ(h.drive().commandTrace->lastCommand(preRead.tag).kind, TraceEventKind::PreReadIssued);
  ASSERT_EQ(h.thread().freeTagQueue().takeFreeTag(), preRead.tag);

  // Another unknown range proposed: the write takes the outstanding pre-read's range.
  const uint64_t writeId = h.drive().nextCmdId;
  *h.drive().atomicBound = 8;
  ASSERT_EQ(h.pass(900, 3, h.bit("atomic")), 0);
  EXPECT_EQ(h.thread().conditionMask(), h.bit("atomic"));
  EXPECT_EQ(std::tuple(*h.drive().lba, *h.drive().xferLength, *h.drive().atomicBound), std::tuple(700u, 6u, 2u));
  EXPECT_EQ(h.drive().outstandingPreReads.front().atomicCmdId, writeId);
  ASSERT_EQ(h.drive().outstandingWrites.size(), 1u);
  EXPECT_EQ(std::tuple(h.drive().outstandingWrites.front().cmdId, h.drive().outstandingWrites.front().lba),
            std::tuple(writeId, 700u));
  const uint8_t* block = h.writeBlock(5, 512);
  EXPECT_EQ(std::tuple(block[15], block[16], block[17]), std::tuple(705 & 0xFF, 1, static_cast<uint8_t>(writeId)));
  EXPECT_EQ(position(h, 705), (std::tuple<uint32_t, uint32_t, uint32_t>{1, 2, 2}));
}

TEST(AtomicWriteIssue, FinishedPreReadIsReusedAndItsHashReferencesReleased) {
  AgentFixture h;
  ASSERT_EQ(atomicSetup(h), 0);
  // A pre-read of 50..53 that completed without an atomic write: hash events holding references.
  AtomicContext& history = h.drive().atomicContext;
  h.drive().finishedPreReads.push_back(cardamor::PreReadRecord{90, 0, 50, 4, 3, 4});
  for (uint64_t b = 50; b < 54; ++b) ASSERT_EQ(history.addHash(90, b, 0x1234 + b, true), 0);

  ASSERT_EQ(h.pass(1000, 2, h.bit("atomic")), 0);
  EXPECT_TRUE(h.drive().finishedPreReads.empty());
  EXPECT_EQ(std::tuple(*h.drive().lba, *h.drive().xferLength), std::tuple(50u, 4u));
  for (uint64_t b = 50; b < 54; ++b) {
    ASSERT_NE(history.findRecord(b), nullptr);
    EXPECT_EQ(history.findRecord(b)->ref_count, 1u) << "only the atomic write's obligation is left at " << b;
  }
}

}  // namespace
}  // namespace varnox::testing
