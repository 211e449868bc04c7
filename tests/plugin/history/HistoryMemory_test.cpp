// The history's memory layout behind its public operations: the LBA-keyed table across growth,
// colliding LBAs and both ways of walking a range in order, and read snapshots drawn from the
// recycling pool (recycled Nodes carry nothing over; a snapshot outlives its history).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "history/AtomicContext.h"
#include "history/ReadSnapshot.h"

namespace varnox::testing {
using namespace cardamor;
namespace {

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

TEST(HistoryMemoryTest, SnapshotsFromRecycledNodesStartCleanAndOutliveTheirHistory) {
  auto context = std::make_unique<AtomicContext>();
  for (int round = 0; round < 3; ++round) {
    const uint64_t writeId = 10 * round + 1;
    const uint64_t readId = writeId + 1;
    ASSERT_EQ(context->writeIssued(writeId, 40, 7 + round, true, writeId, 40), 0);
    ASSERT_EQ(context->readIssued(readId, 40, true), 0);
    ReadSnapshot snapshot = takeSnapshot(*context, 40, 40, readId);
    ASSERT_EQ(snapshot.size(), 1u);
    // Only this round's write: nothing of an earlier round's Node is left behind.
    EXPECT_EQ(snapshot.at(40)->observed, nullptr);
    ASSERT_EQ(snapshot.at(40)->history.size(), 1u);
    EXPECT_EQ(snapshot.at(40)->history[0].cmdId, writeId);
    LazyBlockHash hash{};
    const BlockHeader stamp{static_cast<uint32_t>(7 + round), 1, writeId, 40};
    EXPECT_EQ(observe(snapshot, 40, stamp, hash), 0);
    ASSERT_EQ(context->readFinished(readId, 40, false).status, 0);
  }

  ASSERT_EQ(context->writeIssued(50, 40, 9, true, 50, 40), 0);
  ASSERT_EQ(context->readIssued(51, 40, true), 0);
  ReadSnapshot kept = takeSnapshot(*context, 40, 40, 51);
  context.reset();  // as when a drive's record goes while a compare record still holds a snapshot
  LazyBlockHash hash{};
  EXPECT_EQ(observe(kept, 40, BlockHeader{9, 1, 50, 40}, hash), 0);
  ReadSnapshot moved = std::move(kept);
  EXPECT_EQ(expectedFromSnapshot(moved, 40).blockNum, 9u);
  ASSERT_NE(moved.at(40)->observed, nullptr);
  EXPECT_EQ(moved.at(40)->observed->cmdId, 50u);
}

}  // namespace
}  // namespace varnox::testing
