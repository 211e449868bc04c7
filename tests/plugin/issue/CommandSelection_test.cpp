// Command selection through whole execute passes: what the agent leaves in the mask, which
// command it prepares, and how it keeps the read-back distance.
#include "issue/CommandSelection.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/AgentFixture.h"

namespace varnox::testing {
namespace {

using cardamor::ReadBackRequest;

// 'W' when the pass left the write condition in the mask, 'R' for read, '-' for neither.
char kindOf(AgentFixture& h) {
  if (h.selected("write")) return 'W';
  if (h.selected("read")) return 'R';
  return '-';
}

// A reset met with every tag in use is recovered at once: left for later, the host would free the
// lost tags and another agent's step take one, which the recovery would then free under it.
TEST(CommandSelection, NoFreeTagSelectsNothingDrawsNothingButRecoversFromAReset) {
  AgentFixture h;
  ASSERT_EQ(h.setupWith(), 0);
  AgentFixture twin;  // same seed, never runs a pass: its next draw is the reference
  ASSERT_EQ(twin.setupWith(), 0);

  ASSERT_EQ(h.pass(0, 1), 0);  // the deferred setup runs on the first pass
  ASSERT_EQ(twin.pass(0, 1), 0);
  while (h.thread().freeTagQueue().takeFreeTag() != kNoTag) {
  }
  *h.drive().deviceReset = true;
  const size_t writes = h.drive().outstandingWrites.size();

  ASSERT_EQ(h.pass(8, 1, h.bit("read") | h.bit("write")), 0);
  EXPECT_EQ(h.thread().conditionMask(), 0u);
  EXPECT_FALSE(*h.drive().deviceReset);
  ASSERT_NE(writes, 0u);
  EXPECT_TRUE(h.drive().outstandingWrites.empty()) << "the writes in flight were recovered as lost";
  EXPECT_NE(h.thread().freeTagQueue().peekNextFreeTag(), kNoTag) << "their tags are free again";
  EXPECT_EQ(h.drive().randomSource.draw(), twin.drive().randomSource.draw());
}

TEST(CommandSelection, MinEqualToMaxWritesBelowAndReadsAtTheValue) {
  AgentFixture h;
  ASSERT_EQ(h.setupWith({{"Min Queue Size", "3"}, {"Max Queue Size", "3"}}), 0);
  std::string kinds;
  for (uint64_t i = 0; i < 8; ++i) {
    ASSERT_EQ(h.pass(16 * i, 4), 0);
    kinds += kindOf(h);
  }
  EXPECT_EQ(kinds, "WWWRWRWR");
}

TEST(CommandSelection, RandomSelectionBandsFollowTheDistance) {
  AgentFixture h;
  ASSERT_EQ(h.setupWith({{"Min Queue Size", "1"}, {"Max Queue Size", "100"}}), 0);

  // Below 25% three writes in four, above 75% one in four, even odds from 25% to 75%.
  for (const auto& [distance, writeShare] : {std::pair{24u, 0.75}, {25u, 0.5}, {75u, 0.5}, {76u, 0.25}}) {
    h.drive().pendingReadBacks.assign(distance, ReadBackRequest{});
    ASSERT_EQ(cardamor::readBackDistance(h.drive()), distance);
    int writes = 0;
    for (int i = 0; i < 4000; ++i) writes += cardamor::chooseWrite(h.drive(), h.config()) ? 1 : 0;
    EXPECT_NEAR(writes / 4000.0, writeShare, 0.04) << "distance " << distance;
  }
}

TEST(CommandSelection, AlternationWithTheDefaultQueueSizesIsSticky) {
  AgentFixture h;
  ASSERT_EQ(h.setupWith({{"Random Selection", "false"}}), 0);

  // Writes until 4096 (the default maximum) await their read, then reads until fewer than 2048 do.
  uint64_t lba = 0;
  int writes = 0;
  while (true) {
    ASSERT_EQ(h.pass(lba++, 1), 0);
    if (kindOf(h) != 'W') break;
    ++writes;
  }
  EXPECT_EQ(writes, 4096);
  EXPECT_EQ(*h.drive().lba, 0u) << "the oldest write is read first";
  int reads = 1;
  while (true) {
    ASSERT_EQ(h.pass(lba++, 1), 0);
    if (kindOf(h) != 'R') break;
    ++reads;
  }
  EXPECT_EQ(reads, 2049);
  EXPECT_EQ(cardamor::readBackDistance(h.drive()), 2048u);
}

TEST(CommandSelection, DeviceResetRunsRecoveryInsteadOfACommand) {
  AgentFixture h;
  ASSERT_EQ(h.setupWith({{"PowerToggle Condition", "power"}, {"SyncCache Condition", "sync"}, {"PowerToggle Freq", "0"}}), 0);

  // A sync cache is selected and recovery still runs in the same pass.
  *h.drive().deviceReset = true;
  ASSERT_EQ(h.pass(0, 4), 0);
  EXPECT_FALSE(*h.drive().deviceReset);
  EXPECT_EQ(h.thread().conditionMask(), h.bit("sync"));
  EXPECT_TRUE(h.drive().syncCacheOutstanding);

  // With the sync cache outstanding a write goes out; a reset then aborts it, and the sync
  // cache it took with it is asked again rather than waited for.
  ASSERT_EQ(h.pass(0, 4), 0);
  ASSERT_EQ(h.drive().outstandingWrites.size(), 1u);
  *h.drive().deviceReset = true;
  ASSERT_EQ(h.pass(8, 4), 0);
  EXPECT_FALSE(*h.drive().deviceReset);
  EXPECT_EQ(h.thread().conditionMask(), h.bit("sync"));
  EXPECT_TRUE(h.drive().syncCacheOutstanding);
  EXPECT_TRUE(h.drive().outstandingWrites.empty());
}

}  // namespace
}  // namespace varnox::testing
