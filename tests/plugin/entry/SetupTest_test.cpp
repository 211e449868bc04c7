// Test setup on a real drive thread: its checks and their order, what it builds, and the
// one-shot local-buffer step it leaves for the first pass.
#include "entry/SetupTest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin/TestData.h"
#include "support/AgentFixture.h"

namespace varnox::testing {
using namespace cardamor;
namespace {

using testing::AgentFixture;
using testing::AgentFixtureOptions;
using Lines = std::vector<std::string>;

TEST(SetupTest, RefusedConfigurationsLogEveryFailingCheckAndTheLastDecidesTheStatus) {
  for (const auto& row : caseRows("entry/cases/setup_refusals.txt")) {
    SCOPED_TRACE(row.back());
    AgentFixture f;
    f.set("Bucket Count", "4");
    f.setPairs(split(row[0], "; "));
    EXPECT_EQ(std::to_string(f.setup()), row[1]);
    EXPECT_EQ(f.errors(), Lines(row.begin() + 2, row.end()));
    EXPECT_EQ(f.drive().expectedDataBuffer, nullptr);
    EXPECT_EQ(f.drive().lastPowerEventMs, 0.0);
    EXPECT_NE(f.drive().deferredSetup, nullptr);
  }
}

TEST(SetupTest, AValidTestIsBuiltAndOptionsAreAdjusted) {
  AgentFixtureOptions options;
  options.deviceProperty = 7;
  AgentFixture f(options);
  f.setBasicConditions();
  f.set({{"Bucket Count", "16"}, {"Embed LBA", "false"}});
  f.thread().setTestStartCounter(5000000000ull);  // 5 s into the counter
  f.mapRangeQueueWriter("CSZoneReset");
  LBARangeQueue* zones = f.drive().csZoneReset;
  ASSERT_EQ(f.setup(), 0) << f.log();
  DriveData& d = f.drive();
  // The power-toggle interval runs from the start of the test.
  EXPECT_DOUBLE_EQ(d.lastPowerEventMs, 5000.0);
  EXPECT_EQ(d.deviceProperty4241, 7u);
  ASSERT_NE(d.commandTrace, nullptr);
  ASSERT_NE(d.expectedDataBuffer, nullptr);
  // The deprecated key turns "Embed Data" off, with a warning.
  EXPECT_FALSE(f.config().embedData);
  EXPECT_EQ(f.logTexts(), Lines{"Cardamor: Use of DEPRECATED Embed LBA option, forcing Embed Data option to disabled"});
  EXPECT_TRUE(f.errors().empty());
  // A queue that some other agent writes stays; one that nobody writes is dropped.
  EXPECT_EQ(d.csZoneReset, zones);
  EXPECT_NE(zones, nullptr);
  EXPECT_EQ(d.invalidateRanges, nullptr);

  // Without a device the property reads as 0 and setup still succeeds.
  AgentFixtureOptions bare;
  bare.withDevice = false;
  AgentFixture g(bare);
  g.setBasicConditions();
  g.set("Bucket Count", "16");
  EXPECT_EQ(g.setup(), 0);
  EXPECT_EQ(g.drive().deviceProperty4241, 0u);

  // Only an atomic write without a normal one leaves the skip generation to the LBA agent.
  for (bool withWrite : {false, true}) {
    AgentFixture atomic;
    atomic.set({{"Read Condition", "read"}, {"WriteAtomic Condition", "atomic"}, {"Bucket Count", "4"}});
    if (withWrite) atomic.set("Write Condition", "write");
    EXPECT_EQ(atomic.setup(), 0);
    EXPECT_EQ(atomic.drive().setSkipGen, !withWrite);
  }
}

TEST(SetupTest, DeferredStepAllocatesOneLocalWriteBufferPerTag) {
  AgentFixture f;  // 512-byte blocks, no protection information, 32 tags
  ASSERT_EQ(f.setupWith({{"E2E Condition", "e2e"}, {"Bucket Count", "4"}}, 256), 0);
  DriveData& d = f.drive();
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
