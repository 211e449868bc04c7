#include "trace/CommandTrace.h"

#include <gtest/gtest.h>

#include <tuple>

namespace varnox::testing {
using namespace cardamor;
namespace {

TEST(CommandTraceTest, IssueEventsSetTheWholeTagStateOthersTheKindOrNothing) {
  auto trace = CommandTrace::create(100);
  ASSERT_TRUE(trace);
  EXPECT_EQ(trace->lastCommand(3).kind, TraceEventKind::Empty);

  trace->recordWriteIssued(0x100, 8, 1, 10, 9);
  trace->recordWriteAtomicIssued(0x100, 8, 1, 11, 9);
  trace->recordWriteSameIssued(0x100, 8, 1, 12, 9);
  trace->recordTrimIssued(0x100, 8, 1, 13);
  trace->recordPreReadIssued(0x100, 8, 1, 14);
  trace->recordReadIssued(0x100, 8, 1, 15, 9, true);
  trace->recordVerifyIssued(0x100, 8, 1, 16, 9, false);
  using K = TraceEventKind;
  const K kinds[] = {K::WriteIssued,   K::WriteAtomicIssued, K::WriteSameIssued, K::TrimIssued,
                     K::PreReadIssued, K::ReadIssued,        K::VerifyIssued};
  for (uint32_t i = 0; i < 7; ++i) {
    const TagState s = trace->lastCommand(10 + i);
    EXPECT_EQ(std::tuple(s.kind, s.lba, s.xferLength), std::tuple(kinds[i], 0x100u, 8u)) << i;
  }

  // Completion and abort events change only the kind, whatever lba they carry.
  trace->recordWriteIssued(0x200, 16, 2, 1023, 4);
  trace->recordWriteFinished(0x999, 1, 2, 1023, 0, Kcq{});
  EXPECT_EQ(trace->lastCommand(1023).kind, TraceEventKind::WriteFinished);
  EXPECT_EQ(trace->lastCommand(1023).lba, 0x200u);
  EXPECT_EQ(trace->lastCommand(1023).xferLength, 16u);
  trace->recordSyncCacheIssued(1023);
  EXPECT_EQ(trace->lastCommand(1023).kind, TraceEventKind::SyncCacheIssued);
  EXPECT_EQ(trace->lastCommand(1023).lba, 0x200u);

  // Events that are not a command's own step leave every tag alone.
  trace->recordReadIssued(0x300, 4, 3, 0, 1, false);
  trace->recordMiscompare(0x300, 1, 2, 3, false);
  trace->recordWriteSplice(0x301, 2, 3, 0, 0x10, Kcq{3, 0x11, 0});
  trace->recordRecvOutOfOrder(3, 0, 1);
  trace->recordPowerToggleOff();
  trace->recordPowerToggleOn();
  trace->recordInvalidateRange(0x300, 0x3FF);
  trace->recordZoneReset(0, 0xFFFF);
  const TagState s = trace->lastCommand(0);
  EXPECT_EQ(s.kind, TraceEventKind::ReadIssued);
  EXPECT_EQ(s.lba, 0x300u);
  EXPECT_EQ(s.xferLength, 4u);
}

// Release builds trace an event with a tag out of range but keep the per-tag table in bounds,
// and drop events when there is no slot at all.
TEST(CommandTraceTest, OutOfRangeTagsAndAnEmptyRingStayInBounds) {
  auto trace = CommandTrace::create(10);
  auto empty = CommandTrace::create(0);
  EXPECT_DEBUG_DEATH(trace->recordWriteIssued(0x10, 1, 1, MAX_QUEUE_DEPTH, 0), "tag_id < MAX_QUEUE_DEPTH");
  EXPECT_DEBUG_DEATH(empty->recordZoneReset(0, 1), "trace_idx < trace_queue_size");
#ifdef NDEBUG
  EXPECT_EQ(trace->chronological(0).tag, MAX_QUEUE_DEPTH);
  EXPECT_EQ(trace->lastCommand(MAX_QUEUE_DEPTH).kind, TraceEventKind::Empty);
  EXPECT_EQ(empty->trace_count(), 0u);
#endif
}

}  // namespace
}  // namespace varnox::testing
