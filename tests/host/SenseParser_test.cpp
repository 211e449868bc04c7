#include "tavik/SenseParser.h"

#include <gtest/gtest.h>

#include <vector>

#include "tavik/SenseBuilder.h"

namespace varnox {
namespace {

uint64_t information(const std::vector<uint8_t>& sense) {
  uint8_t bytes[8] = {};
  EXPECT_EQ(0, SenseParser::getInformationBytes(sense.data(), sense.size(), bytes));
  uint64_t value = 0;
  for (uint8_t b : bytes) value = (value << 8) | b;
  return value;
}

TEST(SenseParserTest, FixedFormatFieldsRoundTripFromTheBuilder) {
  SenseFields fields;
  fields.key = kSenseMediumError;
  fields.asc = 0x11;
  fields.ascq = 0x04;
  fields.hasInformation = true;
  fields.information = 0x00ABCDEF;
  fields.unitErrorCode = 0xBEEF;
  const std::vector<uint8_t> sense = fixedSense(fields);

  Kcq kcq;
  ASSERT_EQ(0, SenseParser::getKey(sense.data(), sense.size(), kcq));
  ASSERT_EQ(0, SenseParser::getCode(sense.data(), sense.size(), kcq));
  ASSERT_EQ(0, SenseParser::getQual(sense.data(), sense.size(), kcq));
  EXPECT_EQ(0x03, kcq.key);
  EXPECT_EQ(0x11, kcq.code);
  EXPECT_EQ(0x04, kcq.qual);
  uint16_t uec = 0;
  ASSERT_EQ(0, SenseParser::getUec(sense.data(), sense.size(), uec));
  EXPECT_EQ(0xBEEF, uec);
  uint8_t valid = 9;
  ASSERT_EQ(0, SenseParser::getValidBit(sense.data(), sense.size(), &valid));
  EXPECT_EQ(1, valid);
  EXPECT_EQ(0x00ABCDEFu, information(sense));

  fields.hasInformation = false;
  const std::vector<uint8_t> noInfo = fixedSense(fields);
  ASSERT_EQ(0, SenseParser::getValidBit(noInfo.data(), noInfo.size(), &valid));
  EXPECT_EQ(0, valid);
}

TEST(SenseParserTest, DescriptorFormatFindsInformationAndVendorDescriptors) {
  // 0x72 header, key 04 (hardware error), 44/00; a vendor descriptor before the information one
  // so that the walk over descriptors matters.
  std::vector<uint8_t> sense = {0x72, 0x04, 0x44, 0x00, 0, 0, 0, 0,
                                0x80, 0x02, 0x12, 0x34,                            // unit error code
                                0x00, 0x0A, 0x80, 0x00, 0x00, 0x00, 0x00, 0x01,    // information, valid
                                0x23, 0x45, 0x67, 0x89};
  sense[7] = static_cast<uint8_t>(sense.size() - 8);
  Kcq kcq;
  ASSERT_EQ(0, SenseParser::getKey(sense.data(), sense.size(), kcq));
  ASSERT_EQ(0, SenseParser::getCode(sense.data(), sense.size(), kcq));
  ASSERT_EQ(0, SenseParser::getQual(sense.data(), sense.size(), kcq));
  EXPECT_EQ(0x04, kcq.key);
  EXPECT_EQ(0x44, kcq.code);
  EXPECT_EQ(0x00, kcq.qual);
  uint16_t uec = 0;
  ASSERT_EQ(0, SenseParser::getUec(sense.data(), sense.size(), uec));
  EXPECT_EQ(0x1234, uec);
  uint8_t valid = 0;
  ASSERT_EQ(0, SenseParser::getValidBit(sense.data(), sense.size(), &valid));
  EXPECT_EQ(1, valid);
  EXPECT_EQ(0x0000000123456789ULL, information(sense));

  // Without descriptors: key and codes still decode, the information field is absent.
  std::vector<uint8_t> bare = {0x72, 0x0B, 0x47, 0x01, 0, 0, 0, 0};
  ASSERT_EQ(0, SenseParser::getKey(bare.data(), bare.size(), kcq));
  EXPECT_EQ(0x0B, kcq.key);
  ASSERT_EQ(0, SenseParser::getValidBit(bare.data(), bare.size(), &valid));
  EXPECT_EQ(0, valid);
  uint8_t bytes[8] = {7, 7, 7, 7, 7, 7, 7, 7};
  EXPECT_EQ(-1, SenseParser::getInformationBytes(bare.data(), bare.size(), bytes));
  EXPECT_EQ(7, bytes[0]);
  EXPECT_EQ(-1, SenseParser::getUec(bare.data(), bare.size(), uec));
}

TEST(SenseParserTest, ShortOrForeignBytesFailAndLeaveOutputsAlone) {
  Kcq kcq;
  kcq.key = 0x5A;
  kcq.code = 0x5B;
  const uint8_t notSense[20] = {0x12, 0x03};
  EXPECT_EQ(-1, SenseParser::getKey(notSense, sizeof(notSense), kcq));
  EXPECT_EQ(-1, SenseParser::getKey(nullptr, 0, kcq));
  const uint8_t shortFixed[8] = {0xF0, 0x00, 0x03, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, SenseParser::getKey(shortFixed, sizeof(shortFixed), kcq));
  EXPECT_EQ(0x03, kcq.key);
  EXPECT_EQ(-1, SenseParser::getCode(shortFixed, sizeof(shortFixed), kcq));
  EXPECT_EQ(0x5B, kcq.code);
  uint16_t uec = 0x7777;
  EXPECT_EQ(-1, SenseParser::getUec(shortFixed, sizeof(shortFixed), uec));
  EXPECT_EQ(0x7777, uec);
  // A descriptor whose length runs past the data is not read.
  const uint8_t cut[12] = {0x72, 0x03, 0x11, 0x00, 0, 0, 0, 12, 0x00, 0x0A, 0x80, 0x00};
  uint8_t bytes[8] = {};
  EXPECT_EQ(-1, SenseParser::getInformationBytes(cut, sizeof(cut), bytes));
}

}  // namespace
}  // namespace varnox
