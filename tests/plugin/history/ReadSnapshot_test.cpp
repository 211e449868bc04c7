#include "history/ReadSnapshot.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <tuple>
#include <vector>

#include "plugin/history/HistoryWalker.h"
#include "varnox/Errors.h"

namespace varnox::testing {
using namespace cardamor;
namespace {

using Event = AtomicContext::Event;
using test::makeEvent;
using AC = AtomicContext;

std::vector<uint64_t> lbasOf(const ReadSnapshot& snapshot) {
  std::vector<uint64_t> lbas;
  for (const auto& [lba, node] : snapshot) lbas.push_back(lba);
  return lbas;
}

BlockHeader stamp(uint32_t bucket, uint64_t cmdId, uint64_t lba) {
  return BlockHeader{bucket, 1, cmdId, lba};
}

class ReadSnapshotTest : public ::testing::Test {
 protected:
  int write(uint64_t cmdId, uint64_t lba, uint32_t bucket) {
    return context.writeIssued(cmdId, lba, bucket, true, cmdId, lba);
  }
  int atomic(uint64_t cmdId, uint64_t lba, uint32_t bucket) {
    return context.atomicWriteIssued(cmdId, lba, bucket, true, cmdId, lba, 0, 1, 0);
  }
  // A lazy hash over a block that no event stamps or hashes.
  LazyBlockHash unrelatedBlock() {
    block.assign(512, 0x5a);
    return LazyBlockHash{block.data(), block.data() + block.size()};
  }

  AtomicContext context;
  std::vector<uint8_t> block;
};

TEST_F(ReadSnapshotTest, HoldsACopyOfWhatEachRegisteredLbaHadWhenTheReadWasIssued) {
  for (uint64_t lba : {10, 11, 13}) ASSERT_EQ(write(1, lba, lba), 0);
  for (uint64_t lba : {10, 11, 13}) ASSERT_EQ(context.readIssued(20, lba, true), 0);
  ASSERT_EQ(write(25, 10, 0x25), 0);                // after the read: not part of what it saw
  ASSERT_EQ(context.readIssued(21, 14, false), 0);  // another read's registration
  ASSERT_EQ(write(2, 12, 12), 0);                   // a record, but the read is not registered

  ReadSnapshot snapshot = takeSnapshot(context, 10, 14, 20);
  EXPECT_EQ(lbasOf(snapshot), (std::vector<uint64_t>{10, 11, 13}));
  ASSERT_EQ(snapshot.at(10)->history.size(), 1u);
  EXPECT_EQ(snapshot.at(10)->history[0].cmdId, 1u);
  EXPECT_EQ(snapshot.at(10)->observed, nullptr);

  LazyBlockHash lazy = unrelatedBlock();
  EXPECT_EQ(observe(snapshot, 12, stamp(12, 2, 12), lazy), VARNOX_ERR_HISTORY_EVENT_MISSING);
  EXPECT_EQ(expectedFromSnapshot(snapshot, 12).status, VARNOX_ERR_HISTORY_EVENT_MISSING);

  // Releasing the read and rewriting the LBA do not touch the copy.
  for (uint64_t lba : {10, 11, 13}) ASSERT_EQ(context.readFinished(20, lba, false).status, 0);
  ASSERT_EQ(write(30, 11, 0x30), 0);
  EXPECT_EQ(expectedFromSnapshot(snapshot, 11).blockNum, 11u);
  EXPECT_EQ(observe(snapshot, 11, stamp(11, 1, 11), lazy), 0);
  EXPECT_FALSE(lazy.computed);  // the stamp was enough
}

TEST_F(ReadSnapshotTest, StampWalkPassesOnlyUnfinishedAtomicWrites) {
  ASSERT_EQ(write(5, 50, 5), 0);
  ASSERT_EQ(atomic(8, 50, 7), 0);
  ASSERT_EQ(context.readIssued(9, 50, true), 0);
  ReadSnapshot snapshot = takeSnapshot(context, 50, 50, 9);
  const AtomicContext::Node& node = *snapshot.at(50);

  LazyBlockHash lazy = unrelatedBlock();
  EXPECT_EQ(observe(snapshot, 50, stamp(5, 5, 50), lazy), 0);
  EXPECT_EQ(node.observed, &node.history[1]);
  EXPECT_EQ(expectedFromSnapshot(snapshot, 50).blockType, AtomicContext::kBlockNormal);

  // Bucket right, embedded command id wrong: not the write. Nothing matches, the hash is
  // computed once, and the earlier observation stands.
  EXPECT_EQ(observe(snapshot, 50, stamp(5, 6, 50), lazy), VARNOX_ERR_HISTORY_ENTRY_MISSING);
  EXPECT_TRUE(lazy.computed);
  EXPECT_EQ(lazy.hash, blockHash(block.data(), block.size()));
  EXPECT_EQ(node.observed, &node.history[1]);

  LazyBlockHash fresh = unrelatedBlock();
  EXPECT_EQ(observe(snapshot, 50, stamp(7, 8, 50), fresh), 0);
  const AtomicContext::ExpectedBlock seen = expectedFromSnapshot(snapshot, 50);
  EXPECT_EQ(std::tuple(seen.blockType, seen.blockNum, seen.embeddedCmdId), std::tuple(AtomicContext::kBlockAtomic, 7u, 8u));

  // Once completed, the atomic write stops the walk like any write.
  context.writeFinished(8, 50);
  ASSERT_EQ(context.readIssued(10, 50, false), 0);
  ReadSnapshot later = takeSnapshot(context, 50, 50, 10);
  EXPECT_EQ(observe(later, 50, stamp(5, 5, 50), fresh), VARNOX_ERR_HISTORY_ENTRY_MISSING);
}

TEST_F(ReadSnapshotTest, OlderDataAndPreReadsAreRecognisedOnlyByHash) {
  ASSERT_EQ(write(3, 60, 7), 0);
  ASSERT_EQ(write(9, 60, 5), 0);
  ASSERT_EQ(context.readIssued(10, 60, true), 0);
  ReadSnapshot snapshot = takeSnapshot(context, 60, 60, 10);
  LazyBlockHash lazy = unrelatedBlock();
  EXPECT_EQ(observe(snapshot, 60, stamp(7, 3, 60), lazy), VARNOX_ERR_HISTORY_ENTRY_MISSING);
  EXPECT_EQ(snapshot.at(60)->observed, nullptr);

  // A pre-read saw the block's bytes; the drive returns them again without a valid stamp.
  std::vector<uint8_t> bytes(512);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  uint64_t seenHash = blockHash(bytes.data(), bytes.size());
  ASSERT_EQ(context.addHash(11, 61, seenHash, true), 0);
  ASSERT_EQ(context.readIssued(12, 61, true), 0);
  ReadSnapshot preRead = takeSnapshot(context, 61, 61, 12);
  LazyBlockHash lazyBytes{bytes.data(), bytes.data() + bytes.size()};
  EXPECT_EQ(observe(preRead, 61, stamp(INVALID_BUCKET, 0, 0), lazyBytes), 0);
  const AtomicContext::ExpectedBlock expected = expectedFromSnapshot(preRead, 61);
  EXPECT_EQ(std::tuple(expected.blockType, expected.hashValue), std::tuple(AtomicContext::kBlockHash, seenHash));
}

// A Node whose history is `events` and whose observed event is history[observed] (-1: none).
std::shared_ptr<AtomicContext::Node> nodeOf(std::vector<Event> events, int observed) {
  auto node = std::make_shared<AtomicContext::Node>();
  node->history = std::move(events);
  if (observed >= 0) node->observed = &node->history[observed];
  return node;
}

TEST(ExpectedFromSnapshotTest, ObservedEventWinsAndExternalInvalidationsAreFlagged) {
  const Event atomic8 = makeEvent(AC::kEventAtomic, 8, AC::kBlockAtomic, 8);
  const Event external = makeEvent(AC::kEventExternalInvalidate, 0, AC::kBlockUnknown, INVALID_BUCKET);
  const Event write3 = makeEvent(AC::kEventWrite, 3, AC::kBlockNormal, 3);
  ReadSnapshot snapshot{{1, nodeOf({atomic8, external, write3}, -1)},
                        {2, nodeOf({atomic8, external, write3}, 0)},
                        {3, nodeOf({atomic8, external, write3}, 2)},
                        {4, nodeOf({atomic8, external}, -1)}};

  // (status, blockType, blockNum, invalidated) at each LBA.
  const std::tuple<int, uint32_t, uint32_t, bool> expected[] = {
      {0, AtomicContext::kBlockNormal, 3, true},   // unobserved: the newest write behind the invalidation
      {0, AtomicContext::kBlockAtomic, 8, false},  // the observed atomic write
      {0, AtomicContext::kBlockNormal, 3, true},   // the observed old write
      {VARNOX_ERR_HISTORY_ENTRY_MISSING, AtomicContext::kBlockUnknown, INVALID_BUCKET, true}};
  for (uint64_t lba = 1; lba <= 4; ++lba) {
    const AtomicContext::ExpectedBlock e = expectedFromSnapshot(snapshot, lba);
    EXPECT_EQ(std::tuple(e.status, e.blockType, e.blockNum, e.invalidated), expected[lba - 1]) << lba;
  }
}

// Nodes at the given LBAs, each observing its one event.
ReadSnapshot observedRun(std::initializer_list<std::pair<uint64_t, Event>> blocks) {
  ReadSnapshot snapshot;
  for (const auto& [lba, e] : blocks) snapshot[lba] = nodeOf({e}, 0);
  return snapshot;
}

TEST(CheckAtomicOrderingTest, OlderDataInsideANewerAtomicUnitIsTornInEitherDirection) {
  auto atomic20 = [](uint32_t index) { return makeEvent(AC::kEventAtomic, 20, AC::kBlockAtomic, 1, index, 4); };
  const Event write15 = makeEvent(AC::kEventWrite, 15, AC::kBlockNormal, 2);
  const Event write25 = makeEvent(AC::kEventWrite, 25, AC::kBlockNormal, 2);
  uint64_t failLba = 0;

  EXPECT_TRUE(checkAtomicOrdering(ReadSnapshot{}, failLba));

  // Older write in the middle of the unit.
  EXPECT_FALSE(checkAtomicOrdering(
      observedRun({{0, atomic20(0)}, {1, atomic20(1)}, {2, write15}, {3, atomic20(3)}}), failLba));
  EXPECT_EQ(failLba, 2u);

  // Newer data may overwrite part of an atomic unit.
  EXPECT_TRUE(checkAtomicOrdering(
      observedRun({{0, atomic20(0)}, {1, atomic20(1)}, {2, write25}, {3, atomic20(3)}}), failLba));

  // Older data before the unit's first seen block: only the descending pass sees it.
  failLba = 99;
  EXPECT_FALSE(checkAtomicOrdering(
      observedRun({{0, write15}, {1, atomic20(1)}, {2, atomic20(2)}, {3, atomic20(3)}}), failLba));
  EXPECT_EQ(failLba, 0u);
  // ... and after it: the ascending pass.
  EXPECT_FALSE(checkAtomicOrdering(
      observedRun({{0, atomic20(0)}, {1, atomic20(1)}, {2, atomic20(2)}, {3, write15}}), failLba));
  EXPECT_EQ(failLba, 3u);

  // Positions count Nodes: with skip commands the unit spans every second LBA.
  EXPECT_FALSE(checkAtomicOrdering(
      observedRun({{0, atomic20(0)}, {2, atomic20(1)}, {4, write15}, {6, atomic20(3)}}), failLba));
  EXPECT_EQ(failLba, 4u);

  // Older data beyond the end of a unit is not inside it.
  auto pair20 = [](uint32_t index) { return makeEvent(AC::kEventAtomic, 20, AC::kBlockAtomic, 1, index, 2); };
  EXPECT_TRUE(checkAtomicOrdering(observedRun({{0, write15}, {1, pair20(0)}, {2, pair20(1)}, {3, write15}}),
                                  failLba));

  // Blocks whose content was not recognised take a position but judge nothing.
  ReadSnapshot gap = observedRun({{0, atomic20(0)}, {1, atomic20(1)}, {3, write15}});
  gap[2] = nodeOf({write15}, -1);
  EXPECT_FALSE(checkAtomicOrdering(gap, failLba));
  EXPECT_EQ(failLba, 3u);
}

}  // namespace

// A power-on marks what a volatile cache may have lost. A read that completed before it is judged
// by what its blocks could hold then: the marks of later power-ons are off its copy; those of
// earlier ones stay, and so do marks on a sync's exceptions (writes in flight when it was sent).
TEST_F(ReadSnapshotTest, JudgesAReadWithoutTheMayBeLostMarksOfLaterPowerOns) {
  ASSERT_EQ(write(1, 70, 0x70), 0);  // synced
  ASSERT_EQ(write(2, 71, 0x71), 0);  // in flight when the sync was sent: not covered
  ASSERT_EQ(write(5, 72, 0x72), 0);  // after the sync
  ASSERT_EQ(write(6, 73, 0x73), 0);  // after the sync, lost in flight at an earlier reset
  context.writeAborted(6, 73);
  for (uint64_t lba : {70, 71, 72}) ASSERT_EQ(context.readIssued(9, lba, true), 0);
  context.mayBeLost(4, {}, {2}, 3);  // power-on of epoch 3, after the read completed in epoch 2
  // The lost write's blocks stay unknown: a flush the host did not wait for (another slice's
  // sync cache) may have kept any part of it, so it may not be passed over to older content.
  EXPECT_EQ(context.lookup(73).blockType, AC::kBlockNormal);
  EXPECT_EQ(context.lookup(73).blockNum, INVALID_BUCKET);

  struct Case {
    uint32_t completedEpoch, powerOnsSince;
    uint32_t type70, type71, type72;
  };
  for (const Case& c : {Case{2, 1, AC::kBlockNormal, AC::kBlockNormal, AC::kBlockNormal},
                        Case{3, 0, AC::kBlockNormal, AC::kBlockAtomic, AC::kBlockAtomic},
                        Case{256, 1, AC::kBlockNormal, AC::kBlockAtomic, AC::kBlockAtomic}}) {  // another epoch
    ReadSnapshot snapshot = takeSnapshot(context, 70, 72, 9, c.completedEpoch, c.powerOnsSince);
    ASSERT_EQ(snapshot.size(), 3u);
    EXPECT_EQ(snapshot.at(70)->history[0].blockType, c.type70) << c.completedEpoch;
    EXPECT_EQ(snapshot.at(71)->history[0].blockType, c.type71) << c.completedEpoch;
    EXPECT_EQ(snapshot.at(72)->history[0].blockType, c.type72) << c.completedEpoch;
  }
  // The history itself keeps the marks, for reads that completed after the power-on.
  EXPECT_EQ(context.lookup(71).blockType, AC::kBlockAtomic);
  EXPECT_EQ(context.lookup(70).blockType, AC::kBlockNormal);
}

}  // namespace varnox::testing
