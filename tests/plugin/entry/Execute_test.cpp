// The execute pass: its one-shot setup step, power events, queued zone resets and
// invalidations. Its one failure line is checked with the write issue failures.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "support/AgentFixture.h"
#include "trace/CommandTrace.h"

namespace varnox::testing {
using cardamor::AtomicContext;
namespace {

using cardamor::TraceEventKind;

TEST(Execute, DeferredSetupRunsOnceAndItsFailureEndsOnlyThatPass) {
  AgentFixture h;
  ASSERT_EQ(h.setupWith(), 0);
  ASSERT_TRUE(h.drive().deferredSetup);
  // Stand in for a setup step that fails, delegating to the real one so later passes can write.
  int calls = 0;
  cardamor::DeferredSetup real = *h.drive().deferredSetup;
  *h.drive().deferredSetup = [&](DriveThread* t, cardamor::DriveData* d, const cardamor::ConfigData* c) {
    ++calls;
    real(t, d, c);
    return -1002;
  };

  EXPECT_EQ(h.pass(10, 2, h.bit("write")), -1002);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(h.drive().deferredSetup);
  EXPECT_TRUE(h.drive().outstandingWrites.empty()) << "nothing after a failed setup step";
  EXPECT_TRUE(h.errors().empty()) << "the step logs its own failure";

  EXPECT_EQ(h.pass(10, 2), 0);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(h.drive().outstandingWrites.size(), 1u);
}

TEST(Execute, PowerEventAndQueuedRangesComeBeforeTheNextCommandInOrder) {
  AgentFixture h;
  h.mapRangeQueueWriter("CSZoneReset");
  h.mapRangeQueueWriter("CardamorInvalidateRanges");
  ASSERT_EQ(h.setupWith(), 0);
  ASSERT_NE(h.drive().csZoneReset, nullptr);
  ASSERT_NE(h.drive().invalidateRanges, nullptr);
  ASSERT_EQ(h.pass(10, 8), 0);  // 10..17 written

  h.drive().csZoneReset->push({10, 11});
  h.drive().csZoneReset->push({20, 29});
  // Another writer's range comes when sent and again when it landed (or turned round, failed).
  h.drive().invalidateRanges->push({14, 14});
  h.drive().invalidateRanges->push({16, 17});
  h.drive().invalidateRanges->push({15, 15});
  h.drive().invalidateRanges->push({14, 14});
  h.drive().invalidateRanges->push({16, 17});
  h.drive().invalidateRanges->push({16, 15});  // 15 failed: unknown
  *h.drive().epo = 1;
  const double before = h.drive().lastPowerEventMs;
  ASSERT_EQ(h.pass(100, 4), 0);

  EXPECT_EQ(*h.drive().epo, 0u);
  EXPECT_GT(h.drive().lastPowerEventMs, before);
  EXPECT_TRUE(h.drive().csZoneReset->empty());
  EXPECT_TRUE(h.drive().invalidateRanges->empty());
  // Power first, then the zone resets and invalidations (first, last), then the write (lba, id).
  using K = TraceEventKind;
  std::vector<std::tuple<K, uint64_t, uint64_t>> seen;
  const cardamor::CommandTrace& trace = *h.drive().commandTrace;
  for (uint64_t i = 1; i < trace.retainedCount(); ++i)  // after the first pass's write
    seen.emplace_back(trace.chronological(i).kind, trace.chronological(i).lba, trace.chronological(i).cmdId);
  EXPECT_EQ(seen, (std::vector<std::tuple<K, uint64_t, uint64_t>>{{K::PowerToggleOn, 0, 0},
                                                                  {K::ZoneReset, 10, 11},
                                                                  {K::ZoneReset, 20, 29},
                                                                  {K::InvalidateRange, 14, 14},
                                                                  {K::InvalidateRange, 16, 17},
                                                                  {K::InvalidateRange, 15, 15},
                                                                  {K::WriteIssued, 100, 2}}));
  // The history follows: reset blocks are unknown, invalidated ones keep their old content
  // marked, untouched ones are as written.
  const AtomicContext& history = h.drive().atomicContext;
  for (const auto& [lba, known, invalidated] : {std::tuple{11u, false, false}, {13u, true, false}, {14u, true, true},
                                                {15u, false, false}, {17u, true, true}}) {
    EXPECT_EQ(history.lookup(lba).blockNum != cardamor::INVALID_BUCKET, known) << lba;
    EXPECT_EQ(history.lookup(lba).invalidated, invalidated) << lba;
  }
}

}  // namespace
}  // namespace varnox::testing
