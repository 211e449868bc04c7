// The execute pass: its one-shot setup step, power events, queued zone resets and
// invalidations. Its one failure line is checked with the write issue failures.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "drive/DriveData.h"
#include "plugin/issue/IssueHarness.h"
#include "trace/CommandTrace.h"

namespace varnox::testing {
using cardamor::AtomicContext;
namespace {

using cardamor::TraceEventKind;

std::vector<cardamor::TraceEntry> traceInOrder(cardamor::CommandTrace& trace) {
  std::vector<cardamor::TraceEntry> out;
  for (uint64_t i = 0; i < trace.retainedCount(); ++i) out.push_back(trace.chronological(i));
  return out;
}

TEST(Execute, DeferredSetupRunsOnceAndItsFailureEndsOnlyThatPass) {
  IssueHarness h;
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
  IssueHarness h;
  h.basic();
  h.mapRangeQueueWriter("CSZoneReset");
  h.mapRangeQueueWriter("CardamorInvalidateRanges");
  ASSERT_EQ(h.setup(), 0);
  ASSERT_NE(h.drive().csZoneReset, nullptr);
  ASSERT_NE(h.drive().invalidateRanges, nullptr);
  ASSERT_EQ(h.pass(10, 8), 0);  // 10..17 written

  h.drive().csZoneReset->push({10, 11});
  h.drive().csZoneReset->push({20, 29});
  h.drive().invalidateRanges->push({14, 14});
  h.drive().invalidateRanges->push({16, 17});
  *h.drive().epo = 1;
  const double before = h.drive().lastPowerEventMs;
  ASSERT_EQ(h.pass(100, 4), 0);

  EXPECT_EQ(*h.drive().epo, 0u);
  EXPECT_GT(h.drive().lastPowerEventMs, before);
  EXPECT_TRUE(h.drive().csZoneReset->empty());
  EXPECT_TRUE(h.drive().invalidateRanges->empty());
  // Power first, then the zone resets and invalidations (first-last), then the write (lba-id).
  std::string seen;
  for (const auto& entry : traceInOrder(*h.drive().commandTrace)) {
    if (entry.kind == TraceEventKind::WriteIssued && entry.lba == 10) continue;  // the first pass
    if (entry.kind == TraceEventKind::PowerToggleOn) {
      seen += "on ";
      continue;
    }
    seen += entry.kind == TraceEventKind::ZoneReset         ? "reset "
            : entry.kind == TraceEventKind::InvalidateRange ? "invalidate "
            : entry.kind == TraceEventKind::WriteIssued     ? "write "
                                                            : "other ";
    seen += std::to_string(entry.lba) + "-" + std::to_string(entry.cmdId) + " ";
  }
  EXPECT_EQ(seen, "on reset 10-11 reset 20-29 invalidate 14-14 invalidate 16-17 write 100-2 ");

  // The history follows: reset blocks are unknown, invalidated ones keep their old content
  // marked, untouched ones are as written.
  const AtomicContext& history = h.drive().atomicContext;
  EXPECT_EQ(history.lookup(11).blockNum, cardamor::INVALID_BUCKET);
  EXPECT_FALSE(history.lookup(11).invalidated);
  EXPECT_NE(history.lookup(14).blockNum, cardamor::INVALID_BUCKET);
  EXPECT_TRUE(history.lookup(14).invalidated);
  EXPECT_TRUE(history.lookup(17).invalidated);
  EXPECT_FALSE(history.lookup(13).invalidated);
  EXPECT_NE(history.lookup(13).blockNum, cardamor::INVALID_BUCKET);
}

}  // namespace
}  // namespace varnox::testing
