#include "history/AtomicContext.h"

#include <gtest/gtest.h>

#include <iostream>
#include <vector>

#include "plugin/history/HistoryWalker.h"
#include "varnox/Errors.h"

namespace varnox {
using cardamor::AtomicContext;
namespace {

using test::historyCmdIds;
using test::historyOf;
using test::leftovers;
using test::waitingReads;
using Ids = std::vector<uint64_t>;

constexpr uint32_t kInvalid = AtomicContext::INVALID_BUCKET;

class AtomicContextTest : public ::testing::Test {
 protected:
  // Error lines leave std::cerr in hexadecimal; later tests should not inherit that.
  void TearDown() override { std::cerr << std::dec; }

  int write(uint64_t cmdId, uint64_t lba, uint32_t bucket) {
    return context.writeIssued(cmdId, lba, bucket, true, cmdId, lba);
  }

  // A read issued with expect and finished without keep, as a plain read-back does.
  AtomicContext::ExpectedBlock readBack(uint64_t cmdId, uint64_t lba) {
    EXPECT_EQ(context.readIssued(cmdId, lba, true), 0);
    return context.readFinished(cmdId, lba, false);
  }

  AtomicContext context;
};

TEST_F(AtomicContextTest, ReadOnUnknownLbaNeedsNoExpectAndLeavesNothingBehind) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(context.readIssued(3, 8000, true), VARNOX_ERR_HISTORY_ENTRY_MISSING);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "<E> readIssued !record && expect lba:1f40 cmd_id:3\n");
  EXPECT_EQ(context.recordCount(), 0u);

  // Without expect the LBA gets a placeholder that predicts nothing.
  ASSERT_EQ(context.readIssued(3, 8000, false), 0);
  std::vector<AtomicContext::Event> history = historyOf(context, 8000);
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0].eventType, AtomicContext::kEventNone);
  EXPECT_EQ(history[0].cmdId, 0u);
  EXPECT_EQ(history[0].blockNum, kInvalid);
  EXPECT_EQ(context.findRecord(8000)->ref_count, 0u);

  AtomicContext::ExpectedBlock seen = context.readFinished(3, 8000, false);
  EXPECT_EQ(seen.status, 0);
  EXPECT_EQ(seen.blockType, AtomicContext::kBlockUnknown);
  EXPECT_EQ(seen.blockNum, kInvalid);
  EXPECT_EQ(leftovers(context), "");
}

TEST_F(AtomicContextTest, WriteReadBackReturnsTheWriteAndKeepRestoresTheObligation) {
  ASSERT_EQ(write(11, 100, 0x1234), 0);
  EXPECT_EQ(context.findRecord(100)->ref_count, 1u);
  ASSERT_EQ(context.readIssued(12, 100, true), 0);
  EXPECT_EQ(context.findRecord(100)->ref_count, 0u);
  EXPECT_EQ(waitingReads(context, 100), 1u);

  // keep: the read goes out again after a reset, so the obligation comes back.
  AtomicContext::ExpectedBlock kept = context.readFinished(12, 100, true);
  EXPECT_EQ(kept.blockNum, 0x1234u);
  EXPECT_EQ(context.findRecord(100)->ref_count, 1u);
  EXPECT_EQ(waitingReads(context, 100), 0u);

  AtomicContext::ExpectedBlock seen = readBack(13, 100);
  EXPECT_EQ(seen.status, 0);
  EXPECT_EQ(seen.blockType, AtomicContext::kBlockNormal);
  EXPECT_EQ(seen.blockNum, 0x1234u);
  EXPECT_TRUE(seen.embedded);
  EXPECT_EQ(seen.embeddedCmdId, 11u);
  EXPECT_EQ(seen.embeddedLba, 100u);
  EXPECT_FALSE(seen.invalidated);
  EXPECT_EQ(leftovers(context), "");
}

TEST_F(AtomicContextTest, HistoryIsNewestFirstWithInvalidationsAlwaysInFront) {
  ASSERT_EQ(write(5, 40, 0x5), 0);
  ASSERT_EQ(context.readIssued(6, 40, false), 0);  // issued between the writes: must see 5
  ASSERT_EQ(write(9, 40, 0x9), 0);
  ASSERT_EQ(context.readIssued(10, 40, false), 0);  // issued after both: must see 9
  EXPECT_EQ(historyCmdIds(context, 40), (Ids{9, 5}));

  // A write completing out of order lands behind the newer one.
  ASSERT_EQ(write(7, 41, 0x7), 0);
  ASSERT_EQ(write(3, 41, 0x3), 0);
  ASSERT_EQ(write(8, 41, 0x8), 0);
  ASSERT_EQ(write(4, 41, 0x4), 0);
  EXPECT_EQ(historyCmdIds(context, 41), (Ids{8, 7, 4, 3}));

  context.invalidateRange(40, 40, true);
  EXPECT_EQ(historyCmdIds(context, 40), (Ids{0, 9, 5}));
  // With a cmdId-0 event in front, whatever comes next goes in front of it.
  ASSERT_EQ(write(7, 40, 0x7), 0);
  EXPECT_EQ(historyCmdIds(context, 40), (Ids{7, 0, 9, 5}));

  EXPECT_EQ(context.readFinished(10, 40, false).blockNum, 0x9u);
  EXPECT_EQ(context.readFinished(6, 40, false).blockNum, 0x5u);
}

TEST_F(AtomicContextTest, LookupSkipsExternalInvalidationButNotZoneReset) {
  ASSERT_EQ(write(5, 1, 0x55), 0);
  ASSERT_EQ(write(5, 2, 0x66), 0);
  context.invalidateRange(1, 1, false);
  context.invalidateRange(2, 2, true);

  AtomicContext::ExpectedBlock external = context.lookup(1);
  EXPECT_EQ(external.status, 0);
  EXPECT_EQ(external.blockNum, 0x55u);
  EXPECT_EQ(external.blockType, AtomicContext::kBlockNormal);
  EXPECT_TRUE(external.invalidated);

  AtomicContext::ExpectedBlock zone = context.lookup(2);
  EXPECT_EQ(zone.status, 0);
  EXPECT_EQ(zone.blockType, AtomicContext::kBlockUnknown);
  EXPECT_EQ(zone.blockNum, kInvalid);
  EXPECT_FALSE(zone.invalidated);

  // Nothing but external invalidations: nothing to expect, and the mark is still reported.
  ASSERT_EQ(context.readIssued(8, 3, false), 0);
  ASSERT_EQ(context.readFinished(8, 3, true).status, 0);  // keeps the record with ref_count 1
  context.invalidateRange(3, 3, false);
  EXPECT_EQ(historyCmdIds(context, 3), (Ids{0, 0}));
  // The placeholder (type none) stands behind the invalidation and is what the lookup returns.
  EXPECT_EQ(context.lookup(3).blockType, AtomicContext::kBlockUnknown);
  EXPECT_TRUE(context.lookup(3).invalidated);

  AtomicContext::ExpectedBlock unknown = context.lookup(77);
  EXPECT_EQ(unknown.status, VARNOX_ERR_HISTORY_ENTRY_MISSING);
  EXPECT_EQ(unknown.blockNum, kInvalid);

  // Ranges mark only existing records.
  context.invalidateRange(0, 100, true);
  EXPECT_EQ(context.recordCount(), 3u);
  EXPECT_EQ(historyCmdIds(context, 1), (Ids{0, 0, 5}));
}

TEST_F(AtomicContextTest, CompletionAndAbortChangeOnlyTheirOwnEvent) {
  ASSERT_EQ(write(5, 10, 0x50), 0);
  ASSERT_EQ(write(9, 10, 0x90), 0);
  context.writeAborted(5, 10);
  std::vector<AtomicContext::Event> history = historyOf(context, 10);
  EXPECT_EQ(history[0].blockNum, 0x90u);
  EXPECT_EQ(history[1].blockNum, kInvalid);
  EXPECT_EQ(context.findRecord(10)->ref_count, 2u);

  ASSERT_EQ(context.atomicWriteIssued(12, 11, 0x120, true, 12, 11, 1, 4, 0), 0);
  context.writeAborted(12, 11);  // an atomic unit is all or nothing: it keeps its bucket
  history = historyOf(context, 11);
  EXPECT_EQ(history[0].blockNum, 0x120u);
  EXPECT_EQ(history[0].blockType, AtomicContext::kBlockAtomic);
  EXPECT_EQ(history[0].atomicIndex, 1u);
  EXPECT_EQ(history[0].atomicLength, 4u);
  context.writeFinished(12, 11);
  EXPECT_EQ(historyOf(context, 11)[0].blockType, AtomicContext::kBlockNormal);

  // Neither touches a plain write's type nor an LBA without record.
  context.writeFinished(9, 10);
  EXPECT_EQ(historyOf(context, 10)[0].blockType, AtomicContext::kBlockNormal);
  context.writeAborted(1, 999);
  context.writeFinished(1, 999);
  EXPECT_EQ(context.recordCount(), 2u);
}

TEST_F(AtomicContextTest, RangeKnownNeedsEveryBlockKnownAndTheRecordAfterTheRange) {
  for (uint64_t lba = 100; lba < 104; ++lba) ASSERT_EQ(write(5, lba, 1), 0);
  EXPECT_FALSE(context.rangeKnown(100, 104));  // no record at 104
  ASSERT_EQ(context.addHash(6, 104, 0xabc, false), 0);
  EXPECT_TRUE(context.rangeKnown(100, 104));

  // A pre-read hash counts as known; a block known only through an unfinished atomic does not.
  ASSERT_EQ(context.addHash(6, 105, 0xdef, true), 0);
  ASSERT_EQ(context.atomicWriteIssued(7, 106, 2, true, 7, 106, 0, 1, 0), 0);
  ASSERT_EQ(write(5, 107, 1), 0);
  EXPECT_TRUE(context.rangeKnown(103, 106));
  EXPECT_FALSE(context.rangeKnown(103, 107));
  context.writeFinished(7, 106);
  EXPECT_TRUE(context.rangeKnown(103, 107));

  // An atomic event in front is looked through to the block underneath.
  ASSERT_EQ(context.atomicWriteIssued(8, 101, 2, true, 8, 101, 0, 1, 0), 0);
  EXPECT_TRUE(context.rangeKnown(100, 104));

  // A gap, a placeholder or an invalidation makes the range unknown.
  ASSERT_EQ(write(5, 109, 1), 0);
  EXPECT_FALSE(context.rangeKnown(107, 109));
  ASSERT_EQ(context.readIssued(9, 108, false), 0);
  EXPECT_FALSE(context.rangeKnown(107, 109));
  context.invalidateRange(102, 102, true);
  EXPECT_FALSE(context.rangeKnown(100, 104));
  EXPECT_FALSE(context.rangeKnown(500, 501));
}

TEST_F(AtomicContextTest, ObligationsReleaseTheRecordOnlyWhenIdle) {
  // readSkip with nothing owed keeps the record.
  ASSERT_EQ(context.addHash(4, 20, 0x1111, false), 0);
  EXPECT_EQ(context.readSkip(20), 0);
  EXPECT_EQ(context.recordCount(), 1u);

  // Two writes owe two read-backs; a read in flight holds the record even at ref_count 0.
  ASSERT_EQ(write(5, 21, 1), 0);
  ASSERT_EQ(write(6, 21, 2), 0);
  ASSERT_EQ(context.readIssued(7, 21, true), 0);
  EXPECT_EQ(context.readSkip(21), 0);
  ASSERT_NE(context.findRecord(21), nullptr);
  EXPECT_EQ(context.findRecord(21)->ref_count, 0u);
  EXPECT_EQ(context.readFinished(7, 21, false).blockNum, 2u);
  EXPECT_EQ(context.findRecord(21), nullptr);

  // A referenced hash is dropped by its owner.
  ASSERT_EQ(context.addHash(8, 22, 0x2222, true), 0);
  EXPECT_EQ(context.dropHash(8, 22), 0);
  EXPECT_EQ(context.findRecord(22), nullptr);

  EXPECT_EQ(context.dropHash(4, 20), VARNOX_ERR_INTERNAL);  // the hash was never referenced
  EXPECT_EQ(context.readSkip(20), 0);
  EXPECT_EQ(leftovers(context), "lba 0x14 ref_count 0 events 1 waits 0\n");
}

TEST_F(AtomicContextTest, FailedChecksReturnTheirStatusPrintTheirLineAndChangeNothing) {
  ASSERT_EQ(context.addHash(0x21, 8000, 0x99, false), 0);
  ASSERT_EQ(context.readIssued(0x30, 8001, false), 0);

  testing::internal::CaptureStderr();
  EXPECT_EQ(context.readIssued(0x22, 8000, true), VARNOX_ERR_INTERNAL);
  EXPECT_EQ(context.dropHash(0x21, 8000), VARNOX_ERR_INTERNAL);
  EXPECT_EQ(context.dropHash(0x23, 8000), VARNOX_ERR_HISTORY_ENTRY_MISSING);
  EXPECT_EQ(context.dropHash(0x21, 8002), VARNOX_ERR_HISTORY_ENTRY_MISSING);
  EXPECT_EQ(context.readSkip(8002), VARNOX_ERR_HISTORY_ENTRY_MISSING);
  EXPECT_EQ(context.readFinished(0x30, 8002, false).status, VARNOX_ERR_HISTORY_ENTRY_MISSING);
  AtomicContext::ExpectedBlock notWaiting = context.readFinished(0x31, 8001, false);
  std::cerr << 255 << '\n';  // the stream stays in hexadecimal
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "<E> SANITY_CHECK readIssued expect=1 ref_count=0 lba:1f40 cmd_id:22\n"
            "<E> SANITY_CHECK dropHash ref_count=0 lba:1f40 cmd_id:21\n"
            "<E> dropHash no hash event found. lba:1f40 cmd_id:23\n"
            "<E> dropHash couldn't find record lba:1f42\n"
            "<E> readSkip couldn't find record lba:1f42\n"
            "<E> readFinished couldn't find record lba:1f42 cmd_id:30\n"
            "<E> readFinished couldn't find wait_read lba:1f41 cmd_id:31\n"
            "ff\n");
  EXPECT_EQ(notWaiting.status, VARNOX_ERR_HISTORY_ENTRY_MISSING);
  EXPECT_EQ(notWaiting.blockNum, kInvalid);

  EXPECT_EQ(leftovers(context),
            "lba 0x1f40 ref_count 0 events 1 waits 0\n"
            "lba 0x1f41 ref_count 0 events 1 waits 1\n");
  EXPECT_EQ(context.readFinished(0x30, 8001, false).status, 0);
  EXPECT_EQ(context.recordCount(), 1u);
}

TEST_F(AtomicContextTest, SteadyStateRecyclesSlotsWithoutGrowing) {
  // Two rounds over more LBAs than one chunk of events holds: the second round must be served
  // entirely from the slots the first round gave back.
  const uint64_t lbas = AtomicContext::kEventChunk + 100;
  auto round = [&](uint64_t firstCmdId) {
    for (uint64_t lba = 0; lba < lbas; ++lba) ASSERT_EQ(write(firstCmdId + lba, lba, 1), 0);
    for (uint64_t lba = 0; lba < lbas; ++lba)
      ASSERT_EQ(context.readIssued(firstCmdId + lbas + lba, lba, true), 0);
    EXPECT_EQ(context.eventsInUse(), lbas);
    EXPECT_EQ(context.waitsInUse(), lbas);
    for (uint64_t lba = 0; lba < lbas; ++lba) {
      ASSERT_EQ(context.readFinished(firstCmdId + lbas + lba, lba, false).blockNum, 1u);
    }
  };
  round(1);
  EXPECT_EQ(leftovers(context), "");
  const size_t reserved = context.bytesReserved();
  round(1 + 2 * lbas);
  EXPECT_EQ(leftovers(context), "");
  EXPECT_EQ(context.bytesReserved(), reserved);
  EXPECT_EQ(context.eventsInUse(), 0u);
}

}  // namespace
}  // namespace varnox
