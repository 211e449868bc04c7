// The power-toggle cycle driven pass by pass through the agent table: the test plays the host's
// part, taking the tag of a selected command, handing its completion back the way GetStatus does,
// and setting "EPO" when power is back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/AgentFixture.h"
#include "varnox/Clock.h"

namespace varnox::testing {
namespace {

using K = cardamor::TraceEventKind;

class PowerToggleTest : public ::testing::Test {
 protected:
  void configure(const char* frequency, bool withSyncCache = false) {
    f_.set({{"PowerToggle Condition", "power"}, {"PowerToggle Freq", frequency}});
    if (withSyncCache) f_.set("SyncCache Condition", "sync");
    ASSERT_EQ(f_.setupWith({}, 16), 0);
  }
  bool selected(const std::string& condition) { return f_.selected(condition); }
  int pass(uint32_t tag = kNoTag, uint32_t status = 0xFFFFFFFF) { return f_.passWithCompletion(tag, status, 1000, 8); }
  uint32_t send() { return f_.thread().freeTagQueue().takeFreeTag(); }  // the host sends the command

  AgentFixture f_;
};

// "PowerToggle Freq" counts seconds since the last power event.
TEST_F(PowerToggleTest, TheIntervalIsInSeconds) {
  configure("1000");
  const double nowMs = static_cast<double>(queryPerformanceCounter()) / 1e6;
  for (const auto& [agoMs, toggles] : {std::pair{500e3, false}, {1500e3, true}}) {
    f_.drive().lastPowerEventMs = nowMs - agoMs;
    ASSERT_EQ(pass(), 0);
    EXPECT_EQ(selected("power"), toggles) << agoMs << " ms ago";
  }
}

TEST_F(PowerToggleTest, ZeroFrequencyTogglesEveryPassUntilPowerComesBackAndThenAgain) {
  configure("0");
  f_.drive().outstandingWrites.push_back(cardamor::WriteRecord{77, 0, 500, 2, send()});
  ASSERT_EQ(pass(), 0);
  EXPECT_TRUE(selected("power"));
  EXPECT_FALSE(selected("write")) << "a power toggle pass issues nothing else";
  // Outstanding commands are aborted before the cut.
  EXPECT_TRUE(f_.drive().outstandingWrites.empty());
  EXPECT_EQ(f_.thread().freeTagQueue().inUseCount(), 0u);
  ASSERT_EQ(pass(), 0);
  EXPECT_TRUE(selected("power")) << "without EPO the interval stays elapsed";

  const double before = f_.drive().lastPowerEventMs;
  *f_.drive().epo = 1;
  ASSERT_EQ(pass(), 0);
  EXPECT_EQ(*f_.drive().epo, 0u);
  EXPECT_GT(f_.drive().lastPowerEventMs, before) << "power back restarts the interval";
  EXPECT_TRUE(selected("power"));
  EXPECT_EQ(f_.traceKinds(), (std::vector<K>{K::WriteAborted, K::PowerToggleOff, K::PowerToggleOff,
                                             K::PowerToggleOn, K::PowerToggleOff}));
}

TEST_F(PowerToggleTest, AFailedSyncCacheIsRetriedOnTheNextPassAndOnlyAGoodOneLetsPowerGo) {
  configure("0", true);
  ASSERT_EQ(pass(), 0);
  ASSERT_TRUE(selected("sync"));
  EXPECT_FALSE(selected("power"));
  EXPECT_FALSE(selected("write")) << "the sync cache pass chooses no read or write";
  // Two failures: each completion makes the same pass select another sync cache.
  for (int failure = 0; failure < 2; ++failure) {
    ASSERT_EQ(pass(send(), 0x02), 0);
    EXPECT_TRUE(selected("sync"));
    EXPECT_FALSE(selected("power"));
  }
  // While a sync cache is outstanding, the agent goes on reading and writing.
  const uint32_t tag = send();
  ASSERT_EQ(pass(), 0);
  EXPECT_FALSE(selected("sync") || selected("power"));
  EXPECT_TRUE(selected("write"));
  send();
  // A good completion: power is cut in that very pass, and the write in flight is lost with it.
  ASSERT_EQ(pass(tag, 0x00), 0);
  EXPECT_TRUE(selected("power"));
  EXPECT_EQ(f_.traceKinds(), (std::vector<K>{K::SyncCacheIssued, K::SyncCacheFinished, K::SyncCacheIssued,
                                             K::SyncCacheFinished, K::SyncCacheIssued, K::WriteIssued,
                                             K::SyncCacheFinished, K::WriteAborted, K::PowerToggleOff}));
  // The good sync cache counted for that pass only: the next cut needs another.
  *f_.drive().epo = 1;
  ASSERT_EQ(pass(), 0);
  EXPECT_TRUE(selected("sync"));
  EXPECT_FALSE(selected("power"));
}

}  // namespace
}  // namespace varnox::testing
