#include "tavik/SenseParser.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "tavik/SenseBuilder.h"

namespace varnox {
namespace {

// Key, code, qualifier, unit error code, valid bit and information as decoded from `s`; a getter
// that fails gives ~0 in its place.
std::tuple<int, int, int, int, int, uint64_t> decoded(const std::vector<uint8_t>& s) {
  Kcq kcq;
  uint16_t uec = 0;
  uint8_t valid = 9, bytes[8] = {};
  const int failed = SenseParser::getKey(s.data(), s.size(), kcq) | SenseParser::getCode(s.data(), s.size(), kcq) |
                     SenseParser::getQual(s.data(), s.size(), kcq) | SenseParser::getValidBit(s.data(), s.size(), &valid);
  EXPECT_EQ(failed, 0);
  const bool hasInformation = SenseParser::getInformationBytes(s.data(), s.size(), bytes) == 0;
  uint64_t information = 0;
  for (uint8_t b : bytes) information = information << 8 | b;
  return {kcq.key, kcq.code, kcq.qual, SenseParser::getUec(s.data(), s.size(), uec) == 0 ? uec : ~0, valid,
          hasInformation ? information : ~0ull};
}

TEST(SenseParserTest, FixedAndDescriptorFormatsDecodeTheSameFields) {
  SenseFields fields{kSenseMediumError, 0x11, 0x04, true, 0x00ABCDEF, 0xBEEF};
  EXPECT_EQ(decoded(fixedSense(fields)), std::make_tuple(3, 0x11, 0x04, 0xBEEF, 1, 0x00ABCDEFull));
  fields.hasInformation = false;
  EXPECT_EQ(decoded(fixedSense(fields)), std::make_tuple(3, 0x11, 0x04, 0xBEEF, 0, 0ull));

  // 0x72 header, key 04 (hardware error), 44/00; a vendor descriptor before the information one
  // so that the walk over descriptors matters.
  std::vector<uint8_t> sense = {0x72, 0x04, 0x44, 0x00, 0, 0, 0, 16,
                                0x80, 0x02, 0x12, 0x34,                          // unit error code
                                0x00, 0x0A, 0x80, 0x00, 0x00, 0x00, 0x00, 0x01,  // information, valid
                                0x23, 0x45, 0x67, 0x89};
  EXPECT_EQ(decoded(sense), std::make_tuple(4, 0x44, 0x00, 0x1234, 1, 0x0000000123456789ull));
  // Without descriptors: key and codes still decode, the information field and the unit error
  // code are absent.
  EXPECT_EQ(decoded({0x72, 0x0B, 0x47, 0x01, 0, 0, 0, 0}), std::make_tuple(0x0B, 0x47, 0x01, ~0, 0, ~0ull));
}

TEST(SenseParserTest, ShortOrForeignBytesFailAndLeaveOutputsAlone) {
  Kcq kcq{0x5A, 0x5B, 0};
  const uint8_t notSense[20] = {0x12, 0x03};
  EXPECT_EQ(-1, SenseParser::getKey(notSense, sizeof(notSense), kcq));
  EXPECT_EQ(-1, SenseParser::getKey(nullptr, 0, kcq));
  const uint8_t shortFixed[8] = {0xF0, 0x00, 0x03, 0, 0, 0, 0, 0};
  EXPECT_EQ(0, SenseParser::getKey(shortFixed, sizeof(shortFixed), kcq));
  EXPECT_EQ(-1, SenseParser::getCode(shortFixed, sizeof(shortFixed), kcq));
  EXPECT_EQ(kcq.key, 0x03);
  EXPECT_EQ(kcq.code, 0x5B);
  uint16_t uec = 0x7777;
  EXPECT_EQ(-1, SenseParser::getUec(shortFixed, sizeof(shortFixed), uec));
  EXPECT_EQ(0x7777, uec);
  // A descriptor whose length runs past the data is not read.
  const uint8_t cut[12] = {0x72, 0x03, 0x11, 0x00, 0, 0, 0, 12, 0x00, 0x0A, 0x80, 0x00};
  uint8_t bytes[8] = {7, 7, 7, 7, 7, 7, 7, 7};
  EXPECT_EQ(-1, SenseParser::getInformationBytes(cut, sizeof(cut), bytes));
  EXPECT_EQ(bytes[0], 7);
}

}  // namespace
}  // namespace varnox
