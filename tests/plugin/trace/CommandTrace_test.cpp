#include "trace/CommandTrace.h"

#include <gtest/gtest.h>

namespace varnox::testing {
using namespace cardamor;
namespace {

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
