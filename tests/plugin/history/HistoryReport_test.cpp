#include "history/HistoryReport.h"

#include <gtest/gtest.h>

#include <memory>

namespace varnox::testing {
using namespace cardamor;
namespace {

using Event = AtomicContext::Event;

Event event(uint8_t eventType, uint64_t cmdId, uint32_t blockType, uint32_t blockNum) {
  Event e;
  e.eventType = eventType;
  e.cmdId = cmdId;
  e.blockType = blockType;
  e.blockNum = blockNum;
  return e;
}

Event embedded(Event e, uint64_t cmdId, uint64_t lba) {
  e.embedded = true;
  e.embeddedCmdId = cmdId;
  e.embeddedLba = lba;
  return e;
}

const char* const kHeading =
    "EventType   CmdID       BlockType  BlockNum  EmbedCmdID    EmbedLBA          HashValue       \n"
    "---------------------------------------------------------------------------------------------\n";

TEST(HistoryReportTest, PrintsEveryEventOfTheNodeNewestFirstWithTheObservedOneMarked) {
  auto node = std::make_shared<AtomicContext::Node>();
  Event hash = event(3, 7, 3, INVALID_BUCKET);
  hash.hashValue = 0xdeadbeef;
  node->history = {
      embedded(event(1, 42, 1, 0x1234), 42, 0x1003),
      event(4, 0, 0, INVALID_BUCKET),
      hash,
      event(5, 0, 0, INVALID_BUCKET),
      event(1, 3, 1, TRIM_BUCKET),
      embedded(event(2, UINT64_MAX, 2, 0x7ffff), UINT64_MAX, 0x123456789abcdef0),
      event(9, 9, 7, 0x80000),
  };
  node->observed = &node->history[0];
  ReadSnapshot snapshot{{0x1003, node}};

  EXPECT_EQ(
      historyReport(snapshot, 0x1003),
      std::string("Context History for lba 0x1003:\n") + kHeading +
          "write       42          normal     1234      2a            1003              ---               "
          "*observed*\n"
          "invalidate  0           unknown    INVALID   ---           ---               ---             \n"
          "hash        7           hash       INVALID   ---           ---               deadbeef        \n"
          "?           0           unknown    INVALID   ---           ---               ---             \n"
          "write       3           normal     ZERO      ---           ---               ---             \n"
          "atomic      18446744073709551615  atomic     7ffff     ffffffffffffffff  123456789abcdef0  "
          "---             \n"
          "?           9           ?          INVALID   ---           ---               ---             \n");

  // Moving the mark moves the suffix; the report changes nothing in the snapshot.
  node->observed = &node->history[2];
  std::string report = historyReport(snapshot, 0x1003);
  EXPECT_NE(report.find("deadbeef          *observed*\n"), std::string::npos);
  EXPECT_EQ(report.find("*observed*"), report.rfind("*observed*"));
  EXPECT_EQ(node->observed, &node->history[2]);
}

TEST(HistoryReportTest, EmptyHistoryGivesTheHeadingOnlyAndAMissingNodeNothing) {
  ReadSnapshot snapshot{{0xabc, std::make_shared<AtomicContext::Node>()}};
  EXPECT_EQ(historyReport(snapshot, 0xabc), std::string("Context History for lba 0xabc:\n") + kHeading);
  EXPECT_EQ(historyReport(snapshot, 0xabd), "");
  EXPECT_EQ(historyReport(ReadSnapshot{}, 0), "");
}

}  // namespace
}  // namespace varnox::testing
