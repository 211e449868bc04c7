#include "trace/CommandTrace.h"

#include <gtest/gtest.h>

#include "varnox/Clock.h"

namespace varnox::testing {
using namespace cardamor;
namespace {

// The slot count that "Trace Depth" and "Max Queue Size" give is checked through setup.
TEST(CommandTraceTest, RingWrapsAndKeepsChronologicalOrder) {
  auto trace = CommandTrace::create(2000);
  ASSERT_TRUE(trace);
  EXPECT_EQ(trace->retainedCount(), 0u);

  for (uint64_t id = 1; id <= 3; ++id) trace->recordWriteIssued(id * 8, 8, id, 0, 0);
  EXPECT_EQ(trace->retainedCount(), 3u);
  EXPECT_EQ(trace->chronological(0).cmdId, 1u);
  EXPECT_EQ(trace->chronological(2).cmdId, 3u);

  for (uint64_t id = 4; id <= 2000; ++id) trace->recordWriteIssued(id * 8, 8, id, 0, 0);
  EXPECT_EQ(trace->trace_idx(), 0u);
  EXPECT_EQ(trace->trace_count(), 2000u);
  EXPECT_EQ(trace->chronological(0).cmdId, 1u);
  EXPECT_EQ(trace->chronological(1999).cmdId, 2000u);

  trace->recordReadIssued(0x40, 1, 2001, 1, 7, false);
  EXPECT_EQ(trace->trace_idx(), 1u);
  EXPECT_EQ(trace->trace_count(), 2001u);
  EXPECT_EQ(trace->retainedCount(), 2000u);
  EXPECT_EQ(trace->entry(0).cmdId, 2001u);
  EXPECT_EQ(trace->chronological(0).cmdId, 2u);  // the oldest survivor sits in slot 1
  EXPECT_EQ(trace->chronological(1998).cmdId, 2000u);
  EXPECT_EQ(trace->chronological(1999).cmdId, 2001u);
  EXPECT_EQ(trace->chronological(1999).kind, TraceEventKind::ReadIssued);
}

TEST(CommandTraceTest, IssueEventsSetTheWholeTagStateOthersTheKindOrNothing) {
  auto trace = CommandTrace::create(100);
  ASSERT_TRUE(trace);
  EXPECT_EQ(trace->lastCommand(3).kind, TraceEventKind::Empty);

  struct Issue {
    TraceEventKind kind;
    void (*record)(CommandTrace&, uint32_t tag);
  };
  const Issue issues[] = {
      {TraceEventKind::WriteIssued, [](CommandTrace& t, uint32_t tag) { t.recordWriteIssued(0x100, 8, 1, tag, 9); }},
      {TraceEventKind::WriteAtomicIssued,
       [](CommandTrace& t, uint32_t tag) { t.recordWriteAtomicIssued(0x100, 8, 1, tag, 9); }},
      {TraceEventKind::WriteSameIssued,
       [](CommandTrace& t, uint32_t tag) { t.recordWriteSameIssued(0x100, 8, 1, tag, 9); }},
      {TraceEventKind::TrimIssued, [](CommandTrace& t, uint32_t tag) { t.recordTrimIssued(0x100, 8, 1, tag); }},
      {TraceEventKind::PreReadIssued, [](CommandTrace& t, uint32_t tag) { t.recordPreReadIssued(0x100, 8, 1, tag); }},
      {TraceEventKind::ReadIssued, [](CommandTrace& t, uint32_t tag) { t.recordReadIssued(0x100, 8, 1, tag, 9, true); }},
      {TraceEventKind::VerifyIssued,
       [](CommandTrace& t, uint32_t tag) { t.recordVerifyIssued(0x100, 8, 1, tag, 9, false); }},
  };
  uint32_t tag = 10;
  for (const Issue& issue : issues) {
    issue.record(*trace, tag);
    const TagState s = trace->lastCommand(tag);
    EXPECT_EQ(s.kind, issue.kind) << "tag " << tag;
    EXPECT_EQ(s.lba, 0x100u);
    EXPECT_EQ(s.xferLength, 8u);
    ++tag;
  }

  // Completion and abort events change only the kind, whatever lba they carry.
  trace->recordWriteIssued(0x200, 16, 2, 1023, 4);
  trace->recordWriteFinished(0x999, 1, 2, 1023, 0, Kcq{});
  EXPECT_EQ(trace->lastCommand(1023).kind, TraceEventKind::WriteFinished);
  EXPECT_EQ(trace->lastCommand(1023).lba, 0x200u);
  EXPECT_EQ(trace->lastCommand(1023).xferLength, 16u);
  trace->recordReadAborted(0x999, 1, 2, 1023);
  EXPECT_EQ(trace->lastCommand(1023).kind, TraceEventKind::ReadAborted);
  trace->recordVerifyFinished(0x999, 1, 2, 1023, 0, Kcq{});
  EXPECT_EQ(trace->lastCommand(1023).kind, TraceEventKind::VerifyFinished);
  trace->recordSyncCacheIssued(1023);
  EXPECT_EQ(trace->lastCommand(1023).kind, TraceEventKind::SyncCacheIssued);
  trace->recordSyncCacheFinished(1023, 0, Kcq{});
  EXPECT_EQ(trace->lastCommand(1023).kind, TraceEventKind::SyncCacheFinished);
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

// Where the other kinds keep their fields is shown by the golden dumps; a read's UEC and the
// power tick are not, the first being zero there and the second masked.
TEST(CommandTraceTest, ReadUecAndPowerTickAreStored) {
  auto trace = CommandTrace::create(2000);
  ASSERT_TRUE(trace);
  trace->recordReadFinished(0x10, 2, 43, 5, 0xBEEF, Kcq{3, 0x11, 1});
  const uint32_t before = tickCountMs();
  trace->recordPowerToggleOff();
  const uint32_t after = tickCountMs();

  const TraceEntry& done = trace->chronological(0);
  EXPECT_EQ(done.bucket & 0xFFFFu, 0xBEEFu);
  EXPECT_EQ(done.kcq.key, 3);
  EXPECT_EQ(done.kcq.code, 0x11);
  EXPECT_EQ(done.kcq.qual, 1);

  const TraceEntry& off = trace->chronological(1);
  EXPECT_EQ(off.kind, TraceEventKind::PowerToggleOff);
  EXPECT_LE(off.tag - before, after - before);  // modular: stays right across a tick wrap
}

TEST(CommandTraceTest, CallerPreconditionsAreCheckedInDebugBuilds) {
  auto trace = CommandTrace::create(10);
  ASSERT_TRUE(trace);
  EXPECT_DEBUG_DEATH(trace->recordWriteIssued(0x10, 1, 1, MAX_QUEUE_DEPTH, 0), "tag_id < MAX_QUEUE_DEPTH && tag_id >= 0");
  auto empty = CommandTrace::create(0);
  ASSERT_TRUE(empty);
  EXPECT_DEBUG_DEATH(empty->recordZoneReset(0, 1), "trace_idx < trace_queue_size");
#ifdef NDEBUG
  // Release builds trace the event but keep the per-tag table in bounds, and drop events
  // when there is no slot at all.
  EXPECT_EQ(trace->trace_count(), 1u);
  EXPECT_EQ(trace->chronological(0).tag, MAX_QUEUE_DEPTH);
  EXPECT_EQ(trace->lastCommand(MAX_QUEUE_DEPTH).kind, TraceEventKind::Empty);
  EXPECT_EQ(empty->trace_count(), 0u);
#endif
}

}  // namespace
}  // namespace varnox::testing
