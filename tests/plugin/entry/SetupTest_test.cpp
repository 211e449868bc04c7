// Test setup on a real drive thread: its checks and their order, what it builds, and the
// one-shot local-buffer step it leaves for the first pass.
#include "entry/SetupTest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/AgentFixture.h"
#include "varnox/Clock.h"
#include "varnox/Errors.h"

namespace varnox::testing {
using namespace cardamor;
namespace {

using testing::AgentFixture;
using testing::AgentFixtureOptions;

TEST(SetupTest, EveryFailingCheckLogsInOrderAndTheLastDecidesTheStatus) {
  AgentFixture f;
  f.set({{"Min Queue Size", "10"}, {"Max Queue Size", "5"}});
  EXPECT_EQ(f.setup(), VARNOX_ERR_CONFIG_MISSING);
  EXPECT_EQ(f.errors(), (std::vector<std::string>{"Min Queue Size > Max Queue Size: 10 > 5",
                                                  "Read or verify Condition Must Be Set",
                                                  "A Write Condition Must Be Set"}));
  // Nothing is built after a failed validation, but the deferred step and the queue rule still apply.
  DriveData& d = f.drive();
  EXPECT_EQ(d.commandTrace, nullptr);
  EXPECT_EQ(d.sectorBuckets, nullptr);
  EXPECT_EQ(d.trimBuffer, nullptr);
  EXPECT_EQ(d.miscompareDriveBytes, nullptr);
  EXPECT_EQ(d.expectedDataBuffer, nullptr);
  EXPECT_NE(d.deferredSetup, nullptr);
  EXPECT_EQ(d.csZoneReset, nullptr);
  EXPECT_EQ(d.invalidateRanges, nullptr);

  AgentFixture onlyOrder;
  onlyOrder.setBasicConditions();
  onlyOrder.set({{"Min Queue Size", "6"}, {"Max Queue Size", "5"}});
  EXPECT_EQ(onlyOrder.setup(), VARNOX_ERR_QUEUE_SIZE_ORDER);

  AgentFixture noPattern;
  noPattern.setBasicConditions();
  noPattern.set("User Defined Data", "true");
  EXPECT_EQ(noPattern.setup(), VARNOX_ERR_CONFIG_MISSING);
  EXPECT_EQ(noPattern.errors(), std::vector<std::string>{"UserData: No Data Was Specified"});
}

TEST(SetupTest, AValidTestGetsItsTraceBucketsAndBuffers) {
  AgentFixtureOptions options;
  options.deviceProperty = 7;
  AgentFixture f(options);
  f.setBasicConditions();
  f.set("Bucket Count", "16");
  f.setTestMaxXferLength(8);
  f.thread().setTestStartCounter(5000000000ull);  // 5 s into the counter
  ASSERT_EQ(f.setup(), 0) << ::testing::PrintToString(f.logTexts());
  EXPECT_TRUE(f.logTexts().empty());

  DriveData& d = f.drive();
  ASSERT_NE(d.commandTrace, nullptr);
  EXPECT_EQ(d.commandTrace->trace_queue_size(), 4u * 4096 + 100);
  // The bucket table and the random source are checked by the sector bucket tests.
  ASSERT_NE(d.trimBuffer, nullptr);
  for (uint32_t i = 0; i < 512; ++i) ASSERT_EQ(d.trimBuffer[i], 0) << i;
  ASSERT_NE(d.miscompareDriveBytes, nullptr);
  ASSERT_NE(d.miscompareReferenceBytes, nullptr);
  EXPECT_EQ(d.miscompareDriveBytes->capacity, 512u);
  EXPECT_EQ(d.miscompareReferenceBytes->capacity, 512u);
  EXPECT_NE(d.expectedDataBuffer, nullptr);
  EXPECT_DOUBLE_EQ(d.lastPowerEventMs, 5000.0);
  EXPECT_EQ(d.deviceProperty4241, 7u);
  EXPECT_TRUE(d.setSkipGen);

  // Without a device the property reads as 0 and setup still succeeds.
  AgentFixtureOptions bare;
  bare.withDevice = false;
  AgentFixture g(bare);
  g.setBasicConditions();
  g.set("Bucket Count", "16");
  EXPECT_EQ(g.setup(), 0);
  EXPECT_EQ(g.drive().deviceProperty4241, 0u);
}

TEST(SetupTest, TraceDepthSetsTheRingSize) {
  const struct {
    const char* traceDepth;
    const char* maxQueue;
    uint64_t slots;
  } cases[] = {{"1", "4096", 2000}, {"500", "4096", 2000}, {"501", "4096", 2004}, {"0", "1", 104}};
  for (const auto& c : cases) {
    AgentFixture f;
    f.setBasicConditions();
    f.set({{"Bucket Count", "4"},
           {"Min Queue Size", "1"},
           {"Trace Depth", c.traceDepth},
           {"Max Queue Size", c.maxQueue}});
    ASSERT_EQ(f.setup(), 0);
    ASSERT_NE(f.drive().commandTrace, nullptr);
    EXPECT_EQ(f.drive().commandTrace->trace_queue_size(), c.slots) << c.traceDepth << "/" << c.maxQueue;
  }
}

TEST(SetupTest, IncompatibleCommandChoicesAreRefused) {
  const struct {
    const char* readKey;
    const char* otherKey;
    const char* option;
    const char* message;
  } cases[] = {
      {"Verify Condition", "Write Condition", "Write Splice Detection",
       "Cardamor: Cannot use splice checking without read enabled"},
      {"Read Condition", "Trim Condition", "Use Skip Commands",
       "Cardamor: Cannot use trim and skip commands together"},
      {"Read Condition", "WriteSame Condition", "Use Skip Commands",
       "Cardamor: Cannot use writesame and skip commands together"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    AgentFixture f;
    f.set({{c.readKey, "read"}, {c.otherKey, "write"}, {c.option, "true"}, {"Bucket Count", "4"}});
    f.thread().setTestStartCounter(123456789);
    EXPECT_EQ(f.setup(), VARNOX_ERR_COMMAND_CHOICE);
    EXPECT_EQ(f.errors(), std::vector<std::string>{c.message});
    // The checks come after the buckets, which stay, and before the expected-data buffer and
    // the power-event time.
    EXPECT_NE(f.drive().sectorBuckets, nullptr);
    EXPECT_EQ(f.drive().expectedDataBuffer, nullptr);
    EXPECT_EQ(f.drive().lastPowerEventMs, 0.0);
  }
}

TEST(SetupTest, OptionsThatSetupAdjusts) {
  AgentFixture deprecated;
  deprecated.setBasicConditions();
  deprecated.set({{"Bucket Count", "4"}, {"Embed LBA", "false"}});
  ASSERT_TRUE(deprecated.config().embedData);
  EXPECT_EQ(deprecated.setup(), 0);
  EXPECT_FALSE(deprecated.config().embedData);
  const auto lines = deprecated.logLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, 1);
  EXPECT_EQ(lines[0].text,
            "Cardamor: Use of DEPRECATED Embed LBA option, forcing Embed Data option to disabled");

  // Only an atomic write leaves the skip generation to the LBA agent.
  for (bool withWrite : {false, true}) {
    AgentFixture atomic;
    atomic.set("Read Condition", "read");
    if (withWrite) atomic.set("Write Condition", "write");
    atomic.set({{"WriteAtomic Condition", "atomic"}, {"Bucket Count", "4"}});
    EXPECT_EQ(atomic.setup(), 0);
    EXPECT_EQ(atomic.drive().setSkipGen, !withWrite);
  }

  // A queue that some other agent writes stays; one that nobody writes is dropped.
  AgentFixture zones;
  zones.setBasicConditions();
  zones.set("Bucket Count", "4");
  zones.mapRangeQueueWriter("CSZoneReset");
  LBARangeQueue* queue = zones.drive().csZoneReset;
  EXPECT_EQ(zones.setup(), 0);
  EXPECT_EQ(zones.drive().csZoneReset, queue);
  EXPECT_NE(queue, nullptr);
  EXPECT_EQ(zones.drive().invalidateRanges, nullptr);
}

TEST(SetupTest, DeferredStepAllocatesOneLocalWriteBufferPerTag) {
  AgentFixture f;  // 512-byte blocks, no protection information, 32 tags
  f.setBasicConditions();
  f.set({{"E2E Condition", "e2e"}, {"Bucket Count", "4"}});
  f.setTestMaxXferLength(256);
  ASSERT_EQ(f.setup(), 0);
  DriveData& d = f.drive();
  ASSERT_NE(d.deferredSetup, nullptr);
  EXPECT_TRUE(d.localWriteBuffers.empty());  // nothing until the first pass runs the step
  EXPECT_EQ((*d.deferredSetup)(&f.thread(), &d, &f.config()), 0);
  ASSERT_EQ(d.localWriteBuffers.size(), 32u);
  for (const auto& buffer : d.localWriteBuffers) EXPECT_NE(buffer, nullptr);
  EXPECT_EQ(localWriteBufferBytes(f.thread(), d, f.config()), 133120u);

  // Protection information adds its bytes per block; without E2E there are no extra 8.
  AgentFixtureOptions pi;
  pi.drive.protectionInfoEnabled = true;
  pi.drive.queueDepth = 4;
  AgentFixture g(pi);
  g.setBasicConditions();
  g.setTestMaxXferLength(10);
  EXPECT_EQ(localWriteBufferBytes(g.thread(), g.drive(), g.config()), 10u * 520);
  EXPECT_EQ(allocateLocalWriteBuffers(&g.thread(), &g.drive(), &g.config()), 0);
  EXPECT_EQ(g.drive().localWriteBuffers.size(), 4u);
}

}  // namespace
}  // namespace varnox::testing
