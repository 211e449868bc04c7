#include "varnox/EventLog.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>

#include "varnox/Errors.h"

namespace varnox {
namespace {

TEST(EventLogTest, LinesCarryTimeDriveLevelAndTextInMemoryAndSink) {
  char* text = nullptr;
  size_t size = 0;
  FILE* file = open_memstream(&text, &size);
  ASSERT_NE(nullptr, file);
  {
    auto sink = std::make_shared<LogSink>(nullptr, file);
    EventLog log("D3", sink);
    log.logf(2, "doAWrite(): %s (%d)", EventLog::errStr(-1046), -1046);
    log.log(1, "deprecated option\n");
    log.log(0, "info");
    EXPECT_EQ((std::vector<std::string>{"doAWrite(): Data miscompare (-1046)", "deprecated option", "info"}),
              log.texts());
    EXPECT_EQ(1u, log.countAtLevel(2));
    EXPECT_EQ(1u, log.countAtLevel(0));
    EXPECT_TRUE(std::regex_match(log.format(log.lines()[0]),
                                 std::regex(R"(\d\d:\d\d:\d\d\.\d\d\d D3 E doAWrite\(\): Data miscompare \(-1046\))")));
  }
  std::fclose(file);
  const std::string written(text, size);
  std::free(text);
  EXPECT_TRUE(std::regex_search(written, std::regex(R"(D3 W deprecated option\n.* D3 I info\n$)"))) << written;
}

TEST(EventLogTest, EveryHostErrorNumberHasItsOwnText) {
  const int codes[] = {VARNOX_OK, VARNOX_ERR_GENERIC, VARNOX_ERR_NO_MEMORY, VARNOX_ERR_HISTORY_ENTRY_MISSING,
                       VARNOX_ERR_HISTORY_EVENT_MISSING, VARNOX_ERR_QUEUE_SIZE_ORDER, VARNOX_ERR_BAD_VALUE,
                       VARNOX_ERR_UNKNOWN_KEY, VARNOX_ERR_DUPLICATE, VARNOX_ERR_TYPE_MISMATCH, VARNOX_ERR_NO_RECORD,
                       VARNOX_ERR_DEVICE, VARNOX_ERR_NOT_SUPPORTED, VARNOX_ERR_READ_DATA, VARNOX_ERR_CONFIG_MISSING,
                       VARNOX_ERR_MISCOMPARE, VARNOX_ERR_COMMAND_CHOICE, VARNOX_ERR_DUMP_FILE, VARNOX_ERR_NO_DEVICE,
                       VARNOX_ERR_USER_PATTERN, VARNOX_ERR_BLOCK_OFFSET, VARNOX_ERR_WRITE_SPLICE_DETECTED,
                       VARNOX_ERR_ATOMIC_ORDERING, VARNOX_ERR_INTERNAL};
  std::set<std::string> texts;
  for (int code : codes) texts.insert(EventLog::errStr(code));
  EXPECT_EQ(std::size(codes), texts.size());
  EXPECT_STREQ("Data miscompare", EventLog::errStr(-1046));
  EXPECT_STREQ("Unknown error -4242", EventLog::errStr(-4242));
}

}  // namespace
}  // namespace varnox
