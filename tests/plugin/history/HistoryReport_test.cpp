#include "history/HistoryReport.h"

#include <gtest/gtest.h>

#include <memory>

#include "plugin/TestData.h"
#include "plugin/history/HistoryWalker.h"

namespace varnox::testing {
using namespace cardamor;
namespace {

using test::makeEvent;

AtomicContext::Event embedded(AtomicContext::Event e, uint64_t cmdId, uint64_t lba) {
  e.embedded = true;
  e.embeddedCmdId = cmdId;
  e.embeddedLba = lba;
  return e;
}

TEST(HistoryReportTest, PrintsEveryEventOfTheNodeNewestFirstWithTheObservedOneMarked) {
  auto node = std::make_shared<AtomicContext::Node>();
  auto hash = makeEvent(3, 7, 3, INVALID_BUCKET);
  hash.hashValue = 0xdeadbeef;
  node->history = {
      embedded(makeEvent(1, 42, 1, 0x1234), 42, 0x1003),
      makeEvent(4, 0, 0, INVALID_BUCKET),
      hash,
      makeEvent(5, 0, 0, INVALID_BUCKET),
      makeEvent(1, 3, 1, TRIM_BUCKET),
      embedded(makeEvent(2, UINT64_MAX, 2, 0x7ffff), UINT64_MAX, 0x123456789abcdef0),
      makeEvent(9, 9, 7, 0x80000),
  };
  node->observed = &node->history[0];
  ReadSnapshot snapshot{{0x1003, node}};

  expectGolden(historyReport(snapshot, 0x1003), "history/golden/history_report.txt");

  // Moving the mark moves the suffix; the report changes nothing in the snapshot.
  node->observed = &node->history[2];
  std::string report = historyReport(snapshot, 0x1003);
  EXPECT_NE(report.find("deadbeef          *observed*\n"), std::string::npos);
  EXPECT_EQ(report.find("*observed*"), report.rfind("*observed*"));
  EXPECT_EQ(node->observed, &node->history[2]);
}

TEST(HistoryReportTest, EmptyHistoryGivesTheHeadingOnlyAndAMissingNodeNothing) {
  ReadSnapshot snapshot{{0xabc, std::make_shared<AtomicContext::Node>()}};
  expectGolden(historyReport(snapshot, 0xabc), "history/golden/empty_history.txt");
  EXPECT_EQ(historyReport(snapshot, 0xabd), "");
  EXPECT_EQ(historyReport(ReadSnapshot{}, 0), "");
}

}  // namespace
}  // namespace varnox::testing
