// The power-toggle cycle driven pass by pass through the agent table: the test plays the host's
// part, taking the tag of a selected sync cache and handing its completion back the way
// GetStatus does, and setting "EPO" when power is back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/AgentFixture.h"
#include "trace/CommandTrace.h"

namespace varnox::testing {
namespace {

using K = cardamor::TraceEventKind;

class PowerToggleTest : public ::testing::Test {
 protected:
  void configure(bool withSyncCache) {
    f_.setBasicConditions();
    f_.set({{"PowerToggle Condition", "power"}, {"PowerToggle Freq", "0"}});
    if (withSyncCache) f_.set("SyncCache Condition", "sync");
    f_.setTestMaxXferLength(16);
    ASSERT_EQ(f_.setup(), 0);
  }
  bool selected(const std::string& condition) { return f_.selected(condition); }
  // One pass with the LBA agent's choice made; GetStatus may hand it the completion of `tag`.
  int pass() { return f_.pass(1000, 8); }
  int passCompleting(uint32_t tag, uint32_t status) { return f_.passWithCompletion(tag, status, 1000, 8); }
  // The host sends the command the pass selected.
  uint32_t send() { return f_.thread().freeTagQueue().takeFreeTag(); }
  std::vector<K> trace() { return f_.traceKinds(); }

  AgentFixture f_;
};

TEST_F(PowerToggleTest, ZeroFrequencyTogglesEveryPassUntilPowerComesBackAndThenAgain) {
  configure(false);
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
  EXPECT_EQ(trace(),
            (std::vector<K>{K::PowerToggleOff, K::PowerToggleOff, K::PowerToggleOn, K::PowerToggleOff}));
}

TEST_F(PowerToggleTest, OutstandingCommandsAreAbortedBeforeTheCut) {
  configure(false);
  f_.drive().outstandingWrites.push_back(cardamor::WriteRecord{77, 0, 500, 2, send()});
  ASSERT_EQ(pass(), 0);
  EXPECT_TRUE(f_.drive().outstandingWrites.empty());
  EXPECT_EQ(f_.thread().freeTagQueue().inUseCount(), 0u);
  EXPECT_EQ(trace(), (std::vector<K>{K::WriteAborted, K::PowerToggleOff}));
}

TEST_F(PowerToggleTest, AFailedSyncCacheIsRetriedOnTheNextPassAndOnlyAGoodOneLetsPowerGo) {
  configure(true);
  ASSERT_EQ(pass(), 0);
  ASSERT_TRUE(selected("sync"));
  EXPECT_FALSE(selected("power"));
  EXPECT_FALSE(selected("write")) << "the sync cache pass chooses no read or write";

  // Two failures: each completion makes the same pass select another sync cache.
  for (int failure = 0; failure < 2; ++failure) {
    SCOPED_TRACE(failure);
    ASSERT_EQ(passCompleting(send(), 0x02), 0);
    EXPECT_TRUE(selected("sync"));
    EXPECT_FALSE(selected("power"));
  }
  // While a sync cache is outstanding, the agent goes on reading and writing.
  const uint32_t tag = send();
  ASSERT_EQ(pass(), 0);
  EXPECT_FALSE(selected("sync"));
  EXPECT_FALSE(selected("power"));
  EXPECT_TRUE(selected("write"));
  send();  // the write

  // A good completion: power is cut in that very pass, and the write in flight is lost with it.
  ASSERT_EQ(passCompleting(tag, 0x00), 0);
  EXPECT_TRUE(selected("power"));
  EXPECT_TRUE(f_.drive().outstandingWrites.empty());

  std::vector<K> expected{K::SyncCacheIssued,   K::SyncCacheFinished, K::SyncCacheIssued,
                          K::SyncCacheFinished, K::SyncCacheIssued,   K::WriteIssued,
                          K::SyncCacheFinished, K::WriteAborted,      K::PowerToggleOff};
  EXPECT_EQ(trace(), expected);
}

}  // namespace
}  // namespace varnox::testing
