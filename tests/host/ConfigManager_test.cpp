#include "varnox/ConfigManager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "varnox/ConditionNames.h"
#include "varnox/Errors.h"

namespace varnox {
namespace {

struct Record {
  uint32_t minQueue = 2048;
  uint32_t seed = 0;
  bool embed = true;
  bool cold = false;
  std::string path = "./datacompare";
  Buffer data;
  Condition read;
  Condition write;
};

class ConfigManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, manager.registerConfigData(&record, sizeof(record)));
    ASSERT_EQ(0, manager.addU32("Min Queue Size", &record.minQueue, 1, 1000000, "min help"));
    ASSERT_EQ(0, manager.addU32("Random Seed", &record.seed, 0, 0xFFFFFFFF, "seed help"));
    ASSERT_EQ(0, manager.addBool("Embed Data", &record.embed, "embed help"));
    ASSERT_EQ(0, manager.addBool("Cold Storage", &record.cold, "cold help"));
    ASSERT_EQ(0, manager.deprecate("Cold Storage", "Cold Storage is ignored"));
    ASSERT_EQ(0, manager.addString("Miscompare Output Path", &record.path, "path help"));
    ASSERT_EQ(0, manager.addBuffer("Data Buffer", &record.data, "data help"));
    ASSERT_EQ(0, manager.addCondition("Read Condition", &record.read, "read help"));
    ASSERT_EQ(0, manager.addCondition("Write Condition", &record.write, "write help"));
    manager.setConditionResolver(&ConditionNames::resolve, &names);
  }

  int set(const std::string& key, const std::string& value) { return manager.setFromText(key, value, error); }

  Record record;
  ConfigManager manager;
  ConditionNames names;
  std::string error;
};

TEST_F(ConfigManagerTest, RegistryKeepsDefaultsHelpAndRefusesDuplicates) {
  // The defaults are what the record held when its keys were added; limits, help and deprecation
  // texts are checked where they take effect.
  ASSERT_NE(nullptr, manager.find("Min Queue Size"));
  EXPECT_EQ(2048u, manager.find("Min Queue Size")->defaultU32);
  EXPECT_TRUE(manager.find("Embed Data")->defaultBool);
  EXPECT_EQ("./datacompare", manager.find("Miscompare Output Path")->defaultText);
  EXPECT_EQ(nullptr, manager.find("Max Queue Size"));

  uint32_t other = 0;
  EXPECT_EQ(VARNOX_ERR_DUPLICATE, manager.addU32("Min Queue Size", &other, 0, 1, ""));
  EXPECT_EQ(VARNOX_ERR_BAD_VALUE, manager.addU32("Backwards", &other, 5, 1, ""));
  EXPECT_EQ(VARNOX_ERR_UNKNOWN_KEY, manager.deprecate("No Such Key", "x"));
  EXPECT_EQ(VARNOX_ERR_DUPLICATE, manager.registerConfigData(&other, sizeof(other)));
  EXPECT_EQ(8u, manager.keys().size());
}

TEST_F(ConfigManagerTest, NumbersAreRangeCheckedWithMessagesNamingKeyAndValue) {
  // Beyond 32 bits must not wrap into range; a refused value leaves the record alone.
  const std::pair<const char*, const char*> refused[] = {
      {"0", "\"Min Queue Size\": value \"0\" is out of range 1..1000000"},
      {"1000001", "\"Min Queue Size\": value \"1000001\" is out of range 1..1000000"},
      {"12abc", "\"Min Queue Size\": value \"12abc\" is not a number"},
      {"-5", "\"-5\""},
      {"", "\"Min Queue Size\""},
      {"4294967296", "\"4294967296\""},
  };
  for (const auto& [value, message] : refused) {
    EXPECT_EQ(VARNOX_ERR_BAD_VALUE, set("Min Queue Size", value)) << value;
    EXPECT_NE(std::string::npos, error.find(message)) << error;
    EXPECT_EQ(2048u, record.minQueue);
  }
  set("Min Queue Size", "0");
  EXPECT_EQ("\"Min Queue Size\": value \"0\" is out of range 1..1000000", error);  // the whole line
  EXPECT_EQ(VARNOX_ERR_BAD_VALUE, set("Random Seed", "4294967296"));

  EXPECT_EQ(0, set("Min Queue Size", " 1000000 "));
  EXPECT_EQ(1000000u, record.minQueue);
  EXPECT_EQ(0, set("Random Seed", "0xFFFFFFFF"));
  EXPECT_EQ(0xFFFFFFFFu, record.seed);
}

TEST_F(ConfigManagerTest, BoolsTextAndBuffersParseOrExplain) {
  for (const auto& [text, value] : {std::pair{"off", false}, {"TRUE", true}, {"0", false}, {"yes", true}}) {
    EXPECT_EQ(0, set("Embed Data", text));
    EXPECT_EQ(value, record.embed) << text;
  }
  EXPECT_EQ(VARNOX_ERR_BAD_VALUE, set("Embed Data", "maybe"));
  EXPECT_NE(std::string::npos, error.find("\"Embed Data\": value \"maybe\" is not a boolean"));
  EXPECT_TRUE(record.embed);

  EXPECT_EQ(0, set("Miscompare Output Path", "/tmp/out/run 1"));
  EXPECT_EQ("/tmp/out/run 1", record.path);
  EXPECT_EQ(0, set("Data Buffer", "ABCD"));
  ASSERT_EQ(4u, record.data.size);
  EXPECT_TRUE(record.data.ownsData);
  EXPECT_EQ(0, std::memcmp(record.data.data, "ABCD", 4));

  EXPECT_EQ(VARNOX_ERR_UNKNOWN_KEY, set("Min Queue Sise", "5"));
  EXPECT_NE(std::string::npos, error.find("\"Min Queue Sise\""));
}

TEST_F(ConfigManagerTest, ConditionsShareBitsWithTheFlowAndReportDeprecations) {
  const uint64_t readBit = names.bitFor("read");  // the flow's guard named it first
  EXPECT_EQ(0, set("Read Condition", "read"));
  EXPECT_EQ(readBit, record.read.anyBits);
  EXPECT_EQ(0u, record.read.allBits);

  EXPECT_EQ(0, set("Write Condition", "write & e2e & !slow"));
  const uint64_t writeBit = names.find("write"), e2eBit = names.find("e2e");
  EXPECT_EQ(std::set({readBit, writeBit, e2eBit, names.find("slow"), uint64_t{0}}).size(), 5u) << "bits of their own";
  EXPECT_EQ(writeBit | e2eBit, record.write.allBits);
  EXPECT_EQ(names.find("slow"), record.write.noneBits);
  EXPECT_EQ(0u, record.write.anyBits);

  EXPECT_EQ(VARNOX_ERR_BAD_VALUE, set("Write Condition", "write|trim&e2e"));
  EXPECT_NE(std::string::npos, error.find("\"Write Condition\": value \"write|trim&e2e\""));
  EXPECT_EQ(VARNOX_ERR_BAD_VALUE, set("Write Condition", "write||trim"));
  EXPECT_EQ(0, set("Write Condition", ""));
  EXPECT_FALSE(record.write.isSet());

  EXPECT_TRUE(manager.deprecationNotices().empty());
  EXPECT_EQ(0, set("Cold Storage", "true"));
  ASSERT_EQ(1u, manager.deprecationNotices().size());
  EXPECT_EQ("Cold Storage is ignored", manager.deprecationNotices()[0]);
}

TEST(ConditionNamesTest, SixtyFourNamesAtMost) {
  ConditionNames names;
  for (int i = 0; i < 64; ++i) EXPECT_EQ(1ULL << i, names.bitFor("c" + std::to_string(i)));
  EXPECT_EQ(1ULL << 5, names.bitFor("c5"));
  EXPECT_EQ(0u, names.bitFor("one-too-many"));
  Condition c;
  std::string why;
  EXPECT_EQ(VARNOX_ERR_BAD_VALUE, parseConditionText("c1|one-too-many", &ConditionNames::resolve, &names, c, why));
  EXPECT_NE(std::string::npos, why.find("one-too-many"));
}

}  // namespace
}  // namespace varnox
