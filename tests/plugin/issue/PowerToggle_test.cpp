// The power-toggle cycle driven pass by pass through the agent table: the test plays the host's
// part, taking the tag of a selected sync cache and handing its completion back the way
// GetStatus does, and setting "EPO" when power is back.
#include <gtest/gtest.h>

#include <vector>

#include "support/AgentFixture.h"
#include "trace/CommandTrace.h"

namespace varnox::testing {
namespace {

using K = Cardamor::TraceEventKind;

class PowerToggleTest : public ::testing::Test {
 protected:
  void configure(bool withSyncCache) {
    f_.setBasicConditions();
    f_.set("PowerToggle Condition", "power");
    if (withSyncCache) f_.set("SyncCache Condition", "sync");
    f_.set("PowerToggle Freq", "0");
    f_.setTestMaxXferLength(16);
    ASSERT_EQ(f_.setup(), 0);
  }
  bool selected(const std::string& condition) { return (f_.thread().conditionMask() & f_.conditionBit(condition)) != 0; }
  // One pass with the LBA agent's choice already made.
  int pass() {
    *f_.drive().lba = 1000;
    *f_.drive().xferLength = 8;
    f_.thread().conditionMask() = 0;
    return f_.execute();
  }
  // The host sends the sync cache the pass selected.
  uint32_t sendSyncCache() { return f_.thread().freeTagQueue().takeFreeTag(); }
  // GetStatus hands the completion of `tag` to the next pass.
  void complete(uint32_t tag, uint32_t status) {
    *f_.drive().lastTagId = tag;
    *f_.drive().lastStatusByte = status;
    f_.drive().lastErrSenseData->size = 0;
    f_.thread().freeTagQueue().pushFreeTag(tag, 0);
  }
  void noCompletion() { *f_.drive().lastStatusByte = 0xFFFFFFFF; }
  std::vector<K> trace() {
    std::vector<K> kinds;
    const Cardamor::CommandTrace& t = *f_.drive().commandTrace;
    for (uint64_t i = 0; i < t.retainedCount(); ++i) kinds.push_back(t.chronological(i).kind);
    return kinds;
  }

  AgentFixture f_;
};

TEST_F(PowerToggleTest, ZeroFrequencyTogglesEveryPassUntilPowerComesBackAndThenAgain) {
  configure(false);
  noCompletion();
  ASSERT_EQ(pass(), 0);
  EXPECT_TRUE(selected("power"));
  EXPECT_FALSE(selected("write")) << "a power toggle pass issues nothing else";
  ASSERT_EQ(pass(), 0);
  EXPECT_TRUE(selected("power")) << "without EPO the interval stays elapsed";

  const double before = f_.drive().lastPowerEventMs;
  *f_.drive().epo = 1;
  ASSERT_EQ(pass(), 0);
  EXPECT_EQ(*f_.drive().epo, 0u);
  EXPECT_GT(f_.drive().lastPowerEventMs, before) << "power back restarts the interval";
  EXPECT_TRUE(selected("power"));
  EXPECT_EQ(trace(), (std::vector<K>{K::PowerToggleOff, K::PowerToggleOff, K::PowerToggleOn, K::PowerToggleOff}));
}

TEST_F(PowerToggleTest, OutstandingCommandsAreAbortedBeforeTheCut) {
  configure(false);
  Cardamor::WriteRecord w;
  w.cmdId = 77;
  w.lba = 500;
  w.xferLength = 2;
  w.tag = f_.thread().freeTagQueue().takeFreeTag();
  f_.drive().outstandingWrites.push_back(w);
  noCompletion();
  ASSERT_EQ(pass(), 0);
  EXPECT_TRUE(f_.drive().outstandingWrites.empty());
  EXPECT_EQ(f_.thread().freeTagQueue().inUseCount(), 0u);
  EXPECT_EQ(trace(), (std::vector<K>{K::WriteAborted, K::PowerToggleOff}));
}

TEST_F(PowerToggleTest, AFailedSyncCacheIsRetriedOnTheNextPassAndOnlyAGoodOneLetsPowerGo) {
  configure(true);
  noCompletion();
  ASSERT_EQ(pass(), 0);
  ASSERT_TRUE(selected("sync"));
  EXPECT_FALSE(selected("power"));
  EXPECT_FALSE(selected("write")) << "the sync cache pass chooses no read or write";

  // Two failures: each completion makes the same pass select another sync cache.
  for (int failure = 0; failure < 2; ++failure) {
    SCOPED_TRACE(failure);
    complete(sendSyncCache(), 0x02);
    ASSERT_EQ(pass(), 0);
    EXPECT_TRUE(selected("sync"));
    EXPECT_FALSE(selected("power"));
  }
  // While a sync cache is outstanding, the agent goes on reading and writing.
  const uint32_t tag = sendSyncCache();
  noCompletion();
  ASSERT_EQ(pass(), 0);
  EXPECT_FALSE(selected("sync"));
  EXPECT_FALSE(selected("power"));
  EXPECT_TRUE(selected("write"));
  f_.thread().freeTagQueue().takeFreeTag();  // the host sends that write

  // A good completion: power is cut in that very pass, and the write in flight is lost with it.
  complete(tag, 0x00);
  ASSERT_EQ(pass(), 0);
  EXPECT_TRUE(selected("power"));
  EXPECT_TRUE(f_.drive().outstandingWrites.empty());

  std::vector<K> expected{K::SyncCacheIssued, K::SyncCacheFinished, K::SyncCacheIssued, K::SyncCacheFinished,
                          K::SyncCacheIssued, K::WriteIssued,       K::SyncCacheFinished, K::WriteAborted,
                          K::PowerToggleOff};
  EXPECT_EQ(trace(), expected);
}

}  // namespace
}  // namespace varnox::testing
