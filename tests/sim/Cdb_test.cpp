#include "tavik/Cdb.h"

#include <gtest/gtest.h>

#include <vector>

#include "tavik/SenseBuilder.h"
#include "tavik/SenseParser.h"

namespace varnox {
namespace {

TEST(Cdb, SixteenByteCommandsRoundTripThroughTheParser) {
  uint8_t cdb[kCdbMaxBytes];
  ParsedCdb p;

  ASSERT_EQ(buildRead16(cdb, 0x0102030405060708ull, 0x11223344, 3, true), 16u);
  // The wire layout real targets expect: opcode, RDPROTECT in the top bits, big-endian fields.
  EXPECT_EQ(cdb[0], 0x88);
  EXPECT_EQ(cdb[1], 0x68);
  EXPECT_EQ(cdb[2], 0x01);
  EXPECT_EQ(cdb[9], 0x08);
  EXPECT_EQ(cdb[10], 0x11);
  EXPECT_EQ(cdb[13], 0x44);
  ASSERT_EQ(parseCdb(cdb, 16, p), 0);
  EXPECT_TRUE(p.known);
  EXPECT_EQ(p.opcode, kOpRead16);
  EXPECT_EQ(p.lba, 0x0102030405060708ull);
  EXPECT_EQ(p.blocks, 0x11223344u);
  EXPECT_EQ(p.protect, 3);
  EXPECT_EQ(p.flags, kCdbFua);

  buildWrite16(cdb, 77, 8, 1);
  ASSERT_EQ(parseCdb(cdb, 16, p), 0);
  EXPECT_EQ(p.opcode, kOpWrite16);
  EXPECT_EQ(p.lba, 77u);
  EXPECT_EQ(p.blocks, 8u);
  EXPECT_EQ(p.protect, 1);
  EXPECT_EQ(p.flags, 0u);

  buildVerify16(cdb, 5, 9, kBytchkSame, 2);
  ASSERT_EQ(parseCdb(cdb, 16, p), 0);
  EXPECT_EQ(p.opcode, kOpVerify16);
  EXPECT_EQ(p.bytchk, kBytchkSame);
  EXPECT_EQ(p.protect, 2);
  EXPECT_EQ(p.blocks, 9u);

  buildWriteSame16(cdb, 1000, 64, true);
  ASSERT_EQ(parseCdb(cdb, 16, p), 0);
  EXPECT_EQ(p.opcode, kOpWriteSame16);
  EXPECT_EQ(p.flags, kCdbUnmap);
  EXPECT_EQ(p.blocks, 64u);

  // WRITE ATOMIC keeps its boundary and its 16-bit length in bytes 10-13.
  buildWriteAtomic16(cdb, 4096, 0x1234, 4, 0, true);
  EXPECT_EQ(cdb[0], 0x9C);
  EXPECT_EQ(cdb[11], 4);
  EXPECT_EQ(cdb[12], 0x12);
  ASSERT_EQ(parseCdb(cdb, 16, p), 0);
  EXPECT_EQ(p.lba, 4096u);
  EXPECT_EQ(p.blocks, 0x1234u);
  EXPECT_EQ(p.atomicBoundary, 4);
  EXPECT_EQ(p.flags, kCdbFua);

  buildSynchronizeCache16(cdb, 10, 20, true);
  ASSERT_EQ(parseCdb(cdb, 16, p), 0);
  EXPECT_EQ(p.opcode, kOpSynchronizeCache16);
  EXPECT_EQ(p.flags, kCdbImmed);
  EXPECT_EQ(p.lba, 10u);
  EXPECT_EQ(p.blocks, 20u);
}

TEST(Cdb, UnmapListRoundTripsAndBadListsAreRefused) {
  const UnmapRange ranges[] = {{100, 8}, {0xFFFFFFFF00ull, 1}};
  std::vector<uint8_t> list(unmapParameterListBytes(2));
  ASSERT_EQ(buildUnmapParameterList(list.data(), list.size(), ranges, 2), 40u);
  EXPECT_EQ(buildUnmapParameterList(list.data(), list.size() - 1, ranges, 2), 0u);
  ASSERT_EQ(unmapDescriptorCount(list.data(), list.size()), 2);
  EXPECT_EQ(unmapDescriptor(list.data(), 1).lba, 0xFFFFFFFF00ull);
  EXPECT_EQ(unmapDescriptor(list.data(), 0).blocks, 8u);
  // A list cut short of what its header announces is unusable.
  EXPECT_EQ(unmapDescriptorCount(list.data(), 39), -1);
  EXPECT_EQ(unmapDescriptorCount(list.data(), 7), -1);

  uint8_t cdb[kCdbMaxBytes];
  ASSERT_EQ(buildUnmap10(cdb, 40), 10u);
  ParsedCdb p;
  ASSERT_EQ(parseCdb(cdb, 10, p), 0);
  EXPECT_EQ(p.opcode, kOpUnmap);
  EXPECT_EQ(p.parameterListBytes, 40);
  EXPECT_EQ(parseCdb(cdb, 9, p), -1);
}

TEST(Cdb, UnknownOpcodesParseAsUnknownAndShortCdbsFail) {
  uint8_t cdb[kCdbMaxBytes] = {0x28};  // READ(10)
  ParsedCdb p;
  ASSERT_EQ(parseCdb(cdb, 10, p), 0);
  EXPECT_FALSE(p.known);
  EXPECT_EQ(p.opcode, 0x28);
  EXPECT_EQ(p.length, 10u);
  buildRead16(cdb, 1, 1);
  EXPECT_EQ(parseCdb(cdb, 15, p), -1);
  EXPECT_EQ(parseCdb(cdb, 0, p), -1);
}

TEST(SenseBuilder, FixedSenseDecodesWithTheLibraryParser) {
  SenseFields f;
  f.key = kSenseMediumError;
  f.asc = 0x11;
  f.ascq = 0x04;
  f.hasInformation = true;
  f.information = 0x00ABCDEF;
  f.unitErrorCode = 0xBEEF;
  std::vector<uint8_t> s = fixedSense(f);
  ASSERT_EQ(s.size(), kFixedSenseBytes);
  EXPECT_EQ(s[0], 0xF0);
  EXPECT_EQ(s[7], 12);  // additional length reaches the unit error code
  Kcq kcq;
  ASSERT_EQ(SenseParser::getKey(s.data(), s.size(), kcq), 0);
  ASSERT_EQ(SenseParser::getCode(s.data(), s.size(), kcq), 0);
  ASSERT_EQ(SenseParser::getQual(s.data(), s.size(), kcq), 0);
  EXPECT_EQ(kcq.key, kSenseMediumError);
  EXPECT_EQ(kcq.code, 0x11);
  EXPECT_EQ(kcq.qual, 0x04);
  uint16_t uec = 0;
  ASSERT_EQ(SenseParser::getUec(s.data(), s.size(), uec), 0);
  EXPECT_EQ(uec, 0xBEEF);
  uint8_t valid = 0;
  ASSERT_EQ(SenseParser::getValidBit(s.data(), s.size(), &valid), 0);
  EXPECT_EQ(valid, 1);
  uint8_t info[8] = {};
  ASSERT_EQ(SenseParser::getInformationBytes(s.data(), s.size(), info), 0);
  EXPECT_EQ(info[5], 0xAB);
  EXPECT_EQ(info[7], 0xEF);

  // An LBA beyond four bytes cannot be reported truthfully in fixed format: no valid bit.
  f.information = 0x100000000ull;
  s = fixedSense(f);
  EXPECT_EQ(s[0], 0x70);
  uint8_t small[kFixedSenseBytes - 1];
  EXPECT_EQ(buildFixedSense(small, sizeof(small), f), 0u);
}

}  // namespace
}  // namespace varnox
