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

// Key, code, qualifier, unit error code, valid bit and information as decoded from `sense`.
void expectDecoded(const std::vector<uint8_t>& sense, Kcq want, uint16_t wantUec, uint8_t wantValid,
                   uint64_t wantInformation) {
  Kcq kcq;
  ASSERT_EQ(0, SenseParser::getKey(sense.data(), sense.size(), kcq));
  ASSERT_EQ(0, SenseParser::getCode(sense.data(), sense.size(), kcq));
  ASSERT_EQ(0, SenseParser::getQual(sense.data(), sense.size(), kcq));
  EXPECT_EQ(want.key, kcq.key);
  EXPECT_EQ(want.code, kcq.code);
  EXPECT_EQ(want.qual, kcq.qual);
  uint16_t uec = 0;
  ASSERT_EQ(0, SenseParser::getUec(sense.data(), sense.size(), uec));
  EXPECT_EQ(wantUec, uec);
  uint8_t valid = 9;
  ASSERT_EQ(0, SenseParser::getValidBit(sense.data(), sense.size(), &valid));
  EXPECT_EQ(wantValid, valid);
  if (wantValid) {
    EXPECT_EQ(wantInformation, information(sense));
  }
}

TEST(SenseParserTest, FixedAndDescriptorFormatsDecodeTheSameFields) {
  SenseFields fields;
  fields.key = kSenseMediumError;
  fields.asc = 0x11;
  fields.ascq = 0x04;
  fields.hasInformation = true;
  fields.information = 0x00ABCDEF;
  fields.unitErrorCode = 0xBEEF;
  expectDecoded(fixedSense(fields), Kcq{0x03, 0x11, 0x04}, 0xBEEF, 1, 0x00ABCDEF);
  fields.hasInformation = false;
  expectDecoded(fixedSense(fields), Kcq{0x03, 0x11, 0x04}, 0xBEEF, 0, 0);

  // 0x72 header, key 04 (hardware error), 44/00; a vendor descriptor before the information one
  // so that the walk over descriptors matters.
  std::vector<uint8_t> sense = {0x72, 0x04, 0x44, 0x00, 0, 0, 0, 0,
                                0x80, 0x02, 0x12, 0x34,                            // unit error code
                                0x00, 0x0A, 0x80, 0x00, 0x00, 0x00, 0x00, 0x01,    // information, valid
                                0x23, 0x45, 0x67, 0x89};
  sense[7] = static_cast<uint8_t>(sense.size() - 8);
  expectDecoded(sense, Kcq{0x04, 0x44, 0x00}, 0x1234, 1, 0x0000000123456789ULL);

  // Without descriptors: key and codes still decode, the information field is absent.
  std::vector<uint8_t> bare = {0x72, 0x0B, 0x47, 0x01, 0, 0, 0, 0};
  Kcq kcq;
  uint16_t uec = 0;
  uint8_t valid = 9;
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
