#include "history/AtomicContext.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <tuple>
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
  EXPECT_EQ(historyCmdIds(context, 8000), Ids{0});
  EXPECT_EQ(historyOf(context, 8000)[0].eventType, AtomicContext::kEventNone);
  const AtomicContext::ExpectedBlock seen = context.readFinished(3, 8000, false);
  EXPECT_EQ(std::tuple(seen.status, seen.blockType, seen.blockNum), std::tuple(0, AtomicContext::kBlockUnknown, kInvalid));
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

  const AtomicContext::ExpectedBlock seen = readBack(13, 100);
  EXPECT_EQ(std::tuple(seen.status, seen.blockType, seen.blockNum, seen.embedded, seen.embeddedCmdId, seen.embeddedLba,
                       seen.invalidated),
            std::tuple(0, AtomicContext::kBlockNormal, 0x1234u, true, 11u, 100u, false));
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

  const AtomicContext::ExpectedBlock external = context.lookup(1), zone = context.lookup(2);
  EXPECT_EQ(std::tuple(external.status, external.blockNum, external.blockType, external.invalidated),
            std::tuple(0, 0x55u, AtomicContext::kBlockNormal, true));
  EXPECT_EQ(std::tuple(zone.status, zone.blockNum, zone.blockType, zone.invalidated),
            std::tuple(0, kInvalid, AtomicContext::kBlockUnknown, false));

  // Nothing but external invalidations: nothing to expect, and the mark is still reported.
  ASSERT_EQ(context.readIssued(8, 3, false), 0);
  ASSERT_EQ(context.readFinished(8, 3, true).status, 0);  // keeps the record with ref_count 1
  context.invalidateRange(3, 3, false);
  EXPECT_EQ(historyCmdIds(context, 3), (Ids{0, 0}));
  // The placeholder (type none) stands behind the invalidation and is what the lookup returns.
  EXPECT_EQ(context.lookup(3).blockType, AtomicContext::kBlockUnknown);
  EXPECT_TRUE(context.lookup(3).invalidated);

  EXPECT_EQ(context.lookup(77).status, VARNOX_ERR_HISTORY_ENTRY_MISSING);

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
  EXPECT_EQ(std::tuple(history[0].blockNum, history[1].blockNum), std::tuple(0x90u, kInvalid));
  EXPECT_EQ(context.findRecord(10)->ref_count, 2u);

  ASSERT_EQ(context.atomicWriteIssued(12, 11, 0x120, true, 12, 11, 1, 4, 0), 0);
  context.writeAborted(12, 11);  // an atomic unit is all or nothing: it keeps its bucket
  const AtomicContext::Event atomic = historyOf(context, 11)[0];
  EXPECT_EQ(std::tuple(atomic.blockNum, atomic.blockType, atomic.atomicIndex, atomic.atomicLength),
            std::tuple(0x120u, AtomicContext::kBlockAtomic, 1u, 4u));
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

// A command's range calls record each block as its own call would: every step-th LBA, the
// bucket advancing or not, the embedded LBA its own or the range's first (a WriteSame).
TEST_F(AtomicContextTest, CommandRangesTouchEveryBlockOfTheCommandAndNothingElse) {
  ASSERT_EQ(context.writeIssuedRange(5, 10, 3, 2, 7, 1, true, false), 0);
  ASSERT_EQ(context.writeIssuedRange(6, 20, 3, 1, 4, 0, true, true), 0);
  const std::vector<std::tuple<uint64_t, uint64_t, uint32_t, uint64_t>> written = {
      // lba, cmdId, bucket, embedded LBA
      {10, 5, 7, 10}, {12, 5, 8, 12}, {14, 5, 9, 14}, {20, 6, 4, 20}, {21, 6, 4, 20}, {22, 6, 4, 20}};
  for (const auto& [lba, cmdId, bucket, embeddedLba] : written) {
    const auto history = historyOf(context, lba);
    ASSERT_EQ(history.size(), 1u) << lba;
    EXPECT_EQ(history[0].cmdId, cmdId) << lba;
    EXPECT_EQ(history[0].blockNum, bucket) << lba;
    EXPECT_EQ(history[0].embeddedCmdId, cmdId) << lba;
    EXPECT_EQ(history[0].embeddedLba, embeddedLba) << lba;
  }
  for (uint64_t lba : {9u, 11u, 13u, 15u, 19u, 23u}) EXPECT_EQ(context.findRecord(lba), nullptr) << lba;

  // Completion reaches every block of the range and only those.
  for (uint64_t lba : {30u, 32u, 33u}) ASSERT_EQ(context.atomicWriteIssued(8, lba, 1, true, 8, lba, 0, 4, 4), 0);
  context.writeFinishedRange(8, 30, 2, 2);
  EXPECT_EQ(historyOf(context, 30)[0].blockType, AtomicContext::kBlockNormal);
  EXPECT_EQ(historyOf(context, 32)[0].blockType, AtomicContext::kBlockNormal);
  EXPECT_EQ(historyOf(context, 33)[0].blockType, AtomicContext::kBlockAtomic);

  // Releasing a read: a missing block is reported, and the blocks behind it are released too
  // unless the caller stops at the first failure.
  for (uint64_t lba : {10u, 12u, 14u}) ASSERT_EQ(context.readIssued(9, lba, true), 0);
  EXPECT_EQ(context.readFinishedRange(9, 8, 4, 2, false, false), VARNOX_ERR_HISTORY_ENTRY_MISSING);
  for (uint64_t lba : {10u, 12u, 14u}) EXPECT_EQ(context.findRecord(lba), nullptr) << lba;
  for (uint64_t lba : {21u, 22u}) ASSERT_EQ(context.readIssued(10, lba, true), 0);
  EXPECT_EQ(context.readFinishedRange(10, 20, 3, 1, false, true), VARNOX_ERR_HISTORY_ENTRY_MISSING);
  EXPECT_EQ(waitingReads(context, 21), 1u);
  EXPECT_EQ(waitingReads(context, 22), 1u);
  EXPECT_EQ(context.readFinishedRange(10, 21, 2, 1, false, true), 0);
  EXPECT_EQ(waitingReads(context, 21), 0u);
  EXPECT_EQ(waitingReads(context, 22), 0u);
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

  // Each prints its "<E> ..." line on the standard error stream.
  EXPECT_EQ(context.readIssued(0x22, 8000, true), VARNOX_ERR_INTERNAL);
  EXPECT_EQ(context.dropHash(0x21, 8000), VARNOX_ERR_INTERNAL);
  EXPECT_EQ(context.dropHash(0x23, 8000), VARNOX_ERR_HISTORY_ENTRY_MISSING);
  EXPECT_EQ(context.dropHash(0x21, 8002), VARNOX_ERR_HISTORY_ENTRY_MISSING);
  EXPECT_EQ(context.readSkip(8002), VARNOX_ERR_HISTORY_ENTRY_MISSING);
  EXPECT_EQ(context.readFinished(0x30, 8002, false).status, VARNOX_ERR_HISTORY_ENTRY_MISSING);
  const AtomicContext::ExpectedBlock notWaiting = context.readFinished(0x31, 8001, false);
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

// The LBA-keyed table behind the public operations: growth, colliding LBAs and both ways of
// walking a range in order.
std::vector<uint64_t> recordedLbas(const AtomicContext& context, uint64_t first, uint64_t last) {
  std::vector<uint64_t> lbas;
  context.forEachRecord(first, last, [&](uint64_t lba, const AtomicContext::Record&) { lbas.push_back(lba); });
  return lbas;
}

TEST(HistoryMemoryTest, TableKeepsEveryRecordAcrossGrowthAndWalksRangesInOrder) {
  AtomicContext context;
  // Runs of consecutive LBAs, LBAs a power of two apart (they share the low bits the buckets
  // are grouped by) and one at the top of the LBA space; enough to make the table grow twice.
  std::vector<uint64_t> lbas;
  for (uint64_t i = 0; i < 1500; ++i) lbas.push_back(1000 + i);
  for (uint64_t i = 0; i < 1500; ++i) lbas.push_back((i + 1) << 20);
  lbas.push_back(UINT64_MAX - 1);
  for (size_t i = 0; i < lbas.size(); ++i) {
    ASSERT_EQ(context.writeIssued(i + 1, lbas[i], static_cast<uint32_t>(i % 0x80000), false, 0, 0), 0);
  }
  std::vector<uint64_t> sorted = lbas;
  std::sort(sorted.begin(), sorted.end());

  EXPECT_EQ(context.recordCount(), lbas.size());
  EXPECT_EQ(recordedLbas(context, 0, UINT64_MAX), sorted);                            // one sorted pass
  EXPECT_EQ(recordedLbas(context, 2497, 2502), (std::vector<uint64_t>{2497, 2498, 2499}));  // probed LBA by LBA
  EXPECT_EQ(recordedLbas(context, 3u << 20, (3u << 20) + 10), (std::vector<uint64_t>{3u << 20}));
  EXPECT_EQ(recordedLbas(context, UINT64_MAX - 3, UINT64_MAX), (std::vector<uint64_t>{UINT64_MAX - 1}));

  // Every record still answers with its own write; reading back half of them erases exactly those.
  for (size_t i = 0; i < lbas.size(); i += 2) {
    ASSERT_EQ(context.readIssued(100000 + i, lbas[i], true), 0);
    const AtomicContext::ExpectedBlock seen = context.readFinished(100000 + i, lbas[i], false);
    ASSERT_EQ(seen.status, 0);
    EXPECT_EQ(seen.blockNum, i % 0x80000) << "lba " << lbas[i];
  }
  for (size_t i = 0; i < lbas.size(); ++i) {
    EXPECT_EQ(context.findRecord(lbas[i]) != nullptr, i % 2 == 1) << "lba " << lbas[i];
  }
  EXPECT_EQ(context.recordCount(), lbas.size() / 2);

  // A range longer than the table marks exactly the records inside it.
  context.invalidateRange(1000, 1u << 21, false);
  // Kept records (odd positions): 1001, 2 << 20 inside the range, 4 << 20 beyond it.
  EXPECT_TRUE(context.lookup(1001).invalidated);
  EXPECT_TRUE(context.lookup(2u << 20).invalidated);
  ASSERT_NE(context.findRecord(4u << 20), nullptr);
  EXPECT_FALSE(context.lookup(4u << 20).invalidated);
}

}  // namespace
}  // namespace varnox
